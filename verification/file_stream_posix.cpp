// Native paths: the UTF-16 path is converted to UTF-8 for fopen, and the stream is read with
// fread, fseeko and ftello (64-bit positions).
#include <sys/stat.h>
#include <sys/types.h>

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
    // The library asks for the whole file in one read, which the runtime serves straight into
    // the caller's buffer; the stream's own buffer size therefore does not matter.
    std::FILE* stream = std::fopen(native.c_str(), "rb");
    if (stream == nullptr) {
        return nullptr;
    }
    // A directory opens here but not on Windows; its "size" would be whatever the file system
    // reports for seeking to its end. It is not a file to read.
    struct stat status {};
    if (fstat(fileno(stream), &status) != 0 || S_ISDIR(status.st_mode)) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}

const quorvel_io* FileStreamIo() { return &kFileStreamIo; }
