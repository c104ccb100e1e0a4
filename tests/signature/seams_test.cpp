// One known answer per seam (SHA-256 through each entry point, the RFC 8037 thumbprint), and the
// key id comparison; the Ed25519 check is verify_test's.
#include <gtest/gtest.h>

#include <vector>

#include "quorvel_internal.h"
#include "quorvel_test/bytes.h"
#include "quorvel_test/signing.h"
#include "sha256.h"

namespace quorvel_test {
namespace {

// "abc" (FIPS 180-2) in four ranges, two of them empty.
TEST(Sha256Seam, KnownAnswerThroughEachEntryPoint) {
    const Bytes abc = FromText("abc");
    const std::vector<quorvel_byte_range> ranges = {
        {abc.data(), 1}, {nullptr, 0}, {abc.data() + 1, 2}, {abc.data() + 3, 0}};
    const char* expected = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    unsigned char digests[3][QUORVEL_SHA256_BYTES] = {};  // combined, platform, portable
    quorvel_sha256_ranges(ranges.data(), ranges.size(), digests[0]);
    EXPECT_EQ(quorvel_sha256_ranges_platform(ranges.data(), ranges.size(), digests[1]), 1);
    quorvel_sha256_ranges_portable(ranges.data(), ranges.size(), digests[2]);
    for (const unsigned char* digest : digests) EXPECT_EQ(ToHex(digest, 32), expected);
}

// RFC 8032 section 7.1, TEST 1 (the empty message), and its key's RFC 8037 A.3 thumbprint.
TEST(KeyCheck, Rfc8037Thumbprint) {
    const TestKey key =
        KeyFromSeedHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
    KeyId thumbprint{};
    quorvel_key_thumbprint(key.public_key.data(), thumbprint.data());
    EXPECT_EQ(Base64Url(thumbprint.data(), 32), "kPrK_qmxVWaYVA9wwBF6Iuo3vVzz7TxHCTwXBygrS4k");
}

// The key id compared at every position.
TEST(KeyCheck, KeyIdComparedAtEveryPosition) {
    const TestKey key = KeyFromSeedByte(7);
    const KeyId key_id = JwkThumbprint(key.public_key);
    EXPECT_EQ(quorvel_key_id_matches(key.public_key.data(), key_id.data()), 1);
    for (size_t i = 0; i < key_id.size(); ++i) {
        KeyId other = key_id;
        other[i] ^= 0x80;
        EXPECT_EQ(quorvel_key_id_matches(key.public_key.data(), other.data()), 0) << "byte " << i;
    }
}

}  // namespace
}  // namespace quorvel_test
