// The digest's SHA-256 seam (the platform's provider, libsodium as the fallback): one known
// answer through each entry point. That the image digest agrees with libsodium's SHA-256 over
// the covered bytes is pe_walk_test's.
#include "sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "quorvel_test/bytes.h"

namespace quorvel_test {
namespace {

// "abc" (FIPS 180-2) in four ranges, two of them empty.
TEST(Sha256Seam, KnownAnswerThroughEachEntryPoint) {
    const Bytes abc = FromText("abc");
    const std::vector<quorvel_byte_range> ranges = {
        {abc.data(), 1}, {nullptr, 0}, {abc.data() + 1, 2}, {abc.data() + 3, 0}};
    const char* expected = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    unsigned char digest[QUORVEL_SHA256_BYTES] = {};
    quorvel_sha256_ranges(ranges.data(), ranges.size(), digest);
    EXPECT_EQ(ToHex(digest, sizeof digest), expected) << "combined";
    std::fill(std::begin(digest), std::end(digest), 0);
    EXPECT_EQ(quorvel_sha256_ranges_platform(ranges.data(), ranges.size(), digest), 1);
    EXPECT_EQ(ToHex(digest, sizeof digest), expected) << "platform";
    std::fill(std::begin(digest), std::end(digest), 0);
    quorvel_sha256_ranges_portable(ranges.data(), ranges.size(), digest);
    EXPECT_EQ(ToHex(digest, sizeof digest), expected) << "portable";
}

}  // namespace
}  // namespace quorvel_test
