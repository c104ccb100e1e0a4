/* The whole file's SHA-256, through libquorvel's hash: the platform's provider, libsodium when
 * it fails. */
#include "quorvel/quorvel_sign.h"
#include "sha256.h"

int quorvel_sign_file_sha256(const unsigned char* image, size_t size,
                             unsigned char digest[QUORVEL_SIGN_MESSAGE_BYTES]) {
    if ((image == NULL && size > 0) || digest == NULL) {
        return QUORVEL_SIGN_ERR_INVALID_ARGUMENT;
    }
    const quorvel_byte_range whole = {image, size};
    quorvel_sha256_ranges(&whole, 1, digest);
    return QUORVEL_SIGN_OK;
}
