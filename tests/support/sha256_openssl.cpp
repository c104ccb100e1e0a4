// SHA-256 for the test tools through OpenSSL, so that reference values do not come from the
// hash code that the library itself uses.
#include <openssl/evp.h>

#include <stdexcept>

#include "quorvel_test/signing.h"

namespace quorvel_test {

Digest Sha256(const unsigned char* bytes, size_t length) {
    Digest digest{};
    unsigned int written = 0;
    if (EVP_Digest(bytes, length, digest.data(), &written, EVP_sha256(), nullptr) != 1 ||
        written != digest.size()) {
        throw std::runtime_error("SHA-256 failed");
    }
    return digest;
}

}  // namespace quorvel_test
