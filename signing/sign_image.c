/* Signing a PE image: where the payload goes, the digest of the file as it will be written,
 * the payload, the new certificate table, the CheckSum, and a check with libquorvel's own
 * reader that the result verifies. */
#include <string.h>

#include "pkcs7_encoder.h"
#include "quorvel/quorvel_sign.h"
#include "quorvel_internal.h"
#include "signing_internal.h"

#define MAX_SIGNED_FILE_BYTES 0xFFFFFFFFULL /* the directory entry holds 32-bit offsets */
#define QUORVEL_ENTRY_BYTES 376U            /* dwLength 372, padded to a multiple of 8 */
#define WIN_CERTIFICATE_HEADER_BYTES 8U

typedef struct header_positions {
    uint64_t checksum;  /* the CheckSum field */
    uint64_t directory; /* the security directory entry */
    uint64_t table_offset;
    uint64_t table_size;
} header_positions;

/* The new file: input[0, copied), zeros up to table_offset, then the kept entries before the
 * carrier, the carrier entry (header and content, zero padded), the kept entries after it. */
typedef struct signing_plan {
    uint64_t copied;
    uint64_t table_offset;
    const unsigned char* before;
    size_t before_length;
    const unsigned char* after;
    size_t after_length;
    const unsigned char* authenticode; /* the content to re-encode; null for a Quorvel entry */
    size_t authenticode_length;
    size_t carrier_length; /* dwLength of the carrier entry */
    uint64_t total;
} signing_plan;

static uint64_t align8(uint64_t value) {
    return (value + QUORVEL_CERT_ALIGNMENT - 1) & ~(uint64_t)(QUORVEL_CERT_ALIGNMENT - 1);
}

static void put_le16(unsigned char* bytes, uint32_t value) {
    bytes[0] = (unsigned char)(value & 0xFFU);
    bytes[1] = (unsigned char)((value >> 8) & 0xFFU);
}

static void put_le32(unsigned char* bytes, uint32_t value) {
    put_le16(bytes, value & 0xFFFFU);
    put_le16(bytes + 2, value >> 16);
}

static int read_positions(const unsigned char* image, size_t size, header_positions* positions) {
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

static int check_unsigned(const unsigned char* image, size_t size,
                          const header_positions* positions) {
    quorvel_payload existing;
    switch (quorvel_find_payload(image, size, &existing)) {
        case QUORVEL_ERR_NO_SIGNATURE:
            break;
        case QUORVEL_OK:
            return QUORVEL_SIGN_ERR_ALREADY_SIGNED;
        case QUORVEL_ERR_INVALID_PAYLOAD:
            return QUORVEL_SIGN_ERR_MALFORMED_TABLE;
        default:
            return QUORVEL_SIGN_ERR_NOT_PE;
    }
    if (positions->table_size > 0 && positions->table_offset + positions->table_size != size) {
        return QUORVEL_SIGN_ERR_TABLE_NOT_LAST;
    }
    return QUORVEL_SIGN_OK;
}

/* The table's entries around its first Authenticode entry, which will carry the payload. */
static int plan_authenticode(const unsigned char* image, const header_positions* positions,
                             signing_plan* plan) {
    const uint64_t end = positions->table_offset + positions->table_size;
    for (uint64_t p = positions->table_offset; p + WIN_CERTIFICATE_HEADER_BYTES <= end;) {
        const uint32_t length = quorvel_le32(image + p);
        const uint64_t next = p + align8(length);
        if (length < WIN_CERTIFICATE_HEADER_BYTES || next > end) {
            return QUORVEL_SIGN_ERR_MALFORMED_TABLE;
        }
        if (quorvel_le16(image + p + 4) == QUORVEL_AUTHENTICODE_REVISION &&
            quorvel_le16(image + p + 6) == QUORVEL_AUTHENTICODE_TYPE) {
            plan->before = image + positions->table_offset;
            plan->before_length = (size_t)(p - positions->table_offset);
            plan->authenticode = image + p + WIN_CERTIFICATE_HEADER_BYTES;
            plan->authenticode_length = length - WIN_CERTIFICATE_HEADER_BYTES;
            plan->after = image + next;
            plan->after_length = (size_t)(end - next);
            return QUORVEL_SIGN_OK;
        }
        p = next;
    }
    return QUORVEL_SIGN_ERR_NO_AUTHENTICODE;
}

static int make_plan(const unsigned char* image, size_t size, const header_positions* positions,
                     int container, signing_plan* plan) {
    memset(plan, 0, sizeof *plan);
    if (positions->table_size > 0) {
        plan->copied = positions->table_offset;
        plan->table_offset = positions->table_offset;
    } else {
        plan->copied = size;
        plan->table_offset = align8(size);
    }
    if (container == QUORVEL_SIGN_CONTAINER_AUTHENTICODE) {
        if (positions->table_size == 0) {
            return QUORVEL_SIGN_ERR_NO_AUTHENTICODE;
        }
        const int status = plan_authenticode(image, positions, plan);
        if (status != QUORVEL_SIGN_OK) {
            return status;
        }
        unsigned char* encoded = NULL;
        size_t encoded_length = 0;
        const int sized = quorvel_sign_authenticode_content(
            plan->authenticode, plan->authenticode_length, NULL, &encoded, &encoded_length);
        if (sized != QUORVEL_SIGN_OK) {
            return sized;
        }
        quorvel_pkcs7_release(encoded);
        plan->carrier_length = WIN_CERTIFICATE_HEADER_BYTES + encoded_length;
    } else {
        plan->before = image + positions->table_offset;
        plan->before_length = (size_t)positions->table_size;
        plan->carrier_length = QUORVEL_CERT_ENTRY_LENGTH;
    }
    plan->total = plan->table_offset + plan->before_length + align8(plan->carrier_length) +
                  plan->after_length;
    if (plan->total > MAX_SIGNED_FILE_BYTES || plan->total > size + QUORVEL_SIGN_MAX_GROWTH) {
        return QUORVEL_SIGN_ERR_TOO_LARGE;
    }
    return QUORVEL_SIGN_OK;
}

/* signature, key id and the zero-padded domain: the 352 payload bytes. */
static int make_payload(const unsigned char digest[QUORVEL_DIGEST_BYTES],
                        const quorvel_signer* signer, const char* domain, size_t domain_length,
                        unsigned char payload[QUORVEL_PAYLOAD_BYTES]) {
    memset(payload, 0, QUORVEL_PAYLOAD_BYTES);
    const int status = signer->sign(signer->context, digest, payload);
    if (status != QUORVEL_SIGN_OK) {
        return status;
    }
    if (!quorvel_signature_verifies(payload, digest, signer->public_key)) {
        return QUORVEL_SIGN_ERR_SIGNER_MISMATCH;
    }
    quorvel_key_thumbprint(signer->public_key, payload + QUORVEL_PAYLOAD_KEY_ID_OFFSET);
    memcpy(payload + QUORVEL_PAYLOAD_DOMAIN_OFFSET, domain, domain_length);
    return QUORVEL_SIGN_OK;
}

static void write_quorvel_entry(unsigned char* entry,
                                const unsigned char payload[QUORVEL_PAYLOAD_BYTES]) {
    put_le32(entry, QUORVEL_CERT_ENTRY_LENGTH);
    put_le16(entry + 4, QUORVEL_CERT_REVISION);
    put_le16(entry + 6, QUORVEL_CERT_TYPE);
    memcpy(entry + 8, QUORVEL_CERT_MAGIC, QUORVEL_CERT_MAGIC_BYTES);
    put_le16(entry + 16, QUORVEL_CERT_CONTAINER_VERSION);
    put_le16(entry + 18, QUORVEL_PAYLOAD_BYTES);
    memcpy(entry + QUORVEL_CERT_HEADER_BYTES, payload, QUORVEL_PAYLOAD_BYTES);
}

static int write_authenticode_entry(unsigned char* entry, const signing_plan* plan,
                                    const unsigned char payload[QUORVEL_PAYLOAD_BYTES]) {
    unsigned char* encoded = NULL;
    size_t encoded_length = 0;
    const int status = quorvel_sign_authenticode_content(
        plan->authenticode, plan->authenticode_length, payload, &encoded, &encoded_length);
    if (status != QUORVEL_SIGN_OK) {
        return status;
    }
    const int same_size = WIN_CERTIFICATE_HEADER_BYTES + encoded_length == plan->carrier_length;
    if (same_size) {
        put_le32(entry, (uint32_t)plan->carrier_length);
        put_le16(entry + 4, QUORVEL_AUTHENTICODE_REVISION);
        put_le16(entry + 6, QUORVEL_AUTHENTICODE_TYPE);
        memcpy(entry + WIN_CERTIFICATE_HEADER_BYTES, encoded, encoded_length);
    }
    quorvel_pkcs7_release(encoded);
    return same_size ? QUORVEL_SIGN_OK : QUORVEL_SIGN_ERR_PKCS7;
}

/* Reads the result back as the verifier does: the same payload, whose signature and key id
 * libquorvel accepts for the signer's public key over the digest of the written file. */
static int verifies(const unsigned char* out, size_t size,
                    const unsigned char payload[QUORVEL_PAYLOAD_BYTES],
                    const unsigned char public_key[QUORVEL_SIGN_PUBLIC_KEY_BYTES]) {
    quorvel_payload found;
    unsigned char digest[QUORVEL_DIGEST_BYTES];
    if (quorvel_find_payload(out, size, &found) != QUORVEL_OK ||
        memcmp(found.signature, payload, QUORVEL_SIGNATURE_BYTES) != 0 ||
        memcmp(found.key_id, payload + QUORVEL_PAYLOAD_KEY_ID_OFFSET, QUORVEL_KEY_ID_BYTES) != 0 ||
        memcmp(found.domain, payload + QUORVEL_PAYLOAD_DOMAIN_OFFSET, QUORVEL_DOMAIN_BYTES) != 0 ||
        quorvel_image_digest(out, size, digest) != QUORVEL_OK) {
        return 0;
    }
    quorvel_signature_info info;
    quorvel_info_from_payload(&found, &info);
    return quorvel_judge_payload(&info, digest, public_key, NULL) == QUORVEL_OK;
}

static int compose(const unsigned char* image, const header_positions* positions,
                   const signing_plan* plan, const quorvel_signer* signer, const char* domain,
                   size_t domain_length, unsigned char* out) {
    memcpy(out, image, (size_t)plan->copied);
    memset(out + plan->copied, 0, (size_t)(plan->total - plan->copied));
    /* Without a table in the directory entry, the digest of the padded file up to the table
     * covers exactly the bytes that the digest of the signed file will. */
    put_le32(out + positions->directory, 0);
    put_le32(out + positions->directory + 4, 0);
    unsigned char digest[QUORVEL_DIGEST_BYTES];
    if (quorvel_image_digest(out, (size_t)plan->table_offset, digest) != QUORVEL_OK) {
        return QUORVEL_SIGN_ERR_NOT_PE;
    }
    unsigned char payload[QUORVEL_PAYLOAD_BYTES];
    const int signed_status = make_payload(digest, signer, domain, domain_length, payload);
    if (signed_status != QUORVEL_SIGN_OK) {
        return signed_status;
    }

    unsigned char* table = out + plan->table_offset;
    if (plan->before_length != 0) { /* no entries before: there is no block to copy from */
        memcpy(table, plan->before, plan->before_length);
    }
    unsigned char* carrier = table + plan->before_length;
    if (plan->authenticode == NULL) {
        write_quorvel_entry(carrier, payload);
    } else {
        const int status = write_authenticode_entry(carrier, plan, payload);
        if (status != QUORVEL_SIGN_OK) {
            return status;
        }
    }
    if (plan->after_length != 0) {
        memcpy(carrier + align8(plan->carrier_length), plan->after, plan->after_length);
    }

    put_le32(out + positions->directory, (uint32_t)plan->table_offset);
    put_le32(out + positions->directory + 4, (uint32_t)(plan->total - plan->table_offset));
    put_le32(out + positions->checksum,
             quorvel_sign_pe_checksum(out, (size_t)plan->total, positions->checksum));
    return verifies(out, (size_t)plan->total, payload, signer->public_key)
               ? QUORVEL_SIGN_OK
               : QUORVEL_SIGN_ERR_SELF_CHECK;
}

int quorvel_sign_image(const unsigned char* image, size_t size, const quorvel_signer* signer,
                       const char* domain, size_t domain_length, int container, unsigned char* out,
                       size_t capacity, size_t* out_size) {
    if (image == NULL || signer == NULL || signer->sign == NULL || out_size == NULL ||
        (out == NULL && capacity > 0) ||
        (container != QUORVEL_SIGN_CONTAINER_ENTRY &&
         container != QUORVEL_SIGN_CONTAINER_AUTHENTICODE)) {
        return QUORVEL_SIGN_ERR_INVALID_ARGUMENT;
    }
    *out_size = 0;
    int status = quorvel_sign_check_domain(domain, domain_length);
    if (status != QUORVEL_SIGN_OK) {
        return status;
    }
    header_positions positions;
    status = read_positions(image, size, &positions);
    if (status == QUORVEL_SIGN_OK) {
        status = check_unsigned(image, size, &positions);
    }
    signing_plan plan;
    if (status == QUORVEL_SIGN_OK) {
        status = make_plan(image, size, &positions, container, &plan);
    }
    if (status != QUORVEL_SIGN_OK) {
        return status;
    }
    if (capacity < plan.total) {
        *out_size = (size_t)plan.total;
        return QUORVEL_SIGN_ERR_BUFFER_TOO_SMALL;
    }
    status = compose(image, &positions, &plan, signer, domain, domain_length, out);
    if (status == QUORVEL_SIGN_OK) {
        *out_size = (size_t)plan.total;
    }
    return status;
}
