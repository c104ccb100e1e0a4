// Certificate-table entries and Quorvel payloads, with every field overridable.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "quorvel_test/bytes.h"

namespace quorvel_test {

constexpr size_t kPayloadBytes = 352;
constexpr size_t kDomainFieldBytes = 256;

using Signature = std::array<unsigned char, 64>;
using KeyId = std::array<unsigned char, 32>;

// signature, key id, then the domain bytes and zeros up to 256 bytes (a longer domain is cut
// to its first 256 bytes: no terminating zero).
Bytes MakePayload(const Signature& signature, const KeyId& key_id, std::string_view domain);

// A recognisable signature and key id for tests that never verify.
Signature PatternSignature(unsigned char seed);
KeyId PatternKeyId(unsigned char seed);

// Fields of the library's own entry; the defaults make a well-formed entry.
struct QuorvelEntryFields {
    uint32_t length = 372;  // dwLength
    uint16_t revision = 0x0300;
    uint16_t type = 0x0010;
    std::array<unsigned char, 8> magic = {'Q', 'U', 'O', 'R', 'V', 'E', 'L', 0};
    uint16_t container_version = 1;
    uint16_t payload_length = 352;
};

// The 20-byte header, the payload as given, zeros up to a multiple of 8 (376 bytes for 352).
Bytes MakeQuorvelEntry(const Bytes& payload, const QuorvelEntryFields& fields = {});

// A WIN_CERTIFICATE: dwLength (8 + content unless given), revision, type, content, then
// zeros up to a multiple of 8.
Bytes MakeWinCertificate(uint16_t revision, uint16_t type, const Bytes& content,
                         std::optional<uint32_t> length = std::nullopt);
inline Bytes MakeAuthenticodeEntry(const Bytes& pkcs7_der) {
    return MakeWinCertificate(0x0200, 0x0002, pkcs7_der);
}

struct CertificateEntry {
    uint64_t offset;  // in the image
    uint32_t length;
    uint16_t revision;
    uint16_t type;
    Bytes content;  // length - 8 bytes
};

// Splits a well-formed certificate table; throws std::runtime_error otherwise.
std::vector<CertificateEntry> SplitCertificateTable(const Bytes& image);

}  // namespace quorvel_test
