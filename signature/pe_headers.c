/* The walk from the DOS header to the security directory entry and the certificate table. */
#include <stdint.h>
#include <string.h>

#include "quorvel_internal.h"

int quorvel_walk_pe_headers(quorvel_fetch fetch, void* source, uint64_t size,
                            quorvel_pe_layout* layout) {
    unsigned char bytes[8];
    if (size < QUORVEL_PE_MIN_IMAGE_BYTES) {
        return QUORVEL_ERR_NOT_PE;
    }
    if (!fetch(source, 0, bytes, 2)) {
        return QUORVEL_ERR_READ;
    }
    if (bytes[0] != 'M' || bytes[1] != 'Z') {
        return QUORVEL_ERR_NOT_PE;
    }
    if (!fetch(source, QUORVEL_PE_LFANEW_OFFSET, bytes, 4)) {
        return QUORVEL_ERR_READ;
    }
    /* All positions are computed in 64 bits: e_lfanew may be any 32-bit value. */
    const uint64_t e = quorvel_le32(bytes);
    const uint64_t optional_header = e + QUORVEL_PE_OPTIONAL_HEADER_OFFSET;
    if (optional_header > size) {
        return QUORVEL_ERR_NOT_PE;
    }
    if (!fetch(source, e, bytes, 4)) {
        return QUORVEL_ERR_READ;
    }
    if (bytes[0] != 'P' || bytes[1] != 'E' || bytes[2] != 0 || bytes[3] != 0) {
        return QUORVEL_ERR_NOT_PE;
    }
    if (optional_header + 2 > size) {
        return QUORVEL_ERR_NOT_PE;
    }
    if (!fetch(source, optional_header, bytes, 2)) {
        return QUORVEL_ERR_READ;
    }
    uint64_t directory = 0;
    if (!quorvel_security_directory_position(quorvel_le16(bytes), optional_header, &directory)) {
        return QUORVEL_ERR_NOT_PE;
    }
    if (directory + 8 > size) {
        return QUORVEL_ERR_NOT_PE;
    }
    if (!fetch(source, directory, bytes, 8)) {
        return QUORVEL_ERR_READ;
    }
    const uint64_t offset = quorvel_le32(bytes);
    const uint64_t length = quorvel_le32(bytes + 4);
    if (length != 0 && (offset + length > size || offset < directory + 8)) {
        return QUORVEL_ERR_NOT_PE;
    }
    /* The CheckSum field lies before the directory entry, so inside the file too. */
    layout->checksum = optional_header + QUORVEL_PE_CHECKSUM_OFFSET;
    layout->directory = directory;
    layout->table_offset = offset;
    layout->table_size = length;
    return QUORVEL_OK;
}

size_t quorvel_digest_ranges(const quorvel_pe_layout* layout, uint64_t size,
                             quorvel_file_range ranges[QUORVEL_DIGEST_MAX_RANGES]) {
    const quorvel_file_range all[QUORVEL_DIGEST_MAX_RANGES] = {
        {0, layout->checksum},
        {layout->checksum + 4, layout->directory},
        {layout->directory + 8, layout->table_size > 0 ? layout->table_offset : size},
        {layout->table_size > 0 ? layout->table_offset + layout->table_size : size, size},
    };
    size_t count = 0;
    for (size_t i = 0; i < QUORVEL_DIGEST_MAX_RANGES; ++i) {
        if (all[i].end > all[i].begin) {
            ranges[count++] = all[i];
        }
    }
    return count;
}

/* The in-memory image as a source for the walk: every fetch lies inside it. */
typedef struct image_source {
    const unsigned char* image;
    uint64_t size;
} image_source;

static int fetch_from_image(void* source, uint64_t offset, unsigned char* bytes, size_t count) {
    const image_source* from = (const image_source*)source;
    if (offset > from->size || count > from->size - offset) {
        return 0;
    }
    memcpy(bytes, from->image + offset, count);
    return 1;
}

int quorvel_walk_image_headers(const unsigned char* image, size_t size, quorvel_pe_layout* layout) {
    if (image == NULL && size > 0) {
        return QUORVEL_ERR_NOT_PE;
    }
    image_source source = {image, (uint64_t)size};
    /* Fetches inside the image cannot fail; any other answer means not a PE image. */
    return quorvel_walk_pe_headers(fetch_from_image, &source, (uint64_t)size, layout) == QUORVEL_OK
               ? QUORVEL_OK
               : QUORVEL_ERR_NOT_PE;
}

int quorvel_locate_certificate_table(const unsigned char* image, size_t size,
                                     uint64_t* table_offset, uint64_t* table_size) {
    quorvel_pe_layout layout;
    if (image == NULL || table_offset == NULL || table_size == NULL ||
        quorvel_walk_image_headers(image, size, &layout) != QUORVEL_OK) {
        return 0;
    }
    *table_offset = layout.table_offset;
    *table_size = layout.table_size;
    return 1;
}
