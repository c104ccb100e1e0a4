/*
 * The heap block that holds a whole file image. Large blocks are allocated so that the
 * system can back them with huge pages where it has them: one page fault then maps 2 MiB
 * instead of 4 KiB, which matters when the whole file is read into a fresh block. Internal to
 * libquorvel.
 */
#ifndef QUORVEL_IMAGE_BLOCK_H
#define QUORVEL_IMAGE_BLOCK_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* From this size on a block is aligned for huge pages; smaller ones come from malloc. */
#define QUORVEL_IMAGE_BLOCK_LARGE_BYTES ((size_t)4 << 20)
#define QUORVEL_IMAGE_BLOCK_ALIGNMENT ((size_t)2 << 20)

/* A block of size bytes (size > 0), or null when it cannot be had. */
unsigned char* quorvel_image_block_allocate(size_t size);

/* Releases a block from quorvel_image_block_allocate; null is ignored. */
void quorvel_image_block_release(unsigned char* block);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_IMAGE_BLOCK_H */
