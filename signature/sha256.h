/*
 * SHA-256 of the image digest: a one-shot hash over a few byte ranges, taken in order as if
 * they were one message. Natively OpenSSL's EVP interface, on Windows the system's CNG; both
 * use the processor's SHA instructions where it has them. libsodium's portable SHA-256 computes
 * the same function and takes over when the platform's provider fails, so the digest never
 * fails for want of a hash provider. Internal to libquorvel; the tests include it.
 */
#ifndef QUORVEL_SHA256_H
#define QUORVEL_SHA256_H

#include <sodium.h>
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

/* A SHA-256 fed piece by piece, for a message that is never whole in memory: the platform's
 * provider when it can start, libsodium's state when it cannot. */
typedef struct quorvel_sha256 {
    void* platform; /* the provider's hash object; null: portable serves */
    int platform_failed;
    crypto_hash_sha256_state portable;
} quorvel_sha256;

/* portable_only: use libsodium even when the provider is there. */
void quorvel_sha256_begin(quorvel_sha256* hash, int portable_only);
void quorvel_sha256_update(quorvel_sha256* hash, const unsigned char* bytes, size_t length);
/* 1 with the digest written; 0 when the provider failed on the way (digest undefined: the
 * message is to be hashed again with portable_only). Releases the provider's object. */
int quorvel_sha256_finish(quorvel_sha256* hash, unsigned char digest[QUORVEL_SHA256_BYTES]);

/* The provider's primitives (sha256_openssl.c, sha256_windows.c): begin gives null when the
 * provider cannot start; update and finish give 0 on failure; finish always releases. */
void* quorvel_sha256_platform_begin(void);
int quorvel_sha256_platform_update(void* platform, const unsigned char* bytes, size_t length);
int quorvel_sha256_platform_finish(void* platform, unsigned char digest[QUORVEL_SHA256_BYTES]);

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
