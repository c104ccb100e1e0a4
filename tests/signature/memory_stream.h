// An in-memory stream for the library's callbacks, with short reads and a false size.
#pragma once

#include <cstdint>
#include <optional>

#include "quorvel/quorvel.h"
#include "quorvel_test/bytes.h"
#include "quorvel_test/signing.h"

namespace quorvel_test {

struct MemoryStream {
    explicit MemoryStream(Bytes bytes) : data(std::move(bytes)) {}

    Bytes data;
    uint64_t position = 0;
    size_t max_chunk = SIZE_MAX;         // a read delivers at most this many bytes
    std::optional<int64_t> tell_result;  // replaces the true position
    int close_calls = 0;
    bool used_after_close = false;
};

// The callback table for MemoryStream handles.
const quorvel_io* MemoryIo();

// Runs the two operations on bytes through a fresh stream and expects it closed once.
int ReadInfo(const Bytes& file, quorvel_signature_info* info);
int VerifyBytes(const Bytes& file, const PublicKey& key, quorvel_verify_result* result);

}  // namespace quorvel_test
