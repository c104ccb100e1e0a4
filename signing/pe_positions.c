/* The header fields that signing and removal rewrite, found with libquorvel's header walk, and
 * whether the file already carries a payload. */
#include "quorvel/quorvel_sign.h"
#include "signing_internal.h"

int quorvel_sign_read_positions(const unsigned char* image, size_t size,
                                quorvel_sign_positions* positions) {
    if (!quorvel_locate_certificate_table(image, size, &positions->table_offset,
                                          &positions->table_size)) {
        return QUORVEL_SIGN_ERR_NOT_PE;
    }
    const uint64_t e = quorvel_le32(image + QUORVEL_PE_LFANEW_OFFSET);
    const uint64_t optional_header = e + QUORVEL_PE_OPTIONAL_HEADER_OFFSET;
    const uint32_t magic = quorvel_le16(image + optional_header);
    if (!quorvel_security_directory_position(magic, optional_header, &positions->directory)) {
        return QUORVEL_SIGN_ERR_NOT_PE;
    }
    positions->checksum = optional_header + QUORVEL_PE_CHECKSUM_OFFSET;
    /* Both fields lie before the directory entry, which the walk found inside the image. A
     * header that does not declare the security directory has other data where it would be. */
    const uint64_t rva_count_offset = magic == QUORVEL_PE32_MAGIC
                                          ? QUORVEL_SIGN_PE32_RVA_COUNT_OFFSET
                                          : QUORVEL_SIGN_PE32PLUS_RVA_COUNT_OFFSET;
    const uint32_t rva_count = quorvel_le32(image + optional_header + rva_count_offset);
    const uint32_t optional_header_size =
        quorvel_le16(image + e + QUORVEL_SIGN_SIZE_OF_OPTIONAL_HEADER_OFFSET);
    if (rva_count <= QUORVEL_SIGN_SECURITY_DIRECTORY_INDEX ||
        optional_header_size < positions->directory + 8 - optional_header) {
        return QUORVEL_SIGN_ERR_NO_DIRECTORY_ENTRY;
    }
    return QUORVEL_SIGN_OK;
}

int quorvel_sign_find_payload(const unsigned char* image, size_t size) {
    quorvel_payload existing;
    switch (quorvel_find_payload(image, size, &existing)) {
        case QUORVEL_OK:
            return QUORVEL_SIGN_OK;
        case QUORVEL_ERR_NO_SIGNATURE:
            return QUORVEL_SIGN_ERR_NOT_SIGNED;
        case QUORVEL_ERR_INVALID_PAYLOAD:
            return QUORVEL_SIGN_ERR_MALFORMED_TABLE;
        case QUORVEL_ERR_READ:
            return QUORVEL_SIGN_ERR_NO_MEMORY;
        default:
            return QUORVEL_SIGN_ERR_NOT_PE;
    }
}
