/* The whole-file read through the caller's stream callbacks. */
#include <stdint.h>

#include "image_block.h"
#include "quorvel_internal.h"

#define QUORVEL_SEEK_SET 0
#define QUORVEL_SEEK_END 2

static int read_into(void* handle, const quorvel_io* io, unsigned char** image, size_t* size) {
    if (io->seek(handle, 0, QUORVEL_SEEK_END) != 0) {
        return QUORVEL_ERR_READ;
    }
    const int64_t length = io->tell(handle);
    if (length < 0) {
        return QUORVEL_ERR_READ;
    }
    if (io->seek(handle, 0, QUORVEL_SEEK_SET) != 0) {
        return QUORVEL_ERR_READ;
    }
    if (length == 0) {
        return QUORVEL_OK; /* an empty image, no buffer */
    }
    if ((uint64_t)length > (uint64_t)SIZE_MAX) {
        return QUORVEL_ERR_READ; /* cannot be held in memory on this platform */
    }
    const size_t total = (size_t)length;
    unsigned char* buffer = quorvel_image_block_allocate(total);
    if (buffer == NULL) {
        return QUORVEL_ERR_READ;
    }
    size_t got = 0;
    while (got < total) {
        const size_t missing = total - got;
        const size_t n = io->read(buffer + got, 1, missing, handle);
        /* Nothing more to read before the end, or a count beyond what was asked (a broken
         * stream): the file cannot be read whole. A short read only loops. */
        if (n == 0 || n > missing) {
            quorvel_image_block_release(buffer);
            return QUORVEL_ERR_READ;
        }
        got += n;
    }
    *image = buffer;
    *size = total;
    return QUORVEL_OK;
}

int quorvel_read_whole_stream(void* handle, const quorvel_io* io, unsigned char** image,
                              size_t* size) {
    *image = NULL;
    *size = 0;
    const int status = read_into(handle, io, image, size);
    if (io->close != NULL) {
        (void)io->close(handle);
    }
    return status;
}
