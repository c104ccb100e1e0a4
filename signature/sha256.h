/*
 * SHA-256 of the image digest: a one-shot hash over a few byte ranges, taken in order as if
 * they were one message. Natively OpenSSL's EVP interface, on Windows the system's CNG; both
 * use the processor's SHA instructions where it has them. libsodium's portable SHA-256 computes
 * the same function and takes over when the platform's provider fails, so the digest never
 * fails for want of a hash provider. Internal to libquorvel; the tests include it.
 */
#ifndef QUORVEL_SHA256_H
#define QUORVEL_SHA256_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QUORVEL_SHA256_BYTES 32U
#define QUORVEL_SHA256_MAX_RANGES 4U /* the image digest hashes at most four ranges */

typedef struct quorvel_byte_range {
    const unsigned char* bytes; /* may be null only when length is 0 */
    size_t length;              /* number of bytes; 0 contributes nothing */
} quorvel_byte_range;

/* SHA-256 of the concatenation of ranges[0, count), count at most QUORVEL_SHA256_MAX_RANGES.
 * Uses the platform's provider and, when any of its steps fails, libsodium instead. */
void quorvel_sha256_ranges(const quorvel_byte_range* ranges, size_t count,
                           unsigned char digest[QUORVEL_SHA256_BYTES]);

/* The platform's provider alone: 1 with the digest written, 0 when the provider failed
 * (digest then undefined). */
int quorvel_sha256_ranges_platform(const quorvel_byte_range* ranges, size_t count,
                                   unsigned char digest[QUORVEL_SHA256_BYTES]);

/* libsodium's SHA-256 over the same ranges; cannot fail. */
void quorvel_sha256_ranges_portable(const quorvel_byte_range* ranges, size_t count,
                                    unsigned char digest[QUORVEL_SHA256_BYTES]);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_SHA256_H */
