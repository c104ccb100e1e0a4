/* Image blocks on Windows: the runtime's heap. */
#include <stdlib.h>

#include "image_block.h"

unsigned char* quorvel_image_block_allocate(size_t size) { return (unsigned char*)malloc(size); }

void quorvel_image_block_release(unsigned char* block) { free(block); }
