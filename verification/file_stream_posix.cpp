// Native paths: the UTF-16 path is converted to UTF-8 for open, and the stream is read with
// fread, fseeko and ftello (64-bit positions).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "common/text_conversion.h"
#include "verification/file_stream.h"

namespace {

// False for a path that no file can have: an unpaired surrogate or an embedded NUL.
bool ToNativePath(const std::u16string& path, std::string& native) {
    if (path.find(u'\0') != std::u16string::npos) {
        return false;
    }
    bool lossless = false;
    native = WideToUtf8(path, &lossless);
    return lossless;
}

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
    std::string native;
    if (!ToNativePath(path, native)) {
        return nullptr;
    }
    // Opening a named pipe for reading waits for a writer, and a device may wait for input:
    // the open does not wait, and only a regular file is read at all. Directories, pipes,
    // sockets and devices are refused before their first byte (on a regular file O_NONBLOCK
    // changes nothing).
    const int descriptor = open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return nullptr;
    }
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(descriptor);
        return nullptr;
    }
    // The library asks for the whole file in one read, which the runtime serves straight into
    // the caller's buffer; the stream's own buffer size therefore does not matter.
    std::FILE* stream = fdopen(descriptor, "rb");
    if (stream == nullptr) {
        close(descriptor);
    }
    return stream;
}

const quorvel_io* FileStreamIo() { return &kFileStreamIo; }
