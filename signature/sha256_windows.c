/* The digest's SHA-256 through the system's CNG (SHA instructions where present). */
#include <windows.h>
/* bcrypt.h needs the base types from windows.h. */
#include <bcrypt.h>

#include "sha256.h"

/* BCryptHashData takes a ULONG length: larger ranges go in pieces of this size. */
#define QUORVEL_CNG_PIECE_BYTES ((size_t)1 << 30)

static int hash_range(BCRYPT_HASH_HANDLE hash, const unsigned char* bytes, size_t length) {
    while (length > 0) {
        const size_t piece = length < QUORVEL_CNG_PIECE_BYTES ? length : QUORVEL_CNG_PIECE_BYTES;
        /* CNG does not write through the input pointer; its prototype lacks the const. */
        if (!BCRYPT_SUCCESS(BCryptHashData(hash, (PUCHAR)(ULONG_PTR)bytes, (ULONG)piece, 0))) {
            return 0;
        }
        bytes += piece;
        length -= piece;
    }
    return 1;
}

int quorvel_sha256_ranges_platform(const quorvel_byte_range* ranges, size_t count,
                                   unsigned char digest[QUORVEL_SHA256_BYTES]) {
    BCRYPT_ALG_HANDLE algorithm = NULL;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0))) {
        return 0;
    }
    /* With no object buffer CNG allocates the hash object itself (Windows 7 and later). */
    BCRYPT_HASH_HANDLE hash = NULL;
    int ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, NULL, 0, NULL, 0, 0));
    for (size_t i = 0; ok && i < count; ++i) {
        ok = hash_range(hash, ranges[i].bytes, ranges[i].length);
    }
    if (ok) {
        ok = BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, QUORVEL_SHA256_BYTES, 0));
    }
    if (hash != NULL) {
        (void)BCryptDestroyHash(hash);
    }
    (void)BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}
