// The Ed25519 seam (one RFC 8032 vector), the RFC 8037 thumbprint and the key id comparison.
#include <gtest/gtest.h>

#include "quorvel_internal.h"
#include "quorvel_test/bytes.h"
#include "quorvel_test/signing.h"

namespace quorvel_test {
namespace {

// RFC 8032 section 7.1, TEST 1 (the empty message), and its key's RFC 8037 A.3 thumbprint.
TEST(KeyCheck, Rfc8037Thumbprint) {
    const TestKey key =
        KeyFromSeedHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
    EXPECT_EQ(ToHex(key.public_key.data(), 32),
              "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    KeyId thumbprint{};
    quorvel_key_thumbprint(key.public_key.data(), thumbprint.data());
    EXPECT_EQ(Base64Url(thumbprint.data(), 32), "kPrK_qmxVWaYVA9wwBF6Iuo3vVzz7TxHCTwXBygrS4k");
}

// The key id compared at every position (that the signature is checked over the digest, and
// before the key id, is verify_test's).
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
