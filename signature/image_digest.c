/* The image digest: SHA-256 over the file without CheckSum, security directory entry and
 * certificate table, in file order, straight from the image (no copy). */
#include <stdint.h>

#include "quorvel_internal.h"
#include "sha256.h"

int quorvel_image_digest(const unsigned char* image, size_t size,
                         unsigned char digest[QUORVEL_DIGEST_BYTES]) {
    quorvel_pe_layout layout;
    if (digest == NULL || image == NULL ||
        quorvel_walk_image_headers(image, size, &layout) != QUORVEL_OK) {
        return QUORVEL_ERR_NOT_PE;
    }
    quorvel_file_range spans[QUORVEL_DIGEST_MAX_RANGES];
    const size_t count = quorvel_digest_ranges(&layout, (uint64_t)size, spans);
    quorvel_byte_range ranges[QUORVEL_DIGEST_MAX_RANGES];
    for (size_t i = 0; i < count; ++i) {
        ranges[i].bytes = image + spans[i].begin;
        ranges[i].length = (size_t)(spans[i].end - spans[i].begin);
    }
    quorvel_sha256_ranges(ranges, count, digest);
    return QUORVEL_OK;
}
