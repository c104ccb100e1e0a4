#include "memory_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace quorvel_test {

namespace {

MemoryStream& Stream(void* handle) {
    auto& stream = *static_cast<MemoryStream*>(handle);
    stream.used_after_close = stream.used_after_close || stream.close_calls > 0;
    return stream;
}

size_t Read(void* buffer, size_t size, size_t count, void* handle) {
    MemoryStream& stream = Stream(handle);
    const uint64_t available =
        stream.position < stream.data.size() ? stream.data.size() - stream.position : 0;
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>({available, size * count, stream.max_chunk}));
    if (n > 0) {
        std::memcpy(buffer, stream.data.data() + stream.position, n);
    }
    stream.position += n;
    return n;
}

int Seek(void* handle, int64_t offset, int origin) {
    MemoryStream& stream = Stream(handle);
    stream.position = (origin == 2 ? stream.data.size() : 0) + static_cast<uint64_t>(offset);
    return 0;
}

int64_t Tell(void* handle) {
    MemoryStream& stream = Stream(handle);
    return stream.tell_result.value_or(static_cast<int64_t>(stream.position));
}

int Close(void* handle) {
    ++Stream(handle).close_calls;
    return 0;
}

const quorvel_io kIo = {Read, Seek, Tell, Close};

}  // namespace

const quorvel_io* MemoryIo() { return &kIo; }

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
