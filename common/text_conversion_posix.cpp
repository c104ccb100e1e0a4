// Utf8ToWide off Windows: gives the same UTF-16 text as MultiByteToWideChar(CP_UTF8, 0, ...)
// for valid input.
//
// Invalid input is not refused. Each maximal subpart of an ill-formed sequence becomes one
// U+FFFD, the practice the Unicode Standard recommends (chapter 3, "U+FFFD Substitution of
// Maximal Subparts"): a byte that can never start a sequence is one U+FFFD; a valid lead byte
// cut short by an unfitting byte (or the end) is one U+FFFD for the whole valid prefix, and
// decoding resumes at the unfitting byte. So "E0 80" is two U+FFFD and "ED A0 80" is three.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/text_conversion.h"
#include "quorvel/utf8.h"

namespace {

constexpr char16_t kReplacement = u'\uFFFD';

void AppendCodePoint(std::u16string& out, std::uint32_t codePoint) {
    if (codePoint < 0x10000) {
        out.push_back(static_cast<char16_t>(codePoint));
        return;
    }
    const std::uint32_t offset = codePoint - 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
}

}  // namespace

std::u16string Utf8ToWide(const char* text) {
    std::u16string out;
    if (text == nullptr) {
        return out;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    const std::size_t length = std::strlen(text);
    out.reserve(length);
    std::size_t i = 0;
    while (i < length) {
        std::uint32_t codePoint = 0;
        std::size_t consumed = 0;
        if (quorvel_utf8_next(bytes + i, length - i, &codePoint, &consumed) != 0) {
            AppendCodePoint(out, codePoint);
        } else {
            out.push_back(kReplacement);
        }
        i += consumed;
    }
    return out;
}
