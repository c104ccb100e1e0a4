/*
 * The heap block that holds a whole file image. Large blocks start on a page boundary (2 MiB,
 * the huge page size): the kernel then copies file data into whole destination pages, which
 * made the read of a 512 MiB file about a quarter cheaper in processor time than a block from
 * plain malloc (whose large blocks start 16 bytes into a page). Builds with
 * QUORVEL_IMAGE_BLOCK_HUGE_PAGES also advise transparent huge pages for large blocks; on the
 * virtual machines measured so far that made the read slower, so it is off by default.
 * Internal to libquorvel.
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
