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
TestKey KeyFromSeedHex(std::string_view hex64);  // throws std::invalid_argument
TestKey KeyFromSeedByte(unsigned char byte);     // all 32 seed bytes equal to byte

// Pure Ed25519 (crypto_sign_detached) over the 32 digest bytes.
Signature SignDigest(const TestKey& key, const Digest& digest);

// SHA-256 of bytes, not through libsodium.
Digest Sha256(const unsigned char* bytes, size_t length);

// RFC 4648 URL-safe alphabet, no padding.
std::string Base64Url(const unsigned char* bytes, size_t length);

// RFC 7638 thumbprint of an Ed25519 public key: the 79-byte member text, hashed.
std::string ThumbprintText(const PublicKey& public_key);
KeyId JwkThumbprint(const PublicKey& public_key);

// The image digest by a separate method: mark the excluded bytes (CheckSum, security
// directory entry, table as the entry states it), hash everything else in one piece.
// Throws std::runtime_error when the headers cannot be walked.
Digest ReferenceImageDigest(const Bytes& image);

// A payload whose signature signs the digest, with the key's thumbprint as key id.
Bytes MakeSignedPayload(const TestKey& key, const Digest& digest, std::string_view domain);

}  // namespace quorvel_test
