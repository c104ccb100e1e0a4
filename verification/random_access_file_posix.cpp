// Native random access: a regular file opened without waiting, fstat for the size, pread for
// the bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <limits>
#include <new>

#include "regular_file_posix.h"
#include "verification/random_access_file.h"

namespace {

// One reference per open file: the descriptor lives in the handle's own block.
struct PosixFile {
    int descriptor;
};

std::size_t ReadAt(void* handle, std::uint64_t offset, void* buffer, std::size_t count) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return 0;
    }
    const std::size_t asked =
        count < static_cast<std::size_t>(SSIZE_MAX) ? count : static_cast<std::size_t>(SSIZE_MAX);
    for (;;) {
        const ssize_t n = pread(static_cast<PosixFile*>(handle)->descriptor, buffer, asked,
                                static_cast<off_t>(offset));
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR) {
            return 0;
        }
    }
}

std::int64_t Size(void* handle) {
    struct stat status {};
    if (fstat(static_cast<PosixFile*>(handle)->descriptor, &status) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(status.st_size);
}

int Close(void* handle) {
    auto* file = static_cast<PosixFile*>(handle);
    const int result = close(file->descriptor);
    delete file;
    return result;
}

constexpr quorvel_random_io kRandomAccessFileIo{ReadAt, Size, Close};

}  // namespace

void* OpenRandomAccessFile(const std::u16string& path) {
    const int descriptor = OpenRegularFile(path);
    if (descriptor < 0) {
        return nullptr;
    }
    auto* file = new (std::nothrow) PosixFile{descriptor};
    if (file == nullptr) {
        close(descriptor);
        return nullptr;
    }
    // The digest reads the file front to back: let the kernel read ahead generously.
    (void)posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    return file;
}

const quorvel_random_io* RandomAccessFileIo() { return &kRandomAccessFileIo; }
