/* The image digest: SHA-256 over the file without CheckSum, security directory entry and
 * certificate table, in file order, straight from the image (no copy). */
#include <stdint.h>

#include "quorvel_internal.h"
#include "sha256.h"

/* Adds [begin, end) of the image to the ranges when it is not empty. */
static void add_range(quorvel_byte_range* ranges, size_t* count, const unsigned char* image,
                      uint64_t begin, uint64_t end) {
    if (end > begin) {
        ranges[*count].bytes = image + begin;
        ranges[*count].length = (size_t)(end - begin);
        ++*count;
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
    uint64_t directory = 0;
    if (!quorvel_security_directory_position(magic, optional_header, &directory)) {
        return QUORVEL_ERR_NOT_PE;
    }
    const uint64_t checksum = optional_header + QUORVEL_PE_CHECKSUM_OFFSET;
    if (checksum + 4 > n || directory + 8 > n) {
        return QUORVEL_ERR_NOT_PE;
    }

    quorvel_byte_range ranges[QUORVEL_SHA256_MAX_RANGES];
    size_t count = 0;
    add_range(ranges, &count, image, 0, checksum);
    add_range(ranges, &count, image, checksum + 4, directory);
    if (table_size > 0) {
        add_range(ranges, &count, image, directory + 8, table_offset);
        add_range(ranges, &count, image, table_offset + table_size, n);
    } else {
        add_range(ranges, &count, image, directory + 8, n);
    }
    quorvel_sha256_ranges(ranges, count, digest);
    return QUORVEL_OK;
}
