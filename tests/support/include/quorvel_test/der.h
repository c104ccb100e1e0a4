// Hand-made DER/BER encodings for attribute values, including the odd ones.
#pragma once

#include <cstdint>

#include "quorvel_test/bytes.h"

namespace quorvel_test {

// The length octets: minimal DER when length_bytes is 0, else the long form with exactly
// length_bytes big-endian bytes (non-minimal with leading zeros; above 8, the count byte
// 0x80 | length_bytes and that many bytes).
Bytes DerLength(uint64_t length, unsigned length_bytes = 0);
Bytes DerTlv(unsigned char tag, const Bytes& content, unsigned length_bytes = 0);
Bytes DerOctetString(const Bytes& content, unsigned length_bytes = 0);
Bytes DerSequence(const Bytes& content);
Bytes DerSet(const Bytes& content);
Bytes DerNull();

}  // namespace quorvel_test
