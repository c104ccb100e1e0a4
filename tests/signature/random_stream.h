// An in-memory random-access stream for the scan, which can short-read, stop early and lie
// about its size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "quorvel/quorvel.h"
#include "quorvel_test/bytes.h"

namespace quorvel_test {

struct RandomStream {
    Bytes data;
    size_t max_chunk = SIZE_MAX;
    uint64_t zero_at = UINT64_MAX;  // no byte at or after this offset is delivered
    int64_t size = -2;              // -2: the true size
    int calls = 0;
    int closes = 0;
};

inline size_t RandomReadAt(void* handle, uint64_t offset, void* buffer, size_t count) {
    auto* s = static_cast<RandomStream*>(handle);
    ++s->calls;
    const uint64_t end = std::min<uint64_t>(s->zero_at, s->data.size());
    if (offset >= end) return 0;
    const size_t n = std::min<size_t>({count, s->max_chunk, static_cast<size_t>(end - offset)});
    std::memcpy(buffer, s->data.data() + offset, n);
    return n;
}
inline int64_t RandomSize(void* handle) {
    auto* s = static_cast<RandomStream*>(handle);
    ++s->calls;
    return s->size == -2 ? static_cast<int64_t>(s->data.size()) : s->size;
}
inline int RandomClose(void* handle) { return ++static_cast<RandomStream*>(handle)->closes, 0; }
inline constexpr quorvel_random_io kRandomIo{RandomReadAt, RandomSize, RandomClose};

}  // namespace quorvel_test
