// The portable half of the text conversions.
#include "common/text_conversion.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

std::string WideToUtf8(std::u16string_view text, bool* lossless) {
    std::string out;
    out.reserve(text.size());
    bool replaced = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            const char32_t high = unit - 0xD800U;
            const char32_t low = text[i + 1] - 0xDC00U;
            AppendUtf8(out, 0x10000U + (high << 10) + low);
            ++i;
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            AppendUtf8(out, kReplacementCharacter);
            replaced = true;
        } else {
            AppendUtf8(out, unit);
        }
    }
    if (lossless != nullptr) {
        *lossless = !replaced;
    }
    return out;
}

std::u16string Widen(std::string_view bytes) {
    std::u16string wide;
    wide.reserve(bytes.size());
    for (char byte : bytes) {
        // Each byte is taken as a signed 8-bit value and sign-extended to 16 bits, so that
        // 0x80-0xFF land on U+FF80-U+FFFF whatever the signedness of char on this compiler.
        const auto value = static_cast<std::int16_t>(static_cast<std::int8_t>(byte));
        wide.push_back(static_cast<char16_t>(static_cast<std::uint16_t>(value)));
    }
    return wide;
}
