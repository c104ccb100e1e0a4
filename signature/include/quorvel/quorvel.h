/*
 * libquorvel: reads and verifies the Quorvel signature embedded in a PE file.
 *
 * The library never opens a file: the caller passes an opaque stream handle and a table of
 * stream callbacks, and the library reads the file through them: whole into memory, or in one
 * pass over a random-access stream. Results land in
 * caller-owned records of fixed layout, zeroed on entry. Every function returns QUORVEL_OK (0)
 * or one of the negative status codes below; nothing aborts, prints or keeps global state, and
 * calls on different threads may overlap.
 */
#ifndef QUORVEL_H
#define QUORVEL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) || defined(__clang__)
#define QUORVEL_WARN_UNUSED_RESULT __attribute__((warn_unused_result))
#else
#define QUORVEL_WARN_UNUSED_RESULT
#endif

/* Status codes. */
#define QUORVEL_OK 0
#define QUORVEL_ERR_INVALID_ARGUMENT (-1)  /* a required argument is missing; stream untouched */
#define QUORVEL_ERR_READ (-2)              /* stream cannot be sized, rewound or read whole */
#define QUORVEL_ERR_NOT_PE (-3)            /* headers do not lead to the security directory */
#define QUORVEL_ERR_NO_SIGNATURE (-4)      /* no certificate table, or no Quorvel payload in it */
#define QUORVEL_ERR_INVALID_PAYLOAD (-5)   /* malformed table, container or payload */
#define QUORVEL_ERR_SIGNATURE_INVALID (-6) /* the signature does not verify the image digest */
#define QUORVEL_ERR_KEY_MISMATCH (-7)      /* the signature verifies; the key id names another key */
#define QUORVEL_ERR_TABLE_TOO_LARGE (-8)   /* only with QUORVEL_SCAN_BOUNDED_TABLE, see there */

/* Sizes in bytes. */
#define QUORVEL_SIGNATURE_BYTES 64U
#define QUORVEL_KEY_ID_BYTES 32U
#define QUORVEL_PUBLIC_KEY_BYTES 32U
#define QUORVEL_DIGEST_BYTES 32U
#define QUORVEL_DOMAIN_BYTES 256U /* field size: at most 255 bytes of text, then a NUL */

/*
 * Stream callbacks, in the order and with the meaning of the standard stream functions.
 * read returns the number of elements read (the library always asks for elements of 1 byte),
 * 0 when nothing more can be read. seek returns 0 on success; the library uses origin 2 (end)
 * and 0 (start) with offset 0. tell returns the position, negative on failure. close may be
 * null; its result is ignored.
 */
typedef struct quorvel_io {
    size_t (*read)(void *buffer, size_t size, size_t count, void *handle);
    int (*seek)(void *handle, int64_t offset, int origin);
    int64_t (*tell)(void *handle);
    int (*close)(void *handle);
} quorvel_io;

/* What a file's payload says, unverified. */
typedef struct quorvel_signature_info {
    uint32_t has_signature; /* 1 on QUORVEL_OK */
    uint32_t payload_valid; /* 1 on QUORVEL_OK */
    unsigned char signature[QUORVEL_SIGNATURE_BYTES];
    unsigned char key_id[QUORVEL_KEY_ID_BYTES]; /* SHA-256 JWK thumbprint of the signing key */
    uint64_t domain_length;                     /* bytes of domain, excluding the NUL */
    char domain[QUORVEL_DOMAIN_BYTES];          /* UTF-8, NUL-terminated, zero after the NUL */
} quorvel_signature_info;

/* The outcome of checking a file against a public key. */
typedef struct quorvel_verify_result {
    uint32_t has_signature;  /* 1 on OK, SIGNATURE_INVALID and KEY_MISMATCH */
    uint32_t verified;       /* 1 on OK only */
    uint32_t key_id_matched; /* 1 on OK only */
    uint64_t domain_length;  /* set on OK only */
    unsigned char key_id[QUORVEL_KEY_ID_BYTES]; /* set on OK, SIGNATURE_INVALID, KEY_MISMATCH */
    char domain[QUORVEL_DOMAIN_BYTES];          /* set on OK only */
} quorvel_verify_result;

/*
 * Both calls consume the stream: close (when set) is called exactly once before they return,
 * except on QUORVEL_ERR_INVALID_ARGUMENT, where no callback is called and the caller still
 * owns the stream. The record pointer may be null; when given, it is zeroed first.
 */
QUORVEL_WARN_UNUSED_RESULT
int quorvel_read_signature_info(void *handle, const quorvel_io *io, quorvel_signature_info *info);

QUORVEL_WARN_UNUSED_RESULT
int quorvel_verify_file(void *handle, const quorvel_io *io,
                        const unsigned char public_key[QUORVEL_PUBLIC_KEY_BYTES],
                        quorvel_verify_result *result);

/*
 * One pass over a random-access stream, beside the two whole-file calls above, that reads each
 * byte of the file at most once: the first 4 KiB (or the whole file when it is shorter) in one
 * read, which serves the header walk and is hashed from memory; the certificate table into a
 * block of its own size; and the digest's other bytes front to back, in file order, through one
 * fixed buffer, so memory does not grow with the file. (A file whose headers lie beyond the
 * first 4 KiB has them read where they are, and a few of their bytes are read again for the
 * digest.) quorvel_check_scan then judges the kept scan against a public key. For the same
 * bytes the statuses and records are those of quorvel_read_signature_info and
 * quorvel_verify_file.
 *
 * read_at reads up to count bytes at offset into buffer and returns how many it read; 0 means
 * end of file or failure. size returns the stream's length in bytes, negative on failure.
 * close may be null; its result is ignored.
 */
typedef struct quorvel_random_io {
    size_t (*read_at)(void *handle, uint64_t offset, void *buffer, size_t count);
    int64_t (*size)(void *handle);
    int (*close)(void *handle);
} quorvel_random_io;

/* quorvel_scan_file flags. QUORVEL_SCAN_DIGEST: also compute the image digest, for
 * quorvel_check_scan. QUORVEL_SCAN_BOUNDED_TABLE: for a caller that must answer at once (a
 * user-interface thread), refuse with QUORVEL_ERR_TABLE_TOO_LARGE a certificate table larger than
 * QUORVEL_SCAN_TABLE_LIMIT_BYTES, before it is allocated or read, and one that holds more than
 * QUORVEL_SCAN_AUTHENTICODE_ENTRY_LIMIT Authenticode entries, before any is decoded: decoding
 * costs time with the table's size and with each entry (up to a few milliseconds for each,
 * however small, with Wine's crypt32). At the limits the costliest tables measured decode in about
 * 14 ms natively. Real Authenticode tables hold one or two entries of a few KiB to a few tens
 * of KiB; a caller falls back to a full scan for the larger ones. */
#define QUORVEL_SCAN_DIGEST 1U
#define QUORVEL_SCAN_BOUNDED_TABLE 2U
#define QUORVEL_SCAN_TABLE_LIMIT_BYTES 65536U
#define QUORVEL_SCAN_AUTHENTICODE_ENTRY_LIMIT 2U

/* What one pass over a file found. */
typedef struct quorvel_file_scan {
    quorvel_signature_info info; /* as quorvel_read_signature_info fills it */
    int32_t status;              /* what quorvel_scan_file returned */
    uint32_t has_digest;         /* 1 when the digest was asked for and computed */
    unsigned char digest[QUORVEL_DIGEST_BYTES];
} quorvel_file_scan;

/*
 * Consumes the stream as the whole-file calls do: close (when set) is called exactly once,
 * after the last read, except on QUORVEL_ERR_INVALID_ARGUMENT (a missing handle, io, read_at
 * or size, or an unknown flag), where no callback is called. scan may be null; when given it
 * is zeroed first, and on failure holds nothing but the status. The digest is computed only
 * for a file whose payload was found. A stream that delivers fewer bytes than its size gives
 * QUORVEL_ERR_READ, and so does a read_at that stops delivering (a caller cancels a scan that
 * way); memory ends as QUORVEL_ERR_READ too.
 */
QUORVEL_WARN_UNUSED_RESULT
int quorvel_scan_file(void *handle, const quorvel_random_io *io, unsigned flags,
                      quorvel_file_scan *scan);

/*
 * What quorvel_verify_file returns for the scanned bytes, with the same record: the scan's own
 * status when it failed, QUORVEL_ERR_INVALID_ARGUMENT when scan or public_key is missing or
 * the scan holds no digest. result may be null; when given it is zeroed first.
 */
QUORVEL_WARN_UNUSED_RESULT
int quorvel_check_scan(const quorvel_file_scan *scan,
                       const unsigned char public_key[QUORVEL_PUBLIC_KEY_BYTES],
                       quorvel_verify_result *result);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_H */
