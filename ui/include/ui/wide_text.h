// The one place where the portable UTF-16 strings (std::u16string) meet the Windows wide-string
// API. On Windows wchar_t and char16_t are both 16-bit UTF-16 code units.
#pragma once

#include <windows.h>

#include <string>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

// A NUL-terminated wide view of text, valid while text lives unchanged.
inline LPCWSTR AsWide(const std::u16string& text) {
    return reinterpret_cast<LPCWSTR>(text.c_str());
}

// A writable wide view of text's buffer (text.size() + 1 units, the last one the terminator).
inline LPWSTR AsWideBuffer(std::u16string& text) {
    return reinterpret_cast<LPWSTR>(text.data());
}

// A copy of a NUL-terminated wide string; null gives an empty string.
inline std::u16string FromWide(LPCWSTR text) {
    return text == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t*>(text));
}
