// Base64url without padding, fixed to 32-byte values (43 characters).
#include "keyclient/base64url.h"

#include <cstddef>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::size_t kEncodedCapacity = 44;  // 43 characters, reserved with one to spare
constexpr std::size_t kValueBytes = 32;

// Value of one alphabet character, or -1 for any other byte.
int CharValue(unsigned char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '-') {
        return 62;
    }
    if (c == '_') {
        return 63;
    }
    return -1;
}

std::uint8_t Byte(unsigned value) {
    return static_cast<std::uint8_t>(value & 0xFFu);
}

}  // namespace

std::string Base64UrlEncode(const Bytes32& value) {
    std::string text;
    text.reserve(kEncodedCapacity);
    std::size_t i = 0;
    for (; i + 3 <= kValueBytes; i += 3) {
        const unsigned group = (unsigned{value[i]} << 16) | (unsigned{value[i + 1]} << 8) |
                               unsigned{value[i + 2]};
        text.push_back(kAlphabet[(group >> 18) & 0x3F]);
        text.push_back(kAlphabet[(group >> 12) & 0x3F]);
        text.push_back(kAlphabet[(group >> 6) & 0x3F]);
        text.push_back(kAlphabet[group & 0x3F]);
    }
    // Bytes 30 and 31: three characters, the last one's two low bits always zero.
    const unsigned tail = (unsigned{value[i]} << 16) | (unsigned{value[i + 1]} << 8);
    text.push_back(kAlphabet[(tail >> 18) & 0x3F]);
    text.push_back(kAlphabet[(tail >> 12) & 0x3F]);
    text.push_back(kAlphabet[(tail >> 6) & 0x3F]);
    return text;
}

bool Base64UrlDecode(std::string_view text, Bytes32& value) {
    if (text.empty()) {
        return false;
    }
    unsigned group[4] = {0, 0, 0, 0};
    std::size_t held = 0;     // values collected in the current group
    std::size_t written = 0;  // bytes written to value
    for (const char ch : text) {
        const int v = CharValue(static_cast<unsigned char>(ch));
        if (v < 0) {
            return false;
        }
        group[held++] = static_cast<unsigned>(v);
        if (held == 4) {
            if (written > kValueBytes - 3) {
                return false;
            }
            value[written++] = Byte(group[0] * 4 + group[1] / 16);
            value[written++] = Byte((group[1] * 16) % 256 + group[2] / 4);
            value[written++] = Byte((group[2] * 64) % 256 + group[3]);
            held = 0;
        }
    }
    switch (held) {
        case 0:
            break;
        case 2:
            if (written > kValueBytes - 1) {
                return false;
            }
            value[written++] = Byte(group[0] * 4 + group[1] / 16);
            break;
        case 3:
            if (written > kValueBytes - 2) {
                return false;
            }
            value[written++] = Byte(group[0] * 4 + group[1] / 16);
            value[written++] = Byte((group[1] * 16) % 256 + group[2] / 4);
            break;
        default:  // a single value left over cannot form a byte
            return false;
    }
    return written == kValueBytes;
}
