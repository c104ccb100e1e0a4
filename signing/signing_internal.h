/*
 * Internal interface of libquorvel-sign: the PE checksum, the header positions the signer
 * writes, the record that makes a removal exact, and the Authenticode re-encoding. Not
 * installed; the test suites include it.
 */
#ifndef QUORVEL_SIGNING_INTERNAL_H
#define QUORVEL_SIGNING_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "quorvel_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Header fields that only the signer needs (offsets from e and from the optional header). */
#define QUORVEL_SIGN_SIZE_OF_OPTIONAL_HEADER_OFFSET 20U /* from e: 2 bytes */
#define QUORVEL_SIGN_PE32_RVA_COUNT_OFFSET 92U          /* NumberOfRvaAndSizes, 4 bytes */
#define QUORVEL_SIGN_PE32PLUS_RVA_COUNT_OFFSET 108U
#define QUORVEL_SIGN_SECURITY_DIRECTORY_INDEX 4U

#define QUORVEL_SIGN_CERT_HEADER_BYTES 8U /* WIN_CERTIFICATE's dwLength and the two types */

/*
 * What sign records in the 4 padding bytes after a Quorvel entry's 372 bytes (no reader
 * examines them), so that remove can give back the file as it was, byte for byte:
 *   byte 0     the record's version in the high 4 bits (all zero: nothing recorded), and in
 *              the low 3 bits the number of zero bytes added before a new table (0 to 7);
 *   byte 1     what the CheckSum field was: computed again on removal (nothing recorded), 0,
 *              or the file's size plus the 16-bit value in bytes 2 and 3 (a correct CheckSum
 *              always is, and so is one left from before a same-size change);
 *   bytes 2-3  that value, little-endian.
 */
#define QUORVEL_SIGN_RECORD_OFFSET 372U /* in the entry */
#define QUORVEL_SIGN_RECORD_BYTES 4U
#define QUORVEL_SIGN_RECORD_VERSION 1U
#define QUORVEL_SIGN_RECORD_PADDING_MASK 7U
#define QUORVEL_SIGN_CHECKSUM_COMPUTED 0U
#define QUORVEL_SIGN_CHECKSUM_ZERO 1U
#define QUORVEL_SIGN_CHECKSUM_SIZE_PLUS 2U

/* The record for a file of size bytes whose CheckSum field held checksum, given padding. */
void quorvel_sign_make_record(uint64_t size, uint32_t checksum, uint64_t padding,
                              unsigned char record[QUORVEL_SIGN_RECORD_BYTES]);

/* Where the signer writes: the CheckSum field, the security directory entry, and the table as
 * that entry states it. */
typedef struct quorvel_sign_positions {
    uint64_t checksum;
    uint64_t directory;
    uint64_t table_offset;
    uint64_t table_size; /* 0: no table */
} quorvel_sign_positions;

/* The positions of a PE image whose header declares the security directory:
 * QUORVEL_SIGN_OK, QUORVEL_SIGN_ERR_NOT_PE or QUORVEL_SIGN_ERR_NO_DIRECTORY_ENTRY. */
int quorvel_sign_read_positions(const unsigned char* image, size_t size,
                                quorvel_sign_positions* positions);

/* Whether the image carries a Quorvel payload as the verifier reads it: QUORVEL_SIGN_OK when it
 * does, QUORVEL_SIGN_ERR_NOT_SIGNED when it does not, else why its table cannot be read
 * (QUORVEL_SIGN_ERR_MALFORMED_TABLE, _NO_MEMORY or _NOT_PE). */
int quorvel_sign_find_payload(const unsigned char* image, size_t size);

static inline uint64_t quorvel_sign_align8(uint64_t value) {
    return (value + QUORVEL_CERT_ALIGNMENT - 1) & ~(uint64_t)(QUORVEL_CERT_ALIGNMENT - 1);
}

static inline void quorvel_sign_put_le16(unsigned char* bytes, uint32_t value) {
    bytes[0] = (unsigned char)(value & 0xFFU);
    bytes[1] = (unsigned char)((value >> 8) & 0xFFU);
}

static inline void quorvel_sign_put_le32(unsigned char* bytes, uint32_t value) {
    quorvel_sign_put_le16(bytes, value & 0xFFFFU);
    quorvel_sign_put_le16(bytes + 2, value >> 16);
}

/* The usual PE checksum of image[0, size) with the 4 bytes at checksum_offset taken as zero:
 * the 16-bit little-endian words summed with their carries folded back in (a final odd byte
 * counts as a word), plus the file size. */
uint32_t quorvel_sign_pe_checksum(const unsigned char* image, size_t size,
                                  uint64_t checksum_offset);

/*
 * The content of an Authenticode entry (a DER PKCS#7 SignedData message, possibly followed by
 * zero bytes) encoded again with the payload as an unauthenticated attribute of signer 0.
 * The message must come back unchanged from an encoding without the attribute, else
 * QUORVEL_SIGN_ERR_NOT_DER: the Authenticode signature would not survive. With payload null
 * only the size is found: the same as with any payload. On QUORVEL_SIGN_OK *encoded is a
 * block of *encoded_length bytes for quorvel_pkcs7_release.
 */
int quorvel_sign_authenticode_content(const unsigned char* content, size_t length,
                                      const unsigned char* payload, unsigned char** encoded,
                                      size_t* encoded_length);

/* dwLength of an Authenticode entry whose content becomes a message of encoded_length bytes,
 * in the way of the entry's dwLength until then: one that was a multiple of 8 (Authenticode
 * signers pad the content with zeros inside dwLength) stays one, others are not padded. */
size_t quorvel_sign_authenticode_entry_length(uint32_t length, size_t encoded_length);

/* The same content with every attribute of QUORVEL_PAYLOAD_OID taken out of signer 0 (and its
 * unauthenticated attribute list with them when nothing else is left in it), under the same
 * rule and with the same results as quorvel_sign_authenticode_content. */
int quorvel_sign_authenticode_without_payload(const unsigned char* content, size_t length,
                                              unsigned char** encoded, size_t* encoded_length);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_SIGNING_INTERNAL_H */
