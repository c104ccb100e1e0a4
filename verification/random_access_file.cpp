#include "verification/random_access_file.h"

#include <limits>
#include <new>

#include "verification/file_stream.h"

namespace {

constexpr int kSeekSet = 0;
constexpr int kSeekEnd = 2;

std::atomic<FileReadObserver> g_observer{nullptr};

struct RandomAccessFile {
    void* stream;
    std::int64_t position;  // where the stream stands; negative: not known
    const std::atomic<std::uint8_t>* cancelled;
};

std::size_t ReadAt(void* handle, std::uint64_t offset, void* buffer, std::size_t count) {
    auto* file = static_cast<RandomAccessFile*>(handle);
    if ((file->cancelled != nullptr && file->cancelled->load() != 0) ||
        offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return 0;
    }
    const auto at = static_cast<std::int64_t>(offset);
    if (file->position != at) {
        // A seek drops the stream's buffer: the pass reads front to back and seeks only to the
        // certificate table and back, or to headers beyond the first block.
        if (FileStreamIo()->seek(file->stream, at, kSeekSet) != 0) {
            file->position = -1;
            return 0;
        }
        file->position = at;
    }
    const std::size_t n = FileStreamIo()->read(buffer, 1, count, file->stream);
    file->position += static_cast<std::int64_t>(n);
    if (const FileReadObserver observer = g_observer.load(); observer != nullptr) {
        observer(offset, n);
    }
    return n;
}

std::int64_t Size(void* handle) {
    auto* file = static_cast<RandomAccessFile*>(handle);
    file->position = -1;
    if (FileStreamIo()->seek(file->stream, 0, kSeekEnd) != 0) {
        return -1;
    }
    file->position = FileStreamIo()->tell(file->stream);
    return file->position;
}

int Close(void* handle) {
    auto* file = static_cast<RandomAccessFile*>(handle);
    const int result = FileStreamIo()->close(file->stream);
    delete file;
    return result;
}

constexpr quorvel_random_io kRandomAccessFileIo{ReadAt, Size, Close};

}  // namespace

void* OpenRandomAccessFile(const std::u16string& path, const std::atomic<std::uint8_t>* cancelled) {
    void* stream = OpenFileStream(path);
    if (stream == nullptr) {
        return nullptr;
    }
    auto* file = new (std::nothrow) RandomAccessFile{stream, -1, cancelled};
    if (file == nullptr) {
        FileStreamIo()->close(stream);
    }
    return file;
}

const quorvel_random_io* RandomAccessFileIo() { return &kRandomAccessFileIo; }

void ObserveFileReadsForTesting(FileReadObserver observer) { g_observer.store(observer); }
