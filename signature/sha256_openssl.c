/* The digest's SHA-256 through OpenSSL's EVP interface (SHA instructions where present). */
#include <openssl/evp.h>

#include "sha256.h"

void* quorvel_sha256_platform_begin(void) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context != NULL && EVP_DigestInit_ex(context, EVP_sha256(), NULL) != 1) {
        EVP_MD_CTX_free(context);
        return NULL;
    }
    return context;
}

int quorvel_sha256_platform_update(void* platform, const unsigned char* bytes, size_t length) {
    return EVP_DigestUpdate((EVP_MD_CTX*)platform, bytes, length) == 1;
}

int quorvel_sha256_platform_finish(void* platform, unsigned char digest[QUORVEL_SHA256_BYTES]) {
    EVP_MD_CTX* context = (EVP_MD_CTX*)platform;
    unsigned int written = 0;
    const int ok =
        EVP_DigestFinal_ex(context, digest, &written) == 1 && written == QUORVEL_SHA256_BYTES;
    EVP_MD_CTX_free(context);
    return ok;
}
