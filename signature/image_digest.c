/* The image digest: SHA-256 over the file without CheckSum, security directory entry and
 * certificate table, in file order, straight from the image (no copy). */
#include <sodium.h>
#include <stdint.h>

#include "quorvel_internal.h"

static void feed(crypto_hash_sha256_state* state, const unsigned char* image, uint64_t begin,
                 uint64_t end) {
    if (end > begin) {
        (void)crypto_hash_sha256_update(state, image + begin, (unsigned long long)(end - begin));
    }
}

int quorvel_image_digest(const unsigned char* image, size_t size,
                         unsigned char digest[QUORVEL_DIGEST_BYTES]) {
    uint64_t table_offset = 0;
    uint64_t table_size = 0;
    if (digest == NULL || size < QUORVEL_PE_MIN_IMAGE_BYTES ||
        !quorvel_locate_certificate_table(image, size, &table_offset, &table_size)) {
        return QUORVEL_ERR_NOT_PE;
    }
    const uint64_t n = (uint64_t)size;
    const uint64_t e = quorvel_le32(image + QUORVEL_PE_LFANEW_OFFSET);
    const uint64_t optional_header = e + QUORVEL_PE_OPTIONAL_HEADER_OFFSET;
    const uint32_t magic = quorvel_le16(image + optional_header);
    uint64_t directory;
    if (magic == QUORVEL_PE32_MAGIC) {
        directory = optional_header + QUORVEL_PE32_SECURITY_DIR_OFFSET;
    } else if (magic == QUORVEL_PE32PLUS_MAGIC) {
        directory = optional_header + QUORVEL_PE32PLUS_SECURITY_DIR_OFFSET;
    } else {
        return QUORVEL_ERR_NOT_PE;
    }
    const uint64_t checksum = optional_header + QUORVEL_PE_CHECKSUM_OFFSET;
    if (checksum + 4 > n || directory + 8 > n) {
        return QUORVEL_ERR_NOT_PE;
    }

    crypto_hash_sha256_state state;
    (void)crypto_hash_sha256_init(&state);
    feed(&state, image, 0, checksum);
    feed(&state, image, checksum + 4, directory);
    if (table_size > 0) {
        feed(&state, image, directory + 8, table_offset);
        feed(&state, image, table_offset + table_size, n);
    } else {
        feed(&state, image, directory + 8, n);
    }
    (void)crypto_hash_sha256_final(&state, digest);
    sodium_memzero(&state, sizeof state);
    return QUORVEL_OK;
}
