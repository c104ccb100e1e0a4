// Whole signed test files: a synthetic PE image with a Quorvel signature in either container.
#pragma once

#include <cstdint>
#include <string_view>

#include "quorvel_test/bytes.h"
#include "quorvel_test/signing.h"

namespace quorvel_test {

enum class Container { kQuorvelEntry, kAuthenticode };

struct SignedPeOptions {
    bool pe32plus = true;
    uint64_t approximate_size = 0;  // 0: a small image of two sections
    Container container = Container::kQuorvelEntry;
};

Bytes MakeUnsignedPe(const SignedPeOptions& options);  // no table; size a multiple of 8

// Signed for domain by libquorvel-sign (which recomputes the CheckSum): a table appended with
// the payload's entry, or for kAuthenticode a test Authenticode signature whose signer 0 has it.
Bytes SignPe(const Bytes& unsigned_image, const TestKey& key, std::string_view domain,
             Container container);

}  // namespace quorvel_test
