/*
 * Internal interface of libquorvel: the payload, the certificate-table walk, the value
 * unwrapping, the image digest and the key checks. Not installed; the test suites include it.
 * Yes/no answers are ints, 1 for yes and 0 for no; statuses are the QUORVEL_* codes.
 */
#ifndef QUORVEL_INTERNAL_H
#define QUORVEL_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "quorvel/quorvel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Payload layout: signature, key id, then the NUL-terminated domain field. */
#define QUORVEL_PAYLOAD_BYTES 352U
#define QUORVEL_PAYLOAD_KEY_ID_OFFSET 64U
#define QUORVEL_PAYLOAD_DOMAIN_OFFSET 96U

/* The library's own certificate-table entry. */
#define QUORVEL_CERT_REVISION 0x0300U
#define QUORVEL_CERT_TYPE 0x0010U
#define QUORVEL_CERT_MAGIC "QUORVEL" /* 7 letters and the terminating zero: 8 bytes */
#define QUORVEL_CERT_MAGIC_BYTES 8U
#define QUORVEL_CERT_CONTAINER_VERSION 1U
#define QUORVEL_CERT_HEADER_BYTES 20U /* dwLength .. payload length field */
#define QUORVEL_CERT_ENTRY_LENGTH 372U

/* Authenticode entries (WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA). */
#define QUORVEL_AUTHENTICODE_REVISION 0x0200U
#define QUORVEL_AUTHENTICODE_TYPE 0x0002U
#define QUORVEL_PAYLOAD_OID "1.3.6.1.4.1.57931.1.1"

/* PE header positions. */
#define QUORVEL_PE_MIN_IMAGE_BYTES 64U
#define QUORVEL_PE_LFANEW_OFFSET 60U
#define QUORVEL_PE_OPTIONAL_HEADER_OFFSET 24U /* from e: signature and COFF header */
#define QUORVEL_PE_CHECKSUM_OFFSET 64U        /* from the optional header */
#define QUORVEL_PE32_SECURITY_DIR_OFFSET 128U /* from the optional header */
#define QUORVEL_PE32PLUS_SECURITY_DIR_OFFSET 144U
#define QUORVEL_PE32_MAGIC 0x010BU
#define QUORVEL_PE32PLUS_MAGIC 0x020BU
#define QUORVEL_CERT_ALIGNMENT 8U

typedef struct quorvel_payload {
    unsigned char signature[QUORVEL_SIGNATURE_BYTES];
    unsigned char key_id[QUORVEL_KEY_ID_BYTES];
    char domain[QUORVEL_DOMAIN_BYTES]; /* NUL-terminated UTF-8, zero after the NUL */
    uint64_t domain_length;            /* bytes before the NUL, 0 to 255 */
} quorvel_payload;

/* Little-endian reads; the caller has checked that the bytes lie inside the image. */
static inline uint32_t quorvel_le16(const unsigned char* bytes) {
    return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8);
}

static inline uint32_t quorvel_le32(const unsigned char* bytes) {
    return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) |
           ((uint32_t)bytes[3] << 24);
}

/* Position of the security directory entry for an optional header at optional_header with
 * the given magic. No for a magic other than PE32 and PE32+. */
static inline int quorvel_security_directory_position(uint32_t magic, uint64_t optional_header,
                                                      uint64_t* directory) {
    if (magic == QUORVEL_PE32_MAGIC) {
        *directory = optional_header + QUORVEL_PE32_SECURITY_DIR_OFFSET;
        return 1;
    }
    if (magic == QUORVEL_PE32PLUS_MAGIC) {
        *directory = optional_header + QUORVEL_PE32PLUS_SECURITY_DIR_OFFSET;
        return 1;
    }
    return 0;
}

/*
 * Reads the whole stream into one new heap block: seek to the end, tell, seek to the start,
 * read until the block is full. Calls close (when set) exactly once, whatever happens. On
 * QUORVEL_OK *image is the block (null for an empty stream) and *size its length; the caller
 * releases it with quorvel_image_block_release (image_block.h). On failure nothing is left
 * allocated. Arguments are not checked.
 */
int quorvel_read_whole_stream(void* handle, const quorvel_io* io, unsigned char** image,
                              size_t* size);

/* Reads count bytes at offset of a file of known size into bytes: 1 when they were read, 0 when
 * they could not be. The header walk asks only for bytes inside the file. */
typedef int (*quorvel_fetch)(void* source, uint64_t offset, unsigned char* bytes, size_t count);

/* Where the headers put the fields that the digest leaves out, and the certificate table. */
typedef struct quorvel_pe_layout {
    uint64_t checksum;     /* position of the optional header's CheckSum field */
    uint64_t directory;    /* position of the security directory entry */
    uint64_t table_offset; /* the table as the entry states it; size 0: no table */
    uint64_t table_size;
} quorvel_pe_layout;

/* The one header walk, over the bytes of a file of size bytes that fetch gives: QUORVEL_OK
 * with the layout (the table lies inside the file after the entry), QUORVEL_ERR_NOT_PE, or
 * QUORVEL_ERR_READ when fetch fails. */
int quorvel_walk_pe_headers(quorvel_fetch fetch, void* source, uint64_t size,
                            quorvel_pe_layout* layout);

/* The header walk over an in-memory image: QUORVEL_OK or QUORVEL_ERR_NOT_PE. */
int quorvel_walk_image_headers(const unsigned char* image, size_t size, quorvel_pe_layout* layout);

/* A byte range [begin, end) of a file. */
typedef struct quorvel_file_range {
    uint64_t begin;
    uint64_t end;
} quorvel_file_range;

#define QUORVEL_DIGEST_MAX_RANGES 4U

/* The ranges that the image digest hashes, non-empty, in file order; returns their count. */
size_t quorvel_digest_ranges(const quorvel_pe_layout* layout, uint64_t size,
                             quorvel_file_range ranges[QUORVEL_DIGEST_MAX_RANGES]);

/* The info record of an accepted payload (zeroed first). */
void quorvel_info_from_payload(const quorvel_payload* payload, quorvel_signature_info* info);

/* The verdict on a found payload and the file's digest under public_key, and the verify record
 * as quorvel_verify_file fills it (result may be null; it was zeroed by the caller). */
int quorvel_judge_payload(const quorvel_signature_info* payload,
                          const unsigned char digest[QUORVEL_DIGEST_BYTES],
                          const unsigned char public_key[QUORVEL_PUBLIC_KEY_BYTES],
                          quorvel_verify_result* result);

/* Finds the single Quorvel payload of an image: QUORVEL_OK, _NOT_PE, _NO_SIGNATURE,
 * _INVALID_PAYLOAD, or _READ when the PKCS#7 decoder ran out of memory. *payload is
 * meaningful only on QUORVEL_OK. */
int quorvel_find_payload(const unsigned char* image, size_t size, quorvel_payload* payload);

/* What the table's placement alone says: QUORVEL_ERR_NO_SIGNATURE for no table (size 0),
 * QUORVEL_ERR_INVALID_PAYLOAD for an offset or size that is not a multiple of 8, else
 * QUORVEL_OK. */
int quorvel_certificate_table_placement(uint64_t table_offset, uint64_t table_size);

/* The walk over the entries of a well-placed table held in table[0, table_size); statuses as
 * quorvel_find_payload's, without _NOT_PE. */
int quorvel_walk_certificate_table(const unsigned char* table, uint64_t table_size,
                                   quorvel_payload* payload);

/* Walks the headers to the security directory entry. On yes, the certificate table's
 * offset and size (size 0: no table); the table lies inside the image after the entry. */
int quorvel_locate_certificate_table(const unsigned char* image, size_t size,
                                     uint64_t* table_offset, uint64_t* table_size);

/* Searches the first signer of a PKCS#7 SignedData content for the payload attribute.
 * *attribute_seen becomes 1 when the attribute is met, accepted value or not; never reset.
 * Yes, no, or QUORVEL_AUTHENTICODE_OUT_OF_MEMORY when the decoder ran out of memory. */
#define QUORVEL_AUTHENTICODE_OUT_OF_MEMORY (-1)
int quorvel_find_authenticode_payload(const unsigned char* content, size_t length,
                                      quorvel_payload* payload, int* attribute_seen);

/* Unwraps one attribute value (complete encoding): raw, OCTET STRING or wrapped form. */
int quorvel_payload_from_value(const unsigned char* value, size_t length, quorvel_payload* payload);

/* Reads a tag and a DER length (short form, or long form with 1 to 8 length bytes, minimal
 * or not) from the start of bytes[0, available). On yes the content fits in what is left. */
int quorvel_der_read_header(const unsigned char* bytes, uint64_t available, unsigned* tag,
                            uint64_t* content_length, uint64_t* header_size);

/* Parses the 352 payload bytes; the domain must be well-formed UTF-8 followed by zeros. */
int quorvel_parse_payload(const unsigned char* bytes, size_t length, quorvel_payload* payload);

/* Well-formed UTF-8 without the zero byte. Null text is no; length 0 is yes. */
int quorvel_utf8_valid(const unsigned char* text, size_t length);

/* SHA-256 of the image without CheckSum, the security directory entry and the table. */
int quorvel_image_digest(const unsigned char* image, size_t size,
                         unsigned char digest[QUORVEL_DIGEST_BYTES]);

/* Pure Ed25519 over the 32 digest bytes. Yes when the signature verifies. */
int quorvel_signature_verifies(const unsigned char signature[QUORVEL_SIGNATURE_BYTES],
                               const unsigned char digest[QUORVEL_DIGEST_BYTES],
                               const unsigned char public_key[QUORVEL_PUBLIC_KEY_BYTES]);

/* RFC 7638 JWK thumbprint of an Ed25519 public key, 32 raw bytes. */
void quorvel_key_thumbprint(const unsigned char public_key[QUORVEL_PUBLIC_KEY_BYTES],
                            unsigned char thumbprint[QUORVEL_KEY_ID_BYTES]);

/* Yes when the key's thumbprint equals key_id; the comparison time does not depend on the
 * bytes. */
int quorvel_key_id_matches(const unsigned char public_key[QUORVEL_PUBLIC_KEY_BYTES],
                           const unsigned char key_id[QUORVEL_KEY_ID_BYTES]);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_INTERNAL_H */
