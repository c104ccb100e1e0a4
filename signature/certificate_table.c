/* The walk over the certificate table's entries, in file order. */
#include <stdint.h>
#include <string.h>

#include "quorvel_internal.h"

static uint64_t round_up_to_alignment(uint64_t value) {
    return (value + (QUORVEL_CERT_ALIGNMENT - 1)) & ~(uint64_t)(QUORVEL_CERT_ALIGNMENT - 1);
}

/* Result of looking at one entry of revision 0x0300. */
enum quorvel_entry_verdict { ENTRY_SKIP, ENTRY_ACCEPTED, ENTRY_INVALID };

static enum quorvel_entry_verdict examine_quorvel_entry(const unsigned char* entry,
                                                        uint64_t entry_length, int found,
                                                        quorvel_payload* payload) {
    const uint64_t content_length = entry_length - 8;
    if (quorvel_le16(entry + 6) != QUORVEL_CERT_TYPE || content_length < 12 ||
        memcmp(entry + 8, QUORVEL_CERT_MAGIC, QUORVEL_CERT_MAGIC_BYTES) != 0 ||
        quorvel_le16(entry + 16) != QUORVEL_CERT_CONTAINER_VERSION) {
        return ENTRY_SKIP; /* some other producer's entry */
    }
    if (quorvel_le16(entry + 18) != QUORVEL_PAYLOAD_BYTES ||
        content_length != QUORVEL_CERT_HEADER_BYTES - 8 + QUORVEL_PAYLOAD_BYTES) {
        return ENTRY_INVALID;
    }
    if (found) {
        return ENTRY_INVALID; /* a second payload */
    }
    if (!quorvel_parse_payload(entry + QUORVEL_CERT_HEADER_BYTES, QUORVEL_PAYLOAD_BYTES, payload)) {
        return ENTRY_INVALID;
    }
    return ENTRY_ACCEPTED;
}

int quorvel_certificate_table_placement(uint64_t table_offset, uint64_t table_size) {
    if (table_size == 0) {
        return QUORVEL_ERR_NO_SIGNATURE;
    }
    if (table_offset % QUORVEL_CERT_ALIGNMENT != 0 || table_size % QUORVEL_CERT_ALIGNMENT != 0) {
        return QUORVEL_ERR_INVALID_PAYLOAD;
    }
    return QUORVEL_OK;
}

int quorvel_find_payload(const unsigned char* image, size_t size, quorvel_payload* payload) {
    uint64_t table_offset = 0;
    uint64_t table_size = 0;
    if (!quorvel_locate_certificate_table(image, size, &table_offset, &table_size)) {
        return QUORVEL_ERR_NOT_PE;
    }
    const int placement = quorvel_certificate_table_placement(table_offset, table_size);
    if (placement != QUORVEL_OK) {
        return placement;
    }
    return quorvel_walk_certificate_table(image + table_offset, table_size, payload);
}

int quorvel_walk_certificate_table(const unsigned char* table, uint64_t table_size,
                                   quorvel_payload* payload) {
    /* Candidates are parsed into scratch storage; the result changes only on acceptance. */
    quorvel_payload scratch;
    int found = 0;
    int attribute_seen = 0;
    uint64_t p = 0;
    while (p < table_size) {
        const uint64_t remaining = table_size - p;
        if (remaining < 8) {
            return QUORVEL_ERR_INVALID_PAYLOAD;
        }
        const unsigned char* entry = table + p;
        const uint64_t entry_length = quorvel_le32(entry);
        if (entry_length < 8 || entry_length > remaining ||
            round_up_to_alignment(entry_length) > remaining) {
            return QUORVEL_ERR_INVALID_PAYLOAD;
        }
        const uint32_t revision = quorvel_le16(entry + 4);
        const uint32_t type = quorvel_le16(entry + 6);
        if (revision == QUORVEL_CERT_REVISION) {
            const enum quorvel_entry_verdict verdict =
                examine_quorvel_entry(entry, entry_length, found, &scratch);
            if (verdict == ENTRY_INVALID) {
                return QUORVEL_ERR_INVALID_PAYLOAD;
            }
            if (verdict == ENTRY_ACCEPTED) {
                found = 1;
                *payload = scratch;
            }
        } else if (revision == QUORVEL_AUTHENTICODE_REVISION && type == QUORVEL_AUTHENTICODE_TYPE) {
            const int answer = quorvel_find_authenticode_payload(
                entry + 8, (size_t)(entry_length - 8), &scratch, &attribute_seen);
            if (answer < 0) {
                return QUORVEL_ERR_READ; /* the decoder ran out of memory: nothing is known */
            }
            if (answer > 0) {
                if (found) {
                    return QUORVEL_ERR_INVALID_PAYLOAD;
                }
                found = 1;
                *payload = scratch;
            }
        }
        p += round_up_to_alignment(entry_length);
    }

    if (found) {
        return QUORVEL_OK;
    }
    return attribute_seen ? QUORVEL_ERR_INVALID_PAYLOAD : QUORVEL_ERR_NO_SIGNATURE;
}
