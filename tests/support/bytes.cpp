#include "quorvel_test/bytes.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace quorvel_test {

namespace {

void CheckFits(const Bytes& bytes, uint64_t pos, uint64_t width) {
    if (pos > bytes.size() || width > bytes.size() - pos) {
        throw std::out_of_range("field at " + std::to_string(pos) + " outside " +
                                std::to_string(bytes.size()) + " bytes");
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void PutLe16(Bytes& bytes, uint64_t pos, uint16_t value) {
    CheckFits(bytes, pos, 2);
    bytes[pos] = static_cast<unsigned char>(value & 0xFF);
    bytes[pos + 1] = static_cast<unsigned char>(value >> 8);
}

void PutLe32(Bytes& bytes, uint64_t pos, uint32_t value) {
    CheckFits(bytes, pos, 4);
    for (unsigned i = 0; i < 4; ++i) {
        bytes[pos + i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
    }
}

uint16_t GetLe16(const Bytes& bytes, uint64_t pos) {
    CheckFits(bytes, pos, 2);
    return static_cast<uint16_t>(bytes[pos] | (bytes[pos + 1] << 8));
}

uint32_t GetLe32(const Bytes& bytes, uint64_t pos) {
    CheckFits(bytes, pos, 4);
    uint32_t value = 0;
    for (unsigned i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(bytes[pos + i]) << (8 * i);
    }
    return value;
}

void Append(Bytes& bytes, const Bytes& tail) {
    bytes.insert(bytes.end(), tail.begin(), tail.end());
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        Append(out, part);
    }
    return out;
}

void AppendText(Bytes& bytes, std::string_view text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
}

Bytes FromText(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Repeat(unsigned char value, size_t count) { return Bytes(count, value); }

std::string ToHex(const unsigned char* bytes, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

Bytes FromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        throw std::invalid_argument("odd number of hex digits");
    }
    Bytes bytes;
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexValue(hex[i]);
        const int low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0) {
            throw std::invalid_argument("not a hex digit in \"" + std::string(hex) + "\"");
        }
        bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return bytes;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

}  // namespace quorvel_test
