#include "quorvel_test/der.h"

namespace quorvel_test {

Bytes DerLength(uint64_t length, unsigned length_bytes) {
    if (length_bytes == 0) {
        if (length < 0x80) return Bytes{static_cast<unsigned char>(length)};
        for (uint64_t rest = length; rest != 0; rest >>= 8) ++length_bytes;
    }
    Bytes out{static_cast<unsigned char>(0x80 | length_bytes)};
    for (unsigned i = length_bytes; i > 0; --i) {
        const unsigned shift = 8 * (i - 1);
        out.push_back(shift < 64 ? static_cast<unsigned char>(length >> shift) : 0);
    }
    return out;
}

Bytes DerTlv(unsigned char tag, const Bytes& content, unsigned length_bytes) {
    return Concat({Bytes{tag}, DerLength(content.size(), length_bytes), content});
}

Bytes DerOctetString(const Bytes& content, unsigned length_bytes) {
    return DerTlv(0x04, content, length_bytes);
}
Bytes DerSequence(const Bytes& content) { return DerTlv(0x30, content); }
Bytes DerSet(const Bytes& content) { return DerTlv(0x31, content); }
Bytes DerNull() { return Bytes{0x05, 0x00}; }

}  // namespace quorvel_test
