/* One pass over a random-access stream that reads each byte of the file at most once: a head
 * block serves the header walk and is hashed from memory, the certificate table is read into a
 * block of its own, and the digest's other bytes pass front to back through one fixed buffer. */
#include <stdlib.h>
#include <string.h>

#include "quorvel_internal.h"
#include "sha256.h"

/* The first bytes of the file, read in one piece: they hold the headers of every usual PE
 * (e_lfanew is a few hundred at most), so the walk reads nothing else. */
#define QUORVEL_SCAN_HEAD_BYTES 4096U

/* The fixed buffer of the digest pass: large enough that the hash, not the reads, sets the
 * pace, small enough that memory does not depend on the file. */
#define QUORVEL_SCAN_CHUNK_BYTES ((size_t)1 << 18)

typedef struct scan_stream {
    void* handle;
    const quorvel_random_io* io;
    uint64_t size;
    size_t head_length; /* the file's size, or QUORVEL_SCAN_HEAD_BYTES when it is longer */
    unsigned char head[QUORVEL_SCAN_HEAD_BYTES];
} scan_stream;

/* Reads exactly count bytes at offset from the stream; a short read asks again for the rest. */
static int read_exactly(const scan_stream* stream, uint64_t offset, unsigned char* bytes,
                        size_t count) {
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

/* count bytes at offset: the part that lies in the head block is copied from it, the rest is
 * read. The head is a prefix of the file, so whatever it holds of a range is the range's start. */
static int fetch_bytes(void* source, uint64_t offset, unsigned char* bytes, size_t count) {
    const scan_stream* stream = (const scan_stream*)source;
    size_t copied = 0;
    if (offset < stream->head_length) {
        const size_t held = stream->head_length - (size_t)offset;
        copied = count < held ? count : held;
        memcpy(bytes, stream->head + offset, copied);
    }
    return read_exactly(stream, offset + copied, bytes + copied, count - copied);
}

/* Whether the entries of the table ahead of the first malformed one (which ends the walk)
 * include more Authenticode entries than the bounded scan decodes: each costs a call of the
 * PKCS#7 decoder, whatever its size. */
static int too_many_signatures(const unsigned char* table, uint64_t size) {
    unsigned count = 0;
    uint64_t at = 0;
    while (size - at >= 8 && count <= QUORVEL_SCAN_AUTHENTICODE_ENTRY_LIMIT) {
        const uint64_t length = quorvel_le32(table + at);
        if (length < 8 || length > size - at) {
            break;
        }
        if (quorvel_le16(table + at + 4) == QUORVEL_AUTHENTICODE_REVISION &&
            quorvel_le16(table + at + 6) == QUORVEL_AUTHENTICODE_TYPE) {
            ++count;
        }
        /* The table's size is a multiple of 8, so the rounded length fits too. */
        at += (length + QUORVEL_CERT_ALIGNMENT - 1) & ~(uint64_t)(QUORVEL_CERT_ALIGNMENT - 1);
    }
    return count > QUORVEL_SCAN_AUTHENTICODE_ENTRY_LIMIT;
}

/* The payload of the stream's certificate table, read into a block of the table's size (at
 * most 4 GiB - 1: the size is a 32-bit field; with QUORVEL_SCAN_BOUNDED_TABLE at most
 * QUORVEL_SCAN_TABLE_LIMIT_BYTES, checked before anything is allocated or read). Headers that
 * lie beyond the head block (e_lfanew far out) are read where they are, and those of their
 * bytes that the digest covers (the "PE" signature, the optional header's magic) are read again
 * by the digest pass: the one case of a byte read twice, a few bytes of a rare file. */
static int find_payload(scan_stream* stream, unsigned flags, quorvel_pe_layout* layout,
                        quorvel_payload* payload) {
    int status = quorvel_walk_pe_headers(fetch_bytes, stream, stream->size, layout);
    if (status == QUORVEL_OK) {
        status = quorvel_certificate_table_placement(layout->table_offset, layout->table_size);
    }
    if (status != QUORVEL_OK) {
        return status;
    }
    if ((flags & QUORVEL_SCAN_BOUNDED_TABLE) != 0 &&
        layout->table_size > QUORVEL_SCAN_TABLE_LIMIT_BYTES) {
        return QUORVEL_ERR_TABLE_TOO_LARGE;
    }
    unsigned char* table = (unsigned char*)malloc((size_t)layout->table_size);
    if (table == NULL) {
        return QUORVEL_ERR_READ;
    }
    if (!fetch_bytes(stream, layout->table_offset, table, (size_t)layout->table_size)) {
        status = QUORVEL_ERR_READ;
    } else if ((flags & QUORVEL_SCAN_BOUNDED_TABLE) != 0 &&
               too_many_signatures(table, layout->table_size)) {
        status = QUORVEL_ERR_TABLE_TOO_LARGE;
    } else {
        status = quorvel_walk_certificate_table(table, layout->table_size, payload);
    }
    free(table);
    return status;
}

/* Hashes the digest's ranges: what lies in the head block from memory, the rest read through
 * buffer. 0 for a read failure, -1 when the platform's hash failed on the way: the pass is then
 * made again with portable_only, which reads the bytes beyond the head a second time. */
static int hash_ranges(const scan_stream* stream, const quorvel_file_range* ranges, size_t count,
                       unsigned char* buffer, int portable_only,
                       unsigned char digest[QUORVEL_DIGEST_BYTES]) {
    quorvel_sha256 hash;
    quorvel_sha256_begin(&hash, portable_only);
    int read_ok = 1;
    for (size_t i = 0; read_ok && i < count; ++i) {
        uint64_t at = ranges[i].begin;
        if (at < stream->head_length) {
            const uint64_t held_end =
                ranges[i].end < stream->head_length ? ranges[i].end : stream->head_length;
            quorvel_sha256_update(&hash, stream->head + at, (size_t)(held_end - at));
            at = held_end;
        }
        while (read_ok && at < ranges[i].end) {
            const uint64_t left = ranges[i].end - at;
            const size_t piece =
                left < QUORVEL_SCAN_CHUNK_BYTES ? (size_t)left : QUORVEL_SCAN_CHUNK_BYTES;
            read_ok = read_exactly(stream, at, buffer, piece);
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

static int compute_digest(const scan_stream* stream, const quorvel_pe_layout* layout,
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

static int scan(scan_stream* stream, unsigned flags, quorvel_file_scan* result) {
    const int64_t size = stream->io->size(stream->handle);
    if (size < 0) {
        return QUORVEL_ERR_READ;
    }
    stream->size = (uint64_t)size;
    stream->head_length =
        stream->size < QUORVEL_SCAN_HEAD_BYTES ? (size_t)stream->size : QUORVEL_SCAN_HEAD_BYTES;
    if (!read_exactly(stream, 0, stream->head, stream->head_length)) {
        return QUORVEL_ERR_READ;
    }
    quorvel_pe_layout layout;
    quorvel_payload payload;
    const int status = find_payload(stream, flags, &layout, &payload);
    if (status != QUORVEL_OK) {
        return status;
    }
    if ((flags & QUORVEL_SCAN_DIGEST) != 0) {
        const int digested = compute_digest(stream, &layout, result->digest);
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
        (flags & ~(QUORVEL_SCAN_DIGEST | QUORVEL_SCAN_BOUNDED_TABLE)) != 0) {
        record->status = QUORVEL_ERR_INVALID_ARGUMENT;
        return QUORVEL_ERR_INVALID_ARGUMENT;
    }
    scan_stream stream;
    stream.handle = handle;
    stream.io = io;
    const int status = scan(&stream, flags, record);
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
