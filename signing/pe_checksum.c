/* The PE CheckSum field's value, computed the way the image loader and the signing tools do. */
#include "signing_internal.h"

/* The byte at position i, or zero inside the CheckSum field itself. */
static uint32_t byte_outside_field(const unsigned char* image, size_t i, uint64_t field) {
    return (i >= field && i < field + 4) ? 0U : image[i];
}

uint32_t quorvel_sign_pe_checksum(const unsigned char* image, size_t size,
                                  uint64_t checksum_offset) {
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 1 < size; i += 2) {
        if (i + 1 >= checksum_offset && i < checksum_offset + 4) {
            sum += byte_outside_field(image, i, checksum_offset) |
                   (byte_outside_field(image, i + 1, checksum_offset) << 8);
        } else {
            sum += (uint32_t)image[i] | ((uint32_t)image[i + 1] << 8);
        }
        sum = (sum & 0xFFFFU) + (sum >> 16);
    }
    if (i < size) {
        sum += byte_outside_field(image, i, checksum_offset);
    }
    sum = (sum & 0xFFFFU) + (sum >> 16);
    sum = (sum & 0xFFFFU) + (sum >> 16);
    return (uint32_t)(sum + (uint64_t)size);
}
