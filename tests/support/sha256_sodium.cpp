// SHA-256 for the test tools where OpenSSL is not available (the Windows build):
// libsodium's one-shot function, a different entry point from the library's streaming one.
#include <sodium.h>

#include "quorvel_test/signing.h"

namespace quorvel_test {

Digest Sha256(const unsigned char* bytes, size_t length) {
    Digest digest{};
    crypto_hash_sha256(digest.data(), bytes, length);
    return digest;
}

}  // namespace quorvel_test
