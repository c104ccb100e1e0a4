/*
 * Internal interface of libquorvel-sign: the PE checksum, the header positions the signer
 * writes, and the Authenticode re-encoding. Not installed; the test suites include it.
 */
#ifndef QUORVEL_SIGNING_INTERNAL_H
#define QUORVEL_SIGNING_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Header fields that only the signer needs (offsets from e and from the optional header). */
#define QUORVEL_SIGN_SIZE_OF_OPTIONAL_HEADER_OFFSET 20U /* from e: 2 bytes */
#define QUORVEL_SIGN_PE32_RVA_COUNT_OFFSET 92U          /* NumberOfRvaAndSizes, 4 bytes */
#define QUORVEL_SIGN_PE32PLUS_RVA_COUNT_OFFSET 108U
#define QUORVEL_SIGN_SECURITY_DIRECTORY_INDEX 4U

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

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_SIGNING_INTERNAL_H */
