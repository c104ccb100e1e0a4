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

// A PE image (size a multiple of 8) without a certificate table.
Bytes MakeUnsignedPe(const SignedPeOptions& options);

// The image signed for domain with key by libquorvel-sign (which recomputes the CheckSum):
// one certificate table appended whose single entry carries the payload, or, for
// kAuthenticode, a test Authenticode signature whose signer 0 carries it.
Bytes SignPe(const Bytes& unsigned_image, const TestKey& key, std::string_view domain,
             Container container);

}  // namespace quorvel_test
