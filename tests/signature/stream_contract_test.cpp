// The whole-file read's contract (call order, short reads, every stream failure, close once,
// missing arguments) is checked on every input of the file_stream fuzz target, which runs its
// seeds in this suite (fuzz/regression). Here: what its control bytes cannot express.
#include <gtest/gtest.h>

#include <cstring>

#include "memory_stream.h"
#include "quorvel/quorvel.h"
#include "quorvel_test/signed_pe.h"

namespace quorvel_test {
namespace {

// A size that no allocation can hold: a read error, the record zero, the stream closed once.
TEST(StreamContract, ImpossibleSizeIsReadErrorWithOneClose) {
    const TestKey key = KeyFromSeedByte(0x42);
    MemoryStream stream(SignPe(MakeUnsignedPe({}), key, "s.example", Container::kQuorvelEntry));
    stream.tell_result = INT64_MAX;
    quorvel_verify_result result;
    std::memset(&result, 0xCD, sizeof result);
    EXPECT_EQ(quorvel_verify_file(&stream, MemoryIo(), key.public_key.data(), &result),
              QUORVEL_ERR_READ);
    EXPECT_EQ(result.has_signature, 0U);
    EXPECT_EQ(stream.close_calls, 1);
    EXPECT_FALSE(stream.used_after_close);
}

}  // namespace
}  // namespace quorvel_test
