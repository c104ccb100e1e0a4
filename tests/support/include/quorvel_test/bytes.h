// Byte buffers and little-endian pokes for building test files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel_test {

using Bytes = std::vector<unsigned char>;

// Little-endian fields at pos; throw std::out_of_range when they do not fit.
void PutLe16(Bytes& bytes, uint64_t pos, uint16_t value);
void PutLe32(Bytes& bytes, uint64_t pos, uint32_t value);
uint16_t GetLe16(const Bytes& bytes, uint64_t pos);
uint32_t GetLe32(const Bytes& bytes, uint64_t pos);

inline void Append(Bytes& bytes, const Bytes& tail) {
    bytes.insert(bytes.end(), tail.begin(), tail.end());
}
inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) Append(out, part);
    return out;
}
inline Bytes FromText(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Lower-case hexadecimal text, and back (throws std::invalid_argument on bad text).
std::string ToHex(const unsigned char* bytes, size_t length);
Bytes FromHex(std::string_view hex);

Bytes ReadFile(const std::string& path);  // throws std::runtime_error
void WriteFile(const std::string& path, const Bytes& bytes);

}  // namespace quorvel_test
