// An in-memory stream behind the library's callback table that records every call and can
// be told to fail in each of the ways a real stream can.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "quorvel_test/bytes.h"
#include "quorvel_test/signing.h"

namespace quorvel_test {

struct MemoryStream {
    explicit MemoryStream(Bytes bytes) : data(std::move(bytes)) {}

    Bytes data;
    uint64_t position = 0;

    // Faults.
    size_t max_chunk = SIZE_MAX;      // a read delivers at most this many bytes
    std::optional<uint64_t> zero_at;  // a read at or after this position delivers 0
    bool fail_seek_end = false;
    bool fail_seek_start = false;
    std::optional<int64_t> tell_result;  // replaces the true position
    size_t over_report = 0;              // a read claims this many bytes more than it gave

    // What happened.
    std::vector<std::string> calls;   // "seek(0,2)", "tell", "read", "close"
    std::vector<size_t> read_counts;  // the count asked by each read
    std::vector<size_t> read_sizes;   // the element size of each read
    int close_calls = 0;
    bool used_after_close = false;
};

// The callback table for MemoryStream handles, with or without close.
const quorvel_io* MemoryIo();
const quorvel_io* MemoryIoWithoutClose();

// Runs the two operations on bytes through a fresh stream and expects it closed once.
int ReadInfo(const Bytes& file, quorvel_signature_info* info);
int VerifyBytes(const Bytes& file, const PublicKey& key, quorvel_verify_result* result);

}  // namespace quorvel_test
