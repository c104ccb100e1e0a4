/* The digest's SHA-256 through OpenSSL's EVP interface (SHA instructions where present), with
 * the implementation fetched once at OpenSSL's set-up; when that failed, libsodium serves.
 * Whatever OpenSSL adds to the thread's error queue is removed again: the PKCS#7 decoder reads
 * the queue, and so may other users of OpenSSL on the thread. */
#include <openssl/err.h>
#include <openssl/evp.h>

#include "openssl_start.h"
#include "sha256.h"

void* quorvel_sha256_platform_begin(void) {
    const EVP_MD* sha256 = quorvel_openssl_start();
    if (sha256 == NULL) {
        return NULL;
    }
    ERR_set_mark();
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context != NULL && EVP_DigestInit_ex(context, sha256, NULL) != 1) {
        EVP_MD_CTX_free(context);
        context = NULL;
    }
    ERR_pop_to_mark();
    return context;
}

int quorvel_sha256_platform_update(void* platform, const unsigned char* bytes, size_t length) {
    ERR_set_mark();
    const int ok = EVP_DigestUpdate((EVP_MD_CTX*)platform, bytes, length) == 1;
    ERR_pop_to_mark();
    return ok;
}

int quorvel_sha256_platform_finish(void* platform, unsigned char digest[QUORVEL_SHA256_BYTES]) {
    EVP_MD_CTX* context = (EVP_MD_CTX*)platform;
    unsigned int written = 0;
    ERR_set_mark();
    const int ok =
        EVP_DigestFinal_ex(context, digest, &written) == 1 && written == QUORVEL_SHA256_BYTES;
    ERR_pop_to_mark();
    EVP_MD_CTX_free(context);
    return ok;
}
