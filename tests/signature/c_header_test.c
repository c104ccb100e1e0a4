/* The public header used from plain C: the types, the codes and both calls. */
#include <stdio.h>
#include <string.h>

#include "quorvel/quorvel.h"

typedef struct memory_stream {
    const unsigned char* bytes;
    size_t size;
    size_t position;
    int calls;
    int closes;
} memory_stream;

static size_t stream_read(void* buffer, size_t size, size_t count, void* handle) {
    memory_stream* s = (memory_stream*)handle;
    size_t n = size * count;
    s->calls++;
    if (n > s->size - s->position) {
        n = s->size - s->position;
    }
    memcpy(buffer, s->bytes + s->position, n);
    s->position += n;
    return n;
}

static int stream_seek(void* handle, int64_t offset, int origin) {
    memory_stream* s = (memory_stream*)handle;
    s->calls++;
    s->position = origin == 2 ? s->size : (size_t)offset;
    return 0;
}

static int64_t stream_tell(void* handle) {
    memory_stream* s = (memory_stream*)handle;
    s->calls++;
    return (int64_t)s->position;
}

static int stream_close(void* handle) {
    memory_stream* s = (memory_stream*)handle;
    s->closes++;
    return 0;
}

static int failures = 0;

static void check(int condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "FAILED: %s\n", what);
        failures++;
    }
}

int main(void) {
    unsigned char bytes[200];
    memset(bytes, 0, sizeof bytes);
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[60] = 0xF0; /* e_lfanew beyond the file */

    quorvel_io io = {stream_read, stream_seek, stream_tell, stream_close};
    memory_stream stream = {bytes, sizeof bytes, 0, 0, 0};
    quorvel_signature_info info;
    quorvel_verify_result result;
    unsigned char key[QUORVEL_PUBLIC_KEY_BYTES];
    size_t i;
    int zero = 1;
    memset(key, 1, sizeof key);

    memset(&info, 0xAA, sizeof info);
    check(quorvel_read_signature_info(&stream, &io, &info) == QUORVEL_ERR_NOT_PE,
          "short MZ file is not PE");
    check(stream.closes == 1, "close called once");
    for (i = 0; i < sizeof info; ++i) {
        zero = zero && ((const unsigned char*)&info)[i] == 0;
    }
    check(zero, "info record zeroed");

    io.tell = NULL;
    stream.calls = 0;
    stream.closes = 0;
    memset(&result, 0xAA, sizeof result);
    check(quorvel_verify_file(&stream, &io, key, &result) == QUORVEL_ERR_INVALID_ARGUMENT,
          "missing tell is an invalid argument");
    check(stream.calls == 0 && stream.closes == 0, "no callback on an invalid argument");
    check(result.has_signature == 0 && result.verified == 0 && result.domain[0] == 0,
          "result record zeroed");

    io.tell = stream_tell;
    stream.position = 0;
    check(quorvel_verify_file(&stream, &io, NULL, NULL) == QUORVEL_ERR_INVALID_ARGUMENT,
          "missing public key is an invalid argument");
    check(QUORVEL_ERR_KEY_MISMATCH == -7 && QUORVEL_OK == 0, "status codes");
    check(sizeof info.domain == 256 && sizeof info.signature == 64, "record field sizes");

    if (failures == 0) {
        puts("C header test passed");
    }
    return failures == 0 ? 0 : 1;
}
