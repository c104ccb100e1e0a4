/* One pass over a random-access stream: the headers and the certificate table are read on
 * their own, the digest's ranges in file order through one fixed buffer. */
#include <stdlib.h>
#include <string.h>

#include "quorvel_internal.h"
#include "sha256.h"

/* The fixed buffer of the digest pass: large enough that the hash, not the reads, sets the
 * pace, small enough that memory does not depend on the file. */
#define QUORVEL_SCAN_CHUNK_BYTES ((size_t)1 << 18)

typedef struct scan_stream {
    void* handle;
    const quorvel_random_io* io;
    uint64_t size;
} scan_stream;

/* Reads exactly count bytes at offset; a short read asks again for the rest. */
static int fetch_from_stream(void* source, uint64_t offset, unsigned char* bytes, size_t count) {
    const scan_stream* stream = (const scan_stream*)source;
    if (offset > stream->size || count > stream->size - offset) {
        return 0;
    }
    size_t got = 0;
    while (got < count) {
        const size_t missing = count - got;
        const size_t n = stream->io->read_at(stream->handle, offset + got, bytes + got, missing);
        if (n == 0 || n > missing) {
            return 0;
        }
        got += n;
    }
    return 1;
}

/* The payload of the stream's certificate table, read into a block of the table's size (at
 * most 4 GiB - 1: the size is a 32-bit field). */
static int find_payload(scan_stream* stream, quorvel_pe_layout* layout, quorvel_payload* payload) {
    int status = quorvel_walk_pe_headers(fetch_from_stream, stream, stream->size, layout);
    if (status == QUORVEL_OK) {
        status = quorvel_certificate_table_placement(layout->table_offset, layout->table_size);
    }
    if (status != QUORVEL_OK) {
        return status;
    }
    unsigned char* table = (unsigned char*)malloc((size_t)layout->table_size);
    if (table == NULL) {
        return QUORVEL_ERR_READ;
    }
    status = fetch_from_stream(stream, layout->table_offset, table, (size_t)layout->table_size)
                 ? quorvel_walk_certificate_table(table, layout->table_size, payload)
                 : QUORVEL_ERR_READ;
    free(table);
    return status;
}

/* Hashes the digest's ranges through buffer; 0 for a read failure, -1 when the platform's hash
 * failed on the way (the pass is then made again with portable_only). */
static int hash_ranges(scan_stream* stream, const quorvel_file_range* ranges, size_t count,
                       unsigned char* buffer, int portable_only,
                       unsigned char digest[QUORVEL_DIGEST_BYTES]) {
    quorvel_sha256 hash;
    quorvel_sha256_begin(&hash, portable_only);
    int read_ok = 1;
    for (size_t i = 0; read_ok && i < count; ++i) {
        for (uint64_t at = ranges[i].begin; read_ok && at < ranges[i].end;) {
            const uint64_t left = ranges[i].end - at;
            const size_t piece =
                left < QUORVEL_SCAN_CHUNK_BYTES ? (size_t)left : QUORVEL_SCAN_CHUNK_BYTES;
            read_ok = fetch_from_stream(stream, at, buffer, piece);
            if (read_ok) {
                quorvel_sha256_update(&hash, buffer, piece);
                at += piece;
            }
        }
    }
    const int hashed = quorvel_sha256_finish(&hash, digest);
    if (!read_ok) {
        return 0;
    }
    return hashed ? 1 : -1;
}

static int compute_digest(scan_stream* stream, const quorvel_pe_layout* layout,
                          unsigned char digest[QUORVEL_DIGEST_BYTES]) {
    quorvel_file_range ranges[QUORVEL_DIGEST_MAX_RANGES];
    const size_t count = quorvel_digest_ranges(layout, stream->size, ranges);
    unsigned char* buffer = (unsigned char*)malloc(QUORVEL_SCAN_CHUNK_BYTES);
    if (buffer == NULL) {
        return QUORVEL_ERR_READ;
    }
    int hashed = hash_ranges(stream, ranges, count, buffer, 0, digest);
    if (hashed < 0) {
        hashed = hash_ranges(stream, ranges, count, buffer, 1, digest);
    }
    free(buffer);
    return hashed == 1 ? QUORVEL_OK : QUORVEL_ERR_READ;
}

static int scan(void* handle, const quorvel_random_io* io, unsigned flags,
                quorvel_file_scan* result) {
    const int64_t size = io->size(handle);
    if (size < 0) {
        return QUORVEL_ERR_READ;
    }
    scan_stream stream = {handle, io, (uint64_t)size};
    quorvel_pe_layout layout;
    quorvel_payload payload;
    const int status = find_payload(&stream, &layout, &payload);
    if (status != QUORVEL_OK) {
        return status;
    }
    if ((flags & QUORVEL_SCAN_DIGEST) != 0) {
        const int digested = compute_digest(&stream, &layout, result->digest);
        if (digested != QUORVEL_OK) {
            return digested;
        }
        result->has_digest = 1;
    }
    quorvel_info_from_payload(&payload, &result->info);
    return QUORVEL_OK;
}

int quorvel_scan_file(void* handle, const quorvel_random_io* io, unsigned flags,
                      quorvel_file_scan* result) {
    quorvel_file_scan local;
    quorvel_file_scan* record = result != NULL ? result : &local;
    memset(record, 0, sizeof *record);
    if (handle == NULL || io == NULL || io->read_at == NULL || io->size == NULL ||
        (flags & ~QUORVEL_SCAN_DIGEST) != 0) {
        record->status = QUORVEL_ERR_INVALID_ARGUMENT;
        return QUORVEL_ERR_INVALID_ARGUMENT;
    }
    const int status = scan(handle, io, flags, record);
    if (io->close != NULL) {
        (void)io->close(handle);
    }
    if (status != QUORVEL_OK) {
        memset(record, 0, sizeof *record); /* a failure leaves no partial payload */
    }
    record->status = status;
    return status;
}

int quorvel_check_scan(const quorvel_file_scan* scan,
                       const unsigned char public_key[QUORVEL_PUBLIC_KEY_BYTES],
                       quorvel_verify_result* result) {
    if (result != NULL) {
        memset(result, 0, sizeof *result);
    }
    if (scan == NULL || public_key == NULL) {
        return QUORVEL_ERR_INVALID_ARGUMENT;
    }
    if (scan->status != QUORVEL_OK) {
        return scan->status;
    }
    if (!scan->has_digest) {
        return QUORVEL_ERR_INVALID_ARGUMENT;
    }
    return quorvel_judge_payload(&scan->info, scan->digest, public_key, result);
}
