/* Image blocks natively: large blocks start on a 2 MiB boundary and, when the build asks for
 * it (QUORVEL_IMAGE_BLOCK_HUGE_PAGES), are advised for transparent huge pages. */
#define _DEFAULT_SOURCE /* madvise, MADV_HUGEPAGE */
#include <stdlib.h>
#include <sys/mman.h>

#include "image_block.h"

unsigned char* quorvel_image_block_allocate(size_t size) {
    if (size < QUORVEL_IMAGE_BLOCK_LARGE_BYTES) {
        return (unsigned char*)malloc(size);
    }
    void* block = NULL;
    if (posix_memalign(&block, QUORVEL_IMAGE_BLOCK_ALIGNMENT, size) != 0) {
        return NULL;
    }
#if defined(QUORVEL_IMAGE_BLOCK_HUGE_PAGES) && defined(MADV_HUGEPAGE)
    /* Advice only: without transparent huge pages the block keeps small pages. Only the whole
     * 2 MiB pages inside the block are marked. */
    const size_t whole = size - size % QUORVEL_IMAGE_BLOCK_ALIGNMENT;
    if (whole > 0) {
        (void)madvise(block, whole, MADV_HUGEPAGE);
    }
#endif
    return (unsigned char*)block;
}

void quorvel_image_block_release(unsigned char* block) { free(block); }
