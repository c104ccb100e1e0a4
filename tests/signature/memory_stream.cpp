#include "memory_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace quorvel_test {

namespace {

MemoryStream& Stream(void* handle) {
    auto& stream = *static_cast<MemoryStream*>(handle);
    if (stream.close_calls > 0) {
        stream.used_after_close = true;
    }
    return stream;
}

size_t Read(void* buffer, size_t size, size_t count, void* handle) {
    MemoryStream& stream = Stream(handle);
    stream.calls.push_back("read");
    stream.read_counts.push_back(count);
    stream.read_sizes.push_back(size);
    if (stream.zero_at.has_value() && stream.position >= *stream.zero_at) {
        return 0;
    }
    const uint64_t available =
        stream.position < stream.data.size() ? stream.data.size() - stream.position : 0;
    const size_t wanted = size * count;
    const size_t n = static_cast<size_t>(std::min<uint64_t>({available, wanted, stream.max_chunk}));
    if (n > 0) {
        std::memcpy(buffer, stream.data.data() + stream.position, n);
    }
    stream.position += n;
    return n + (n > 0 ? stream.over_report : 0);
}

int Seek(void* handle, int64_t offset, int origin) {
    MemoryStream& stream = Stream(handle);
    stream.calls.push_back("seek(" + std::to_string(offset) + "," + std::to_string(origin) + ")");
    if (origin == 2) {
        if (stream.fail_seek_end) return -1;
        stream.position = stream.data.size() + static_cast<uint64_t>(offset);
        return 0;
    }
    if (origin == 0) {
        if (stream.fail_seek_start) return -1;
        stream.position = static_cast<uint64_t>(offset);
        return 0;
    }
    return -1;
}

int64_t Tell(void* handle) {
    MemoryStream& stream = Stream(handle);
    stream.calls.push_back("tell");
    return stream.tell_result.value_or(static_cast<int64_t>(stream.position));
}

int Close(void* handle) {
    MemoryStream& stream = Stream(handle);
    stream.calls.push_back("close");
    ++stream.close_calls;
    return 0;
}

const quorvel_io kWithClose = {Read, Seek, Tell, Close};
const quorvel_io kWithoutClose = {Read, Seek, Tell, nullptr};

}  // namespace

const quorvel_io* MemoryIo() { return &kWithClose; }
const quorvel_io* MemoryIoWithoutClose() { return &kWithoutClose; }

int ReadInfo(const Bytes& file, quorvel_signature_info* info) {
    MemoryStream stream(file);
    const int status = quorvel_read_signature_info(&stream, MemoryIo(), info);
    EXPECT_EQ(stream.close_calls, 1);
    return status;
}

int VerifyBytes(const Bytes& file, const PublicKey& key, quorvel_verify_result* result) {
    MemoryStream stream(file);
    const int status = quorvel_verify_file(&stream, MemoryIo(), key.data(), result);
    EXPECT_EQ(stream.close_calls, 1);
    return status;
}

}  // namespace quorvel_test
