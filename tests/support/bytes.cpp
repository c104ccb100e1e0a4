#include "quorvel_test/bytes.h"

#include <sodium.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace quorvel_test {

namespace {

void CheckFits(const Bytes& bytes, uint64_t pos, uint64_t width) {
    if (pos > bytes.size() || width > bytes.size() - pos) {
        throw std::out_of_range("field at " + std::to_string(pos) + " outside the bytes");
    }
}

void PutLe(Bytes& bytes, uint64_t pos, uint32_t value, unsigned width) {
    CheckFits(bytes, pos, width);
    for (unsigned i = 0; i < width; ++i)
        bytes[pos + i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t GetLe(const Bytes& bytes, uint64_t pos, unsigned width) {
    CheckFits(bytes, pos, width);
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) value |= static_cast<uint32_t>(bytes[pos + i]) << (8 * i);
    return value;
}

}  // namespace

void PutLe16(Bytes& bytes, uint64_t pos, uint16_t value) { PutLe(bytes, pos, value, 2); }
void PutLe32(Bytes& bytes, uint64_t pos, uint32_t value) { PutLe(bytes, pos, value, 4); }
uint16_t GetLe16(const Bytes& bytes, uint64_t pos) {
    return static_cast<uint16_t>(GetLe(bytes, pos, 2));
}
uint32_t GetLe32(const Bytes& bytes, uint64_t pos) { return GetLe(bytes, pos, 4); }

std::string ToHex(const unsigned char* bytes, size_t length) {
    std::string text(length * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes, length);
    text.pop_back();
    return text;
}

Bytes FromHex(std::string_view hex) {
    Bytes bytes(hex.size() / 2);
    size_t written = 0;
    const char* end = nullptr;
    if (hex.size() % 2 != 0 ||
        sodium_hex2bin(bytes.data(), bytes.size(), hex.data(), hex.size(), nullptr, &written,
                       &end) != 0 ||
        end != hex.data() + hex.size()) {
        throw std::invalid_argument("not hex: \"" + std::string(hex) + "\"");
    }
    return bytes;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace quorvel_test
