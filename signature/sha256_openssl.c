/* The digest's SHA-256 through OpenSSL's EVP interface (SHA instructions where present). */
#include <openssl/evp.h>

#include "sha256.h"

int quorvel_sha256_ranges_platform(const quorvel_byte_range* ranges, size_t count,
                                   unsigned char digest[QUORVEL_SHA256_BYTES]) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == NULL) {
        return 0;
    }
    int ok = EVP_DigestInit_ex(context, EVP_sha256(), NULL) == 1;
    for (size_t i = 0; ok && i < count; ++i) {
        if (ranges[i].length > 0) {
            ok = EVP_DigestUpdate(context, ranges[i].bytes, ranges[i].length) == 1;
        }
    }
    unsigned int written = 0;
    if (ok) {
        ok = EVP_DigestFinal_ex(context, digest, &written) == 1 && written == QUORVEL_SHA256_BYTES;
    }
    EVP_MD_CTX_free(context);
    return ok;
}
