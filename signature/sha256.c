/* The digest's SHA-256: the platform's provider, libsodium when the provider fails. */
#include "sha256.h"

#include <sodium.h>

void quorvel_sha256_begin(quorvel_sha256* hash, int portable_only) {
    hash->platform = portable_only ? NULL : quorvel_sha256_platform_begin();
    hash->platform_failed = 0;
    if (hash->platform == NULL) {
        (void)crypto_hash_sha256_init(&hash->portable);
    }
}

void quorvel_sha256_update(quorvel_sha256* hash, const unsigned char* bytes, size_t length) {
    if (length == 0) {
        return;
    }
    if (hash->platform == NULL) {
        (void)crypto_hash_sha256_update(&hash->portable, bytes, (unsigned long long)length);
    } else if (!hash->platform_failed) {
        hash->platform_failed = !quorvel_sha256_platform_update(hash->platform, bytes, length);
    }
}

int quorvel_sha256_finish(quorvel_sha256* hash, unsigned char digest[QUORVEL_SHA256_BYTES]) {
    if (hash->platform == NULL) {
        (void)crypto_hash_sha256_final(&hash->portable, digest);
        sodium_memzero(&hash->portable, sizeof hash->portable);
        return 1;
    }
    const int finished = quorvel_sha256_platform_finish(hash->platform, digest);
    hash->platform = NULL;
    return finished && !hash->platform_failed;
}

static int ranges_with(const quorvel_byte_range* ranges, size_t count, int portable_only,
                       unsigned char digest[QUORVEL_SHA256_BYTES]) {
    quorvel_sha256 hash;
    quorvel_sha256_begin(&hash, portable_only);
    if (!portable_only && hash.platform == NULL) {
        return 0; /* the provider alone was asked for */
    }
    for (size_t i = 0; i < count; ++i) {
        quorvel_sha256_update(&hash, ranges[i].bytes, ranges[i].length);
    }
    return quorvel_sha256_finish(&hash, digest);
}

int quorvel_sha256_ranges_platform(const quorvel_byte_range* ranges, size_t count,
                                   unsigned char digest[QUORVEL_SHA256_BYTES]) {
    return ranges_with(ranges, count, 0, digest);
}

void quorvel_sha256_ranges_portable(const quorvel_byte_range* ranges, size_t count,
                                    unsigned char digest[QUORVEL_SHA256_BYTES]) {
    (void)ranges_with(ranges, count, 1, digest);
}

void quorvel_sha256_ranges(const quorvel_byte_range* ranges, size_t count,
                           unsigned char digest[QUORVEL_SHA256_BYTES]) {
    if (!quorvel_sha256_ranges_platform(ranges, count, digest)) {
        quorvel_sha256_ranges_portable(ranges, count, digest);
    }
}
