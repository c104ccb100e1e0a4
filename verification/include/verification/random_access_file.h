// The file seam of the single pass: a stream from OpenFileStream (the runtime library's
// buffered streams, as the whole-file calls read them) read at offsets, and the callback table
// through which quorvel_scan_file reads it. Measured as fast as the platform's positioned
// reads for the command line's front-to-back pass, natively and under Wine.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "quorvel/quorvel.h"

// Opens the file at path as OpenFileStream does: a pipe, socket, device or directory is refused
// before anything is read. read_at reads *cancelled (when given) before each piece and, once it
// is set, reads nothing, which ends the scan with QUORVEL_ERR_READ; otherwise it seeks (the
// runtime's 64-bit seek) only when the stream stands elsewhere, then reads with the stream read.
// size is the seek to the end and the tell. Null when the file cannot be opened. The handle is
// handed to the signature library, which closes it through RandomAccessFileIo()->close.
void* OpenRandomAccessFile(const std::u16string& path,
                           const std::atomic<std::uint8_t>* cancelled = nullptr);

const quorvel_random_io* RandomAccessFileIo();

// Test seam: while set, observer sees every piece that read_at took from a file, in the whole
// process: its offset and the bytes read. The product never sets it.
using FileReadObserver = void (*)(std::uint64_t offset, std::size_t bytes);
void ObserveFileReadsForTesting(FileReadObserver observer);
