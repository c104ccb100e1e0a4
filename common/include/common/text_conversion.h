// Text conversions shared by the key client, the verification job and the property page.
// Every user-visible string of the system is UTF-16 (std::u16string on every platform;
// on Windows its code units are exactly those of a wchar_t string).
#pragma once

#include <string>
#include <string_view>

// Converts a NUL-terminated UTF-8 string (may be null) to UTF-16. Null or empty input, or a
// failed conversion, gives an empty string. Invalid UTF-8 is not refused: each invalid
// sequence becomes U+FFFD.
std::u16string Utf8ToWide(const char* text);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD; *lossless (when given) is set to
// false when that happened, true otherwise.
std::string WideToUtf8(std::u16string_view text, bool* lossless = nullptr);

// One code unit per byte, each byte sign-extended: 0x00-0x7F give U+0000-U+007F and
// 0x80-0xFF give U+FF80-U+FFFF. Not a UTF-8 decoder; meant for ASCII texts.
std::u16string Widen(std::string_view bytes);
