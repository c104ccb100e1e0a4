#include "text_encoding.h"

#include <cstddef>
#include <cstdint>

#include "quorvel/utf8.h"

namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at text[i], or 0 when none starts there.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
    std::uint32_t codePoint = 0;
    std::size_t consumed = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data()) + i;
    return quorvel_utf8_next(bytes, text.size() - i, &codePoint, &consumed) != 0 ? consumed : 0;
}

bool IsControl(char16_t unit) { return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F); }

}  // namespace

std::u16string WithoutControlCharacters(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& unit : out) {
        if (IsControl(unit)) {
            unit = kReplacement;
        }
    }
    return out;
}

std::string JsonString(std::string_view utf8) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < utf8.size()) {
        const std::size_t length = Utf8SequenceLength(utf8, i);
        if (length == 0) {
            out += kReplacementUtf8;
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(utf8.substr(i, length));
            i += length;
            continue;
        }
        const char c = utf8[i++];
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    const auto byte = static_cast<unsigned char>(c);
                    out += "\\u00";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0x0F];
                } else {
                    out += c;
                }
                break;
        }
    }
    out += '"';
    return out;
}
