/* The walk from the DOS header to the security directory entry and the certificate table. */
#include <stdint.h>

#include "quorvel_internal.h"

int quorvel_locate_certificate_table(const unsigned char* image, size_t size,
                                     uint64_t* table_offset, uint64_t* table_size) {
    if (image == NULL || table_offset == NULL || table_size == NULL ||
        size < QUORVEL_PE_MIN_IMAGE_BYTES) {
        return 0;
    }
    const uint64_t n = (uint64_t)size;
    if (image[0] != 'M' || image[1] != 'Z') {
        return 0;
    }
    /* All positions are computed in 64 bits: e_lfanew may be any 32-bit value. */
    const uint64_t e = quorvel_le32(image + QUORVEL_PE_LFANEW_OFFSET);
    const uint64_t optional_header = e + QUORVEL_PE_OPTIONAL_HEADER_OFFSET;
    if (optional_header > n) {
        return 0;
    }
    if (image[e] != 'P' || image[e + 1] != 'E' || image[e + 2] != 0 || image[e + 3] != 0) {
        return 0;
    }
    if (optional_header + 2 > n) {
        return 0;
    }
    const uint32_t magic = quorvel_le16(image + optional_header);
    uint64_t directory = 0;
    if (!quorvel_security_directory_position(magic, optional_header, &directory)) {
        return 0;
    }
    if (directory + 8 > n) {
        return 0;
    }
    const uint64_t offset = quorvel_le32(image + directory);
    const uint64_t length = quorvel_le32(image + directory + 4);
    if (length != 0) {
        if (offset + length > n || offset < directory + 8) {
            return 0;
        }
    }
    *table_offset = offset;
    *table_size = length;
    return 1;
}
