// Utf8ToWide on Windows: the system's own UTF-8 conversion.
#include "common/text_conversion.h"

#include <windows.h>

#include <cstddef>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 code units are wchar_t on Windows");

std::u16string Utf8ToWide(const char* text) {
    if (text == nullptr || text[0] == '\0') {
        return std::u16string();
    }
    // With a source length of -1 the count includes the terminating NUL.
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 0) {
        return std::u16string();
    }
    std::u16string wide(static_cast<std::size_t>(length) - 1, u'\0');
    // The string's own terminator slot takes the converted NUL, so the buffer of length units
    // is wide.data() with its size() + 1 characters. The result is not examined: the first call
    // already measured the same input.
    MultiByteToWideChar(CP_UTF8, 0, text, -1, reinterpret_cast<wchar_t*>(wide.data()), length);
    return wide;
}
