// Ed25519 and the JWK thumbprint against published vectors (RFC 8032 section 7.1, RFC 8037
// appendix A.3), and the constant-time key id comparison.
#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <string>

#include "quorvel_internal.h"
#include "quorvel_test/bytes.h"
#include "quorvel_test/signing.h"

namespace quorvel_test {
namespace {

struct Rfc8032Vector {
    const char* name;
    const char* secret;
    const char* public_key;
    const char* message;
    const char* signature;
};

const Rfc8032Vector kVectors[] = {
    {"TEST 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b"
     "46b"
     "d25bf5f0595bbe24655141438e7a100b"},
    {"TEST 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11"
     "d8c"
     "387b2eaeb4302aeeb00d291612bb0c00"},
    {"TEST 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc"
     "659"
     "4a7c15e9716ed28dc027beceea1ec40a"},
};

template <size_t N>
std::array<unsigned char, N> Array(const char* hex) {
    const Bytes bytes = FromHex(hex);
    std::array<unsigned char, N> out{};
    EXPECT_EQ(bytes.size(), N) << hex;
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(N, bytes.size())),
              out.begin());
    return out;
}

TEST(Ed25519Vectors, KeysAndSignaturesOfRfc8032) {
    ASSERT_GE(sodium_init(), 0);
    for (const Rfc8032Vector& v : kVectors) {
        SCOPED_TRACE(v.name);
        const TestKey key = KeyFromSeed(Array<32>(v.secret));
        EXPECT_EQ(ToHex(key.public_key.data(), 32), v.public_key);
        const Bytes message = FromHex(v.message);
        const auto expected = Array<64>(v.signature);
        // The test tools sign as the RFC does (deterministic Ed25519, pure, no pre-hash).
        std::array<unsigned char, 64> made{};
        crypto_sign_detached(made.data(), nullptr, message.data(), message.size(),
                             key.secret_key.data());
        EXPECT_EQ(made, expected);
        // The verification call that the library makes accepts the vector and refuses forgeries.
        EXPECT_EQ(crypto_sign_verify_detached(expected.data(), message.data(), message.size(),
                                              key.public_key.data()),
                  0);
        auto flipped = expected;
        flipped[10] ^= 0x04;
        EXPECT_NE(crypto_sign_verify_detached(flipped.data(), message.data(), message.size(),
                                              key.public_key.data()),
                  0);
        Bytes longer = message;
        longer.push_back(0);
        EXPECT_NE(crypto_sign_verify_detached(expected.data(), longer.data(), longer.size(),
                                              key.public_key.data()),
                  0);
    }
}

TEST(Ed25519Vectors, LibraryCheckOverADigestWithTheVectorKeys) {
    Digest digest{};
    for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<unsigned char>(i * 11);
    for (size_t k = 0; k < std::size(kVectors); ++k) {
        SCOPED_TRACE(kVectors[k].name);
        const TestKey key = KeyFromSeed(Array<32>(kVectors[k].secret));
        const TestKey other =
            KeyFromSeed(Array<32>(kVectors[(k + 1) % std::size(kVectors)].secret));
        const Signature signature = SignDigest(key, digest);
        EXPECT_EQ(
            quorvel_signature_verifies(signature.data(), digest.data(), key.public_key.data()), 1);
        EXPECT_EQ(
            quorvel_signature_verifies(signature.data(), digest.data(), other.public_key.data()),
            0);
        Digest changed = digest;
        changed[31] ^= 0x80;
        EXPECT_EQ(
            quorvel_signature_verifies(signature.data(), changed.data(), key.public_key.data()), 0);
        for (const size_t position : {size_t{0}, size_t{31}, size_t{32}, size_t{63}}) {
            Signature forged = signature;
            forged[position] ^= 0x01;
            EXPECT_EQ(
                quorvel_signature_verifies(forged.data(), digest.data(), key.public_key.data()), 0)
                << "signature byte " << position;
        }
    }
}

// S + L, where L is the order of the Ed25519 base point: the same signature with S not
// reduced, which would verify under a lax check.
Signature WithUnreducedS(const Signature& signature) {
    static const unsigned char kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                             0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
    Signature out = signature;
    unsigned carry = 0;
    for (size_t i = 0; i < 32; ++i) {
        const unsigned sum = unsigned{signature[32 + i]} + kOrder[i] + carry;
        out[32 + i] = static_cast<unsigned char>(sum & 0xFF);
        carry = sum >> 8;
    }
    return out;
}

TEST(Ed25519Vectors, NonCanonicalSIsRejected) {
    const TestKey key = KeyFromSeedByte(7);
    Digest digest{};
    digest.fill(0x5A);
    const Signature signature = SignDigest(key, digest);
    ASSERT_EQ(quorvel_signature_verifies(signature.data(), digest.data(), key.public_key.data()),
              1);
    const Signature unreduced = WithUnreducedS(signature);
    ASSERT_NE(unreduced, signature);
    EXPECT_EQ(quorvel_signature_verifies(unreduced.data(), digest.data(), key.public_key.data()),
              0);
}

TEST(Thumbprint, Rfc8037AppendixA3) {
    const auto public_key =
        Array<32>("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    EXPECT_EQ(Base64Url(public_key.data(), 32), "11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo");
    EXPECT_EQ(ThumbprintText(public_key),
              "{\"crv\":\"Ed25519\",\"kty\":\"OKP\",\"x\":\"11qYAYKxCrfVS_"
              "7TyWQHOg7hcvPapiMlrwIaaPcHURo\"}");
    EXPECT_EQ(ThumbprintText(public_key).size(), 79U);
    KeyId thumbprint{};
    quorvel_key_thumbprint(public_key.data(), thumbprint.data());
    EXPECT_EQ(Base64Url(thumbprint.data(), 32), "kPrK_qmxVWaYVA9wwBF6Iuo3vVzz7TxHCTwXBygrS4k");
    EXPECT_EQ(thumbprint, JwkThumbprint(public_key));
}

TEST(Thumbprint, AgreesWithTheIndependentComputationForManyKeys) {
    for (unsigned seed = 0; seed < 64; ++seed) {
        const TestKey key = KeyFromSeedByte(static_cast<unsigned char>(seed * 4 + 1));
        KeyId thumbprint{};
        quorvel_key_thumbprint(key.public_key.data(), thumbprint.data());
        ASSERT_EQ(thumbprint, JwkThumbprint(key.public_key)) << "seed byte " << seed * 4 + 1;
    }
}

TEST(KeyIdMatch, EveryDifferingPositionIsNoticed) {
    const TestKey key = KeyFromSeedByte(9);
    const KeyId key_id = JwkThumbprint(key.public_key);
    EXPECT_EQ(quorvel_key_id_matches(key.public_key.data(), key_id.data()), 1);
    for (size_t i = 0; i < key_id.size(); ++i) {
        for (const unsigned bit : {0x01u, 0x80u}) {
            KeyId other = key_id;
            other[i] = static_cast<unsigned char>(other[i] ^ bit);
            ASSERT_EQ(quorvel_key_id_matches(key.public_key.data(), other.data()), 0)
                << "byte " << i << " bit " << bit;
        }
    }
    const TestKey another = KeyFromSeedByte(10);
    EXPECT_EQ(quorvel_key_id_matches(another.public_key.data(), key_id.data()), 0);
}

}  // namespace
}  // namespace quorvel_test
