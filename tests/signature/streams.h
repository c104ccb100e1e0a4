// In-memory streams for the library's callbacks: the whole-file stream (quorvel_io) and the
// random-access one of the scan (quorvel_random_io), both with short reads, a false size or an
// early end, and counting their closes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "quorvel/quorvel.h"
#include "quorvel_test/bytes.h"

namespace quorvel_test {

struct MemoryStream {
    Bytes data;
    size_t max_chunk = SIZE_MAX;    // a read delivers at most this many bytes
    uint64_t zero_at = UINT64_MAX;  // no byte at or after this offset is delivered
    int64_t size = -2;              // what the stream says its size is; -2: the true size
    uint64_t position = 0;
    int calls = 0;
    int closes = 0;

    static MemoryStream& Of(void* handle) {
        auto& s = *static_cast<MemoryStream*>(handle);
        s.calls += s.closes > 0 ? 1000000 : 1;  // a call after the close shows as a million
        return s;
    }
    size_t Deliver(uint64_t offset, void* buffer, size_t count) const {
        const uint64_t end = std::min<uint64_t>(zero_at, data.size());
        if (offset >= end) return 0;
        const size_t n = std::min<size_t>({count, max_chunk, static_cast<size_t>(end - offset)});
        std::memcpy(buffer, data.data() + offset, n);
        return n;
    }
    int64_t Size() const { return size == -2 ? static_cast<int64_t>(data.size()) : size; }
};

inline int CloseStream(void* handle) { return ++MemoryStream::Of(handle).closes, 0; }

inline const quorvel_io kMemoryIo = {
    [](void* buffer, size_t size, size_t count, void* handle) {
        MemoryStream& s = MemoryStream::Of(handle);
        const size_t n = s.Deliver(s.position, buffer, size * count);
        s.position += n;
        return n;
    },
    [](void* handle, int64_t offset, int origin) {
        MemoryStream& s = MemoryStream::Of(handle);
        s.position = static_cast<uint64_t>((origin == 2 ? s.Size() : 0) + offset);
        return 0;
    },
    [](void* handle) { return static_cast<int64_t>(MemoryStream::Of(handle).position); },
    CloseStream};

inline const quorvel_random_io kRandomIo = {
    [](void* handle, uint64_t offset, void* buffer, size_t count) {
        return MemoryStream::Of(handle).Deliver(offset, buffer, count);
    },
    [](void* handle) { return MemoryStream::Of(handle).Size(); }, CloseStream};

}  // namespace quorvel_test
