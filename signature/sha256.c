/* The digest's SHA-256: the platform's provider, libsodium when the provider fails. */
#include "sha256.h"

#include <sodium.h>

void quorvel_sha256_ranges_portable(const quorvel_byte_range* ranges, size_t count,
                                    unsigned char digest[QUORVEL_SHA256_BYTES]) {
    crypto_hash_sha256_state state;
    (void)crypto_hash_sha256_init(&state);
    for (size_t i = 0; i < count; ++i) {
        if (ranges[i].length > 0) {
            (void)crypto_hash_sha256_update(&state, ranges[i].bytes,
                                            (unsigned long long)ranges[i].length);
        }
    }
    (void)crypto_hash_sha256_final(&state, digest);
    sodium_memzero(&state, sizeof state);
}

void quorvel_sha256_ranges(const quorvel_byte_range* ranges, size_t count,
                           unsigned char digest[QUORVEL_SHA256_BYTES]) {
    if (!quorvel_sha256_ranges_platform(ranges, count, digest)) {
        quorvel_sha256_ranges_portable(ranges, count, digest);
    }
}
