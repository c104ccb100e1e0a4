// Hand-made DER/BER encodings for attribute values, including the odd ones.
#pragma once

#include <cstdint>

#include "quorvel_test/bytes.h"

namespace quorvel_test {

// The length octets: minimal DER when length_bytes is 0, else the long form with exactly
// length_bytes big-endian bytes (non-minimal with leading zeros; above 8, the count byte
// 0x80 | length_bytes and that many bytes).
inline Bytes DerLength(uint64_t length, unsigned length_bytes = 0) {
    if (length_bytes == 0) {
        if (length < 0x80) return Bytes{static_cast<unsigned char>(length)};
        for (uint64_t rest = length; rest != 0; rest >>= 8) ++length_bytes;
    }
    Bytes out{static_cast<unsigned char>(0x80 | length_bytes)};
    for (unsigned shift = 8 * length_bytes; shift > 0; shift -= 8) {
        out.push_back(static_cast<unsigned char>(shift <= 64 ? length >> (shift - 8) : 0));
    }
    return out;
}

inline Bytes DerTlv(unsigned char tag, const Bytes& content, unsigned length_bytes = 0) {
    return Concat({Bytes{tag}, DerLength(content.size(), length_bytes), content});
}
inline Bytes DerOctetString(const Bytes& content, unsigned length_bytes = 0) {
    return DerTlv(0x04, content, length_bytes);
}
inline Bytes DerSequence(const Bytes& content) { return DerTlv(0x30, content); }
inline Bytes DerSet(const Bytes& content) { return DerTlv(0x31, content); }
inline Bytes DerNull() { return Bytes{0x05, 0x00}; }

}  // namespace quorvel_test
