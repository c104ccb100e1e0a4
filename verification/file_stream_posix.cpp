// Native paths: a regular file opened without waiting, read with fread, fseeko and ftello
// (64-bit positions).
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "regular_file_posix.h"
#include "verification/file_stream.h"

namespace {

std::size_t StreamRead(void* buffer, std::size_t size, std::size_t count, void* handle) {
    return std::fread(buffer, size, count, static_cast<std::FILE*>(handle));
}

int StreamSeek(void* handle, std::int64_t offset, int origin) {
    return fseeko(static_cast<std::FILE*>(handle), static_cast<off_t>(offset), origin);
}

std::int64_t StreamTell(void* handle) {
    return static_cast<std::int64_t>(ftello(static_cast<std::FILE*>(handle)));
}

int StreamClose(void* handle) { return std::fclose(static_cast<std::FILE*>(handle)); }

constexpr quorvel_io kFileStreamIo{StreamRead, StreamSeek, StreamTell, StreamClose};

}  // namespace

void* OpenFileStream(const std::u16string& path) {
    const int descriptor = OpenRegularFile(path);
    if (descriptor < 0) {
        return nullptr;
    }
    // The runtime serves a read of at least its buffer's size (the whole file, a piece of the
    // single pass) straight into the caller's buffer; only the smaller ones go through it.
    std::FILE* stream = fdopen(descriptor, "rb");
    if (stream == nullptr) {
        close(descriptor);
    }
    return stream;
}

const quorvel_io* FileStreamIo() { return &kFileStreamIo; }
