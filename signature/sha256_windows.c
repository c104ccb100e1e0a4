/* The digest's SHA-256 through the system's CNG (SHA instructions where present). */
#include <windows.h>
/* bcrypt.h needs the base types from windows.h. */
#include <bcrypt.h>
#include <stdlib.h>

#include "sha256.h"

/* BCryptHashData takes a ULONG length: larger pieces go in parts of this size. */
#define QUORVEL_CNG_PIECE_BYTES ((size_t)1 << 30)

typedef struct cng_hash {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
} cng_hash;

static void release(cng_hash* cng) {
    if (cng->hash != NULL) {
        (void)BCryptDestroyHash(cng->hash);
    }
    if (cng->algorithm != NULL) {
        (void)BCryptCloseAlgorithmProvider(cng->algorithm, 0);
    }
    free(cng);
}

void* quorvel_sha256_platform_begin(void) {
    cng_hash* cng = (cng_hash*)calloc(1, sizeof *cng);
    if (cng == NULL) {
        return NULL;
    }
    /* With no object buffer CNG allocates the hash object itself (Windows 7 and later). */
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&cng->algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0)) ||
        !BCRYPT_SUCCESS(BCryptCreateHash(cng->algorithm, &cng->hash, NULL, 0, NULL, 0, 0))) {
        release(cng);
        return NULL;
    }
    return cng;
}

int quorvel_sha256_platform_update(void* platform, const unsigned char* bytes, size_t length) {
    const cng_hash* cng = (const cng_hash*)platform;
    while (length > 0) {
        const size_t piece = length < QUORVEL_CNG_PIECE_BYTES ? length : QUORVEL_CNG_PIECE_BYTES;
        /* CNG does not write through the input pointer; its prototype lacks the const. */
        if (!BCRYPT_SUCCESS(BCryptHashData(cng->hash, (PUCHAR)(ULONG_PTR)bytes, (ULONG)piece, 0))) {
            return 0;
        }
        bytes += piece;
        length -= piece;
    }
    return 1;
}

int quorvel_sha256_platform_finish(void* platform, unsigned char digest[QUORVEL_SHA256_BYTES]) {
    cng_hash* cng = (cng_hash*)platform;
    const int ok = BCRYPT_SUCCESS(BCryptFinishHash(cng->hash, digest, QUORVEL_SHA256_BYTES, 0));
    release(cng);
    return ok;
}
