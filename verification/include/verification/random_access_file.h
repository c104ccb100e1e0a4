// The single pass's file seam: a file opened for reads at any offset, and the callback table
// through which the signature library scans it.
#pragma once

#include <string>

#include "quorvel/quorvel.h"

// Opens the regular file at path for reading, without waiting: a pipe, socket, device or
// directory is refused before anything is read. Null when it cannot be opened. The handle is
// handed to the signature library, which closes it through RandomAccessFileIo()->close.
void* OpenRandomAccessFile(const std::u16string& path);

// read_at, size and close on the platform's file API.
const quorvel_random_io* RandomAccessFileIo();
