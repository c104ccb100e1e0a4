// Test keys and signatures, and reference computations made independently of the library
// (own header walk, a separate SHA-256), so that tests cross-check it.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "quorvel_test/bytes.h"
#include "quorvel_test/cert_entries.h"

namespace quorvel_test {

using Digest = std::array<unsigned char, 32>;
using PublicKey = std::array<unsigned char, 32>;
using Seed = std::array<unsigned char, 32>;

struct TestKey {
    Seed seed{};
    PublicKey public_key{};
    std::array<unsigned char, 64> secret_key{};
};

TestKey KeyFromSeed(const Seed& seed);
TestKey KeyFromSeedHex(std::string_view hex64);       // throws std::invalid_argument
inline TestKey KeyFromSeedByte(unsigned char byte) {  // all 32 seed bytes equal to byte
    Seed seed{};
    seed.fill(byte);
    return KeyFromSeed(seed);
}

Signature SignDigest(const TestKey& key, const Digest& digest);  // Ed25519 over the 32 bytes
Digest Sha256(const unsigned char* bytes, size_t length);
std::string Base64Url(const unsigned char* bytes, size_t length);  // URL-safe, no padding
KeyId JwkThumbprint(const PublicKey& public_key);                  // RFC 7638, Ed25519 JWK

// The image digest by a separate method: everything but the CheckSum, the security directory
// entry and the table as the entry states it, in one piece. Throws std::runtime_error when
// the headers cannot be walked.
Digest ReferenceImageDigest(const Bytes& image);

// A payload whose signature signs the digest, with the key's thumbprint as key id.
inline Bytes MakeSignedPayload(const TestKey& key, const Digest& digest, std::string_view domain) {
    return MakePayload(SignDigest(key, digest), JwkThumbprint(key.public_key), domain);
}

}  // namespace quorvel_test
