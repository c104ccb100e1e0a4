// The portable half of the text conversions.
#include "common/text_conversion.h"

#include <cstdint>

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
