// The file seam: a buffered runtime-library stream opened for reading, and the callback table
// through which the signature library reads it.
#pragma once

#include <string>

#include "quorvel/quorvel.h"

// Opens the file at path with mode "rb". Null when the file cannot be opened. The stream is
// handed to the signature library, which closes it through FileStreamIo()->close.
void* OpenFileStream(const std::u16string& path);

// read, seek, tell and close forwarding to the runtime library's stream functions.
const quorvel_io* FileStreamIo();
