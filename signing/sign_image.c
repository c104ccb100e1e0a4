/* Signing a PE image: where the payload goes, the digest of the file as it will be written,
 * the payload, the new certificate table, the CheckSum, and a check with libquorvel's own
 * reader that the result verifies. */
#include <stdlib.h>
#include <string.h>

#include "pkcs7_encoder.h"
#include "quorvel/quorvel_sign.h"
#include "quorvel_internal.h"
#include "signing_internal.h"

#define MAX_SIGNED_FILE_BYTES 0xFFFFFFFFULL /* the directory entry holds 32-bit offsets */
#define KNOWN_OPTIONS (QUORVEL_SIGN_CONTAINER_AUTHENTICODE | QUORVEL_SIGN_REPLACE)

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
    size_t encoded_length; /* of the re-encoded content */
    size_t carrier_length; /* dwLength of the carrier entry */
    uint64_t total;
    unsigned char record[QUORVEL_SIGN_RECORD_BYTES]; /* a Quorvel entry's removal record */
} signing_plan;

/* The file that is signed: the caller's image, or with QUORVEL_SIGN_REPLACE a copy of it
 * without its payload; and the plan for it. */
typedef struct signing_input {
    const unsigned char* image;
    size_t size;
    unsigned char* without_payload; /* the copy, owned; null when the caller's image is used */
    quorvel_sign_positions positions;
    signing_plan plan;
} signing_input;

static int check_unsigned(const unsigned char* image, size_t size,
                          const quorvel_sign_positions* positions) {
    const int found = quorvel_sign_find_payload(image, size);
    if (found != QUORVEL_SIGN_ERR_NOT_SIGNED) {
        return found == QUORVEL_SIGN_OK ? QUORVEL_SIGN_ERR_ALREADY_SIGNED : found;
    }
    if (positions->table_size > 0 && positions->table_offset + positions->table_size != size) {
        return QUORVEL_SIGN_ERR_TABLE_NOT_LAST;
    }
    return QUORVEL_SIGN_OK;
}

/* The table's entries around its first Authenticode entry, which will carry the payload. */
static int plan_authenticode(const unsigned char* image, const quorvel_sign_positions* positions,
                             signing_plan* plan) {
    const uint64_t end = positions->table_offset + positions->table_size;
    for (uint64_t p = positions->table_offset; p + QUORVEL_SIGN_CERT_HEADER_BYTES <= end;) {
        const uint32_t length = quorvel_le32(image + p);
        const uint64_t next = p + quorvel_sign_align8(length);
        if (length < QUORVEL_SIGN_CERT_HEADER_BYTES || next > end) {
            return QUORVEL_SIGN_ERR_MALFORMED_TABLE;
        }
        if (quorvel_le16(image + p + 4) == QUORVEL_AUTHENTICODE_REVISION &&
            quorvel_le16(image + p + 6) == QUORVEL_AUTHENTICODE_TYPE) {
            plan->before = image + positions->table_offset;
            plan->before_length = (size_t)(p - positions->table_offset);
            plan->authenticode = image + p + QUORVEL_SIGN_CERT_HEADER_BYTES;
            plan->authenticode_length = length - QUORVEL_SIGN_CERT_HEADER_BYTES;
            plan->after = image + next;
            plan->after_length = (size_t)(end - next);
            return QUORVEL_SIGN_OK;
        }
        p = next;
    }
    return QUORVEL_SIGN_ERR_NO_AUTHENTICODE;
}

static int make_plan(const unsigned char* image, size_t size,
                     const quorvel_sign_positions* positions, int authenticode,
                     signing_plan* plan) {
    memset(plan, 0, sizeof *plan);
    if (positions->table_size > 0) {
        plan->copied = positions->table_offset;
        plan->table_offset = positions->table_offset;
    } else {
        plan->copied = size;
        plan->table_offset = quorvel_sign_align8(size);
    }
    if (authenticode) {
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
        plan->encoded_length = encoded_length;
        plan->carrier_length = quorvel_sign_authenticode_entry_length(
            (uint32_t)(QUORVEL_SIGN_CERT_HEADER_BYTES + plan->authenticode_length), encoded_length);
    } else {
        plan->before = image + positions->table_offset;
        plan->before_length = (size_t)positions->table_size;
        plan->carrier_length = QUORVEL_CERT_ENTRY_LENGTH;
        quorvel_sign_make_record(size, quorvel_le32(image + positions->checksum),
                                 plan->table_offset - plan->copied, plan->record);
    }
    plan->total = plan->table_offset + plan->before_length +
                  quorvel_sign_align8(plan->carrier_length) + plan->after_length;
    if (plan->total > MAX_SIGNED_FILE_BYTES || plan->total > size + QUORVEL_SIGN_MAX_GROWTH) {
        return QUORVEL_SIGN_ERR_TOO_LARGE;
    }
    return QUORVEL_SIGN_OK;
}

/* With QUORVEL_SIGN_REPLACE: a file that carries a payload is signed as it is without it. */
static int take_out_payload(signing_input* input) {
    quorvel_payload existing;
    if (quorvel_find_payload(input->image, input->size, &existing) != QUORVEL_OK) {
        return QUORVEL_SIGN_OK; /* nothing to take out; the checks say what else is wrong */
    }
    input->without_payload = malloc(input->size);
    if (input->without_payload == NULL) {
        return QUORVEL_SIGN_ERR_NO_MEMORY;
    }
    size_t size = 0;
    const int status =
        quorvel_sign_remove(input->image, input->size, input->without_payload, input->size, &size);
    input->image = input->without_payload;
    input->size = size;
    return status;
}

/* The checks and the plan for signing image; the caller calls finish_signing in any case. */
static int start_signing(const unsigned char* image, size_t size, int options,
                         signing_input* input) {
    memset(input, 0, sizeof *input);
    input->image = image;
    input->size = size;
    int status = QUORVEL_SIGN_OK;
    if ((options & QUORVEL_SIGN_REPLACE) != 0) {
        status = take_out_payload(input);
    }
    if (status == QUORVEL_SIGN_OK) {
        status = quorvel_sign_read_positions(input->image, input->size, &input->positions);
    }
    if (status == QUORVEL_SIGN_OK) {
        status = check_unsigned(input->image, input->size, &input->positions);
    }
    if (status == QUORVEL_SIGN_OK) {
        status = make_plan(input->image, input->size, &input->positions,
                           (options & QUORVEL_SIGN_CONTAINER_AUTHENTICODE) != 0, &input->plan);
    }
    return status;
}

static void finish_signing(signing_input* input) { free(input->without_payload); }

/* out[0, end): the file up to its table, zeros after it, and no table in the directory entry.
 * The digest of its first table_offset bytes is the digest of the signed file: the same
 * bytes are hashed, and the table is not. */
static void write_unsigned_part(const signing_input* input, unsigned char* out, uint64_t end) {
    memcpy(out, input->image, (size_t)input->plan.copied);
    memset(out + input->plan.copied, 0, (size_t)(end - input->plan.copied));
    quorvel_sign_put_le32(out + input->positions.directory, 0);
    quorvel_sign_put_le32(out + input->positions.directory + 4, 0);
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

static void write_quorvel_entry(unsigned char* entry, const signing_plan* plan,
                                const unsigned char payload[QUORVEL_PAYLOAD_BYTES]) {
    quorvel_sign_put_le32(entry, QUORVEL_CERT_ENTRY_LENGTH);
    quorvel_sign_put_le16(entry + 4, QUORVEL_CERT_REVISION);
    quorvel_sign_put_le16(entry + 6, QUORVEL_CERT_TYPE);
    memcpy(entry + 8, QUORVEL_CERT_MAGIC, QUORVEL_CERT_MAGIC_BYTES);
    quorvel_sign_put_le16(entry + 16, QUORVEL_CERT_CONTAINER_VERSION);
    quorvel_sign_put_le16(entry + 18, QUORVEL_PAYLOAD_BYTES);
    memcpy(entry + QUORVEL_CERT_HEADER_BYTES, payload, QUORVEL_PAYLOAD_BYTES);
    memcpy(entry + QUORVEL_SIGN_RECORD_OFFSET, plan->record, QUORVEL_SIGN_RECORD_BYTES);
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
    const int same_size = encoded_length == plan->encoded_length;
    if (same_size) {
        quorvel_sign_put_le32(entry, (uint32_t)plan->carrier_length);
        quorvel_sign_put_le16(entry + 4, QUORVEL_AUTHENTICODE_REVISION);
        quorvel_sign_put_le16(entry + 6, QUORVEL_AUTHENTICODE_TYPE);
        memcpy(entry + QUORVEL_SIGN_CERT_HEADER_BYTES, encoded, encoded_length);
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

static int compose(const signing_input* input, const quorvel_signer* signer, const char* domain,
                   size_t domain_length, unsigned char* out) {
    const signing_plan* plan = &input->plan;
    write_unsigned_part(input, out, plan->total);
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
        write_quorvel_entry(carrier, plan, payload);
    } else {
        const int status = write_authenticode_entry(carrier, plan, payload);
        if (status != QUORVEL_SIGN_OK) {
            return status;
        }
    }
    if (plan->after_length != 0) {
        memcpy(carrier + quorvel_sign_align8(plan->carrier_length), plan->after,
               plan->after_length);
    }

    const quorvel_sign_positions* positions = &input->positions;
    quorvel_sign_put_le32(out + positions->directory, (uint32_t)plan->table_offset);
    quorvel_sign_put_le32(out + positions->directory + 4,
                          (uint32_t)(plan->total - plan->table_offset));
    quorvel_sign_put_le32(out + positions->checksum,
                          quorvel_sign_pe_checksum(out, (size_t)plan->total, positions->checksum));
    return verifies(out, (size_t)plan->total, payload, signer->public_key)
               ? QUORVEL_SIGN_OK
               : QUORVEL_SIGN_ERR_SELF_CHECK;
}

int quorvel_sign_image(const unsigned char* image, size_t size, const quorvel_signer* signer,
                       const char* domain, size_t domain_length, int options, unsigned char* out,
                       size_t capacity, size_t* out_size) {
    if (image == NULL || signer == NULL || signer->sign == NULL || out_size == NULL ||
        (out == NULL && capacity > 0) || (options & ~KNOWN_OPTIONS) != 0) {
        return QUORVEL_SIGN_ERR_INVALID_ARGUMENT;
    }
    *out_size = 0;
    int status = quorvel_sign_check_domain(domain, domain_length);
    if (status != QUORVEL_SIGN_OK) {
        return status;
    }
    signing_input input;
    status = start_signing(image, size, options, &input);
    if (status == QUORVEL_SIGN_OK && capacity < input.plan.total) {
        *out_size = (size_t)input.plan.total;
        status = QUORVEL_SIGN_ERR_BUFFER_TOO_SMALL;
    } else if (status == QUORVEL_SIGN_OK) {
        status = compose(&input, signer, domain, domain_length, out);
        if (status == QUORVEL_SIGN_OK) {
            *out_size = (size_t)input.plan.total;
        }
    }
    finish_signing(&input);
    return status;
}

int quorvel_sign_image_digest(const unsigned char* image, size_t size, int options,
                              unsigned char digest[QUORVEL_SIGN_MESSAGE_BYTES]) {
    if (image == NULL || digest == NULL || (options & ~KNOWN_OPTIONS) != 0) {
        return QUORVEL_SIGN_ERR_INVALID_ARGUMENT;
    }
    signing_input input;
    int status = start_signing(image, size, options, &input);
    unsigned char* unsigned_part = NULL;
    if (status == QUORVEL_SIGN_OK) {
        unsigned_part = malloc((size_t)input.plan.table_offset);
        status = unsigned_part == NULL ? QUORVEL_SIGN_ERR_NO_MEMORY : QUORVEL_SIGN_OK;
    }
    if (status == QUORVEL_SIGN_OK) {
        write_unsigned_part(&input, unsigned_part, input.plan.table_offset);
        if (quorvel_image_digest(unsigned_part, (size_t)input.plan.table_offset, digest) !=
            QUORVEL_OK) {
            status = QUORVEL_SIGN_ERR_NOT_PE;
        }
    }
    free(unsigned_part);
    finish_signing(&input);
    return status;
}
