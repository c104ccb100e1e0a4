/* Taking a Quorvel signature out of a PE image again, back to the file it was before. */
#include <string.h>

#include "pkcs7_encoder.h"
#include "quorvel/quorvel_sign.h"
#include "quorvel_internal.h"
#include "signing_internal.h"

/* The entry that carries the payload, and what replaces it. */
typedef struct carrier {
    uint64_t offset; /* in the file */
    uint64_t length; /* bytes it occupies, padding included */
    unsigned char* encoded;
    size_t encoded_length; /* the Authenticode content without the payload; 0: no entry */
    size_t entry_length;   /* its dwLength */
} carrier;

static int is_quorvel_entry(const unsigned char* entry, uint32_t length) {
    return quorvel_le16(entry + 4) == QUORVEL_CERT_REVISION &&
           quorvel_le16(entry + 6) == QUORVEL_CERT_TYPE && length >= QUORVEL_CERT_HEADER_BYTES &&
           memcmp(entry + 8, QUORVEL_CERT_MAGIC, QUORVEL_CERT_MAGIC_BYTES) == 0 &&
           quorvel_le16(entry + 16) == QUORVEL_CERT_CONTAINER_VERSION;
}

/* The one entry that libquorvel's walk took the payload from (the walk accepted the table and
 * found exactly one payload, so every entry is whole, and the entry of the library's own kind,
 * when there is one, is it). */
static int find_carrier(const unsigned char* image, const quorvel_sign_positions* positions,
                        carrier* found) {
    const uint64_t end = positions->table_offset + positions->table_size;
    for (uint64_t p = positions->table_offset; p + QUORVEL_SIGN_CERT_HEADER_BYTES <= end;) {
        const uint32_t length = quorvel_le32(image + p);
        found->offset = p;
        found->length = quorvel_sign_align8(length);
        if (is_quorvel_entry(image + p, length)) {
            return QUORVEL_SIGN_OK;
        }
        if (quorvel_le16(image + p + 4) == QUORVEL_AUTHENTICODE_REVISION &&
            quorvel_le16(image + p + 6) == QUORVEL_AUTHENTICODE_TYPE) {
            const unsigned char* content = image + p + QUORVEL_SIGN_CERT_HEADER_BYTES;
            const size_t content_length = length - QUORVEL_SIGN_CERT_HEADER_BYTES;
            quorvel_payload scratch;
            int seen = 0;
            const int has =
                quorvel_find_authenticode_payload(content, content_length, &scratch, &seen);
            if (has == QUORVEL_AUTHENTICODE_OUT_OF_MEMORY) {
                return QUORVEL_SIGN_ERR_NO_MEMORY;
            }
            if (has) {
                const int status = quorvel_sign_authenticode_without_payload(
                    content, content_length, &found->encoded, &found->encoded_length);
                found->entry_length =
                    quorvel_sign_authenticode_entry_length(length, found->encoded_length);
                return status;
            }
        }
        p += found->length;
    }
    return QUORVEL_SIGN_ERR_NOT_SIGNED;
}

void quorvel_sign_make_record(uint64_t size, uint32_t checksum, uint64_t padding,
                              unsigned char record[QUORVEL_SIGN_RECORD_BYTES]) {
    const uint32_t above_size = checksum - (uint32_t)size; /* the field is 32 bits wide */
    record[0] = (unsigned char)(QUORVEL_SIGN_RECORD_VERSION << 4 | padding);
    record[1] = checksum == 0           ? QUORVEL_SIGN_CHECKSUM_ZERO
                : above_size <= 0xFFFFU ? QUORVEL_SIGN_CHECKSUM_SIZE_PLUS
                                        : QUORVEL_SIGN_CHECKSUM_COMPUTED;
    quorvel_sign_put_le16(record + 2,
                          record[1] == QUORVEL_SIGN_CHECKSUM_SIZE_PLUS ? above_size : 0);
}

/* What the entry's record says, taken only where it holds: signing appends its entry at the
 * table's end, so an entry followed by others was not the last change to the file. The padding
 * counts only for a table that held nothing else, and only when those bytes are zeros. */
static void read_record(const unsigned char* image, const quorvel_sign_positions* positions,
                        const carrier* entry, uint64_t* padding, unsigned* checksum_kind,
                        uint32_t* above_size) {
    const unsigned char* record = image + entry->offset + QUORVEL_SIGN_RECORD_OFFSET;
    const uint64_t recorded_padding = record[0] & QUORVEL_SIGN_RECORD_PADDING_MASK;
    *padding = 0;
    *checksum_kind = QUORVEL_SIGN_CHECKSUM_COMPUTED;
    if (record[0] >> 4 != QUORVEL_SIGN_RECORD_VERSION ||
        record[1] > QUORVEL_SIGN_CHECKSUM_SIZE_PLUS ||
        entry->offset + entry->length != positions->table_offset + positions->table_size) {
        return;
    }
    *checksum_kind = record[1];
    *above_size = quorvel_le16(record + 2);
    if (entry->length == positions->table_size && recorded_padding <= positions->table_offset) {
        for (uint64_t i = positions->table_offset - recorded_padding; i < positions->table_offset;
             ++i) {
            if (image[i] != 0) {
                return;
            }
        }
        *padding = recorded_padding;
    }
}

static int check_signed(const unsigned char* image, size_t size,
                        const quorvel_sign_positions* positions) {
    const int found = quorvel_sign_find_payload(image, size);
    if (found != QUORVEL_SIGN_OK) {
        return found;
    }
    if (positions->table_offset + positions->table_size != size) {
        return QUORVEL_SIGN_ERR_TABLE_NOT_LAST;
    }
    return QUORVEL_SIGN_OK;
}

/* The file without the carrier's bytes, or with its new content in their place. */
typedef struct removal_plan {
    uint64_t replacement; /* bytes of the new Authenticode entry, padding included */
    uint64_t table_offset;
    uint64_t table_size;
    uint64_t total;
} removal_plan;

static void make_plan(const quorvel_sign_positions* positions, const carrier* found,
                      uint64_t padding, removal_plan* plan) {
    plan->replacement = found->encoded == NULL ? 0 : quorvel_sign_align8(found->entry_length);
    plan->table_size = positions->table_size - found->length + plan->replacement;
    plan->table_offset = plan->table_size == 0 ? 0 : positions->table_offset;
    plan->total = plan->table_size == 0 ? positions->table_offset - padding
                                        : positions->table_offset + plan->table_size;
}

static void compose(const unsigned char* image, const quorvel_sign_positions* positions,
                    const carrier* found, const removal_plan* plan, unsigned checksum_kind,
                    uint32_t above_size, unsigned char* out) {
    memcpy(out, image, (size_t)(plan->table_size == 0 ? plan->total : found->offset));
    if (found->encoded != NULL) {
        unsigned char* entry = out + found->offset;
        memset(entry, 0, (size_t)plan->replacement);
        quorvel_sign_put_le32(entry, (uint32_t)found->entry_length);
        quorvel_sign_put_le16(entry + 4, QUORVEL_AUTHENTICODE_REVISION);
        quorvel_sign_put_le16(entry + 6, QUORVEL_AUTHENTICODE_TYPE);
        memcpy(entry + QUORVEL_SIGN_CERT_HEADER_BYTES, found->encoded, found->encoded_length);
    }
    const uint64_t table_end = positions->table_offset + positions->table_size;
    const uint64_t after = found->offset + found->length;
    if (plan->table_size != 0 && after < table_end) {
        memcpy(out + found->offset + plan->replacement, image + after, (size_t)(table_end - after));
    }
    quorvel_sign_put_le32(out + positions->directory, (uint32_t)plan->table_offset);
    quorvel_sign_put_le32(out + positions->directory + 4, (uint32_t)plan->table_size);
    uint32_t checksum = 0;
    if (checksum_kind == QUORVEL_SIGN_CHECKSUM_SIZE_PLUS) {
        checksum = (uint32_t)plan->total + above_size;
    } else if (checksum_kind == QUORVEL_SIGN_CHECKSUM_COMPUTED) {
        checksum = quorvel_sign_pe_checksum(out, (size_t)plan->total, positions->checksum);
    }
    quorvel_sign_put_le32(out + positions->checksum, checksum);
}

int quorvel_sign_remove(const unsigned char* image, size_t size, unsigned char* out,
                        size_t capacity, size_t* out_size) {
    if (image == NULL || out_size == NULL || (out == NULL && capacity > 0)) {
        return QUORVEL_SIGN_ERR_INVALID_ARGUMENT;
    }
    *out_size = 0;
    quorvel_sign_positions positions;
    int status = quorvel_sign_read_positions(image, size, &positions);
    if (status == QUORVEL_SIGN_OK) {
        status = check_signed(image, size, &positions);
    }
    carrier found = {0, 0, NULL, 0, 0};
    if (status == QUORVEL_SIGN_OK) {
        status = find_carrier(image, &positions, &found);
    }
    uint64_t padding = 0;
    unsigned checksum_kind = QUORVEL_SIGN_CHECKSUM_COMPUTED;
    uint32_t above_size = 0;
    removal_plan plan;
    if (status == QUORVEL_SIGN_OK) {
        if (found.encoded == NULL) {
            read_record(image, &positions, &found, &padding, &checksum_kind, &above_size);
        }
        make_plan(&positions, &found, padding, &plan);
        if (capacity < plan.total) {
            *out_size = (size_t)plan.total;
            status = QUORVEL_SIGN_ERR_BUFFER_TOO_SMALL;
        }
    }
    if (status == QUORVEL_SIGN_OK) {
        compose(image, &positions, &found, &plan, checksum_kind, above_size, out);
        quorvel_payload left;
        if (quorvel_find_payload(out, (size_t)plan.total, &left) == QUORVEL_ERR_NO_SIGNATURE) {
            *out_size = (size_t)plan.total;
        } else {
            status = QUORVEL_SIGN_ERR_SELF_CHECK;
        }
    }
    quorvel_pkcs7_release(found.encoded);
    return status;
}
