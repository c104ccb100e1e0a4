// The single pass against the whole-file reads on the same bytes: the same status and every
// byte of the records, for reading and for verifying under two keys (one of them the key the
// payload names, when the input carries a payload), whatever the pieces the stream delivers.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.h"

namespace {

struct Bytes {
    const unsigned char* data;
    uint64_t size;
    uint64_t position = 0;
    size_t piece = SIZE_MAX;  // the most a read delivers
};

size_t Read(void* buffer, size_t size, size_t count, void* handle) {
    auto* b = static_cast<Bytes*>(handle);
    const size_t n = static_cast<size_t>(
        std::min<uint64_t>({static_cast<uint64_t>(size) * count, b->size - b->position, b->piece}));
    std::memcpy(buffer, b->data + b->position, n);
    b->position += n;
    return n;
}
int Seek(void* handle, int64_t offset, int origin) {
    auto* b = static_cast<Bytes*>(handle);
    b->position = (origin == 2 ? b->size : 0) + static_cast<uint64_t>(offset);
    return 0;
}
int64_t Tell(void* handle) { return static_cast<int64_t>(static_cast<Bytes*>(handle)->position); }
size_t ReadAt(void* handle, uint64_t offset, void* buffer, size_t count) {
    auto* b = static_cast<Bytes*>(handle);
    if (offset >= b->size) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>({count, b->size - offset, b->piece}));
    std::memcpy(buffer, b->data + offset, n);
    return n;
}
int64_t Size(void* handle) { return static_cast<int64_t>(static_cast<Bytes*>(handle)->size); }

const quorvel_io kWholeIo{Read, Seek, Tell, nullptr};
const quorvel_random_io kRandomIo{ReadAt, Size, nullptr};

template <typename Record>
bool Same(const Record& a, const Record& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An owned copy: neither path may read past size, which ASan then sees exactly.
    const std::vector<unsigned char> file(data, data + size);
    const size_t piece = size > 0 ? 1 + data[0] % 997 : 1;

    Bytes whole{file.data(), file.size()};
    quorvel_signature_info info;
    const int read_status = quorvel_read_signature_info(&whole, &kWholeIo, &info);
    for (const unsigned flags : {0U, QUORVEL_SCAN_DIGEST}) {
        Bytes scanned{file.data(), file.size(), 0, piece};
        quorvel_file_scan scan;
        const int scan_status = quorvel_scan_file(&scanned, &kRandomIo, flags, &scan);
        FUZZ_CHECK(scan_status == read_status && scan.status == read_status,
                   "the scan's status is the whole-file read's");
        FUZZ_CHECK(Same(scan.info, info), "the scan's info record is the whole-file read's");
        if (flags == 0) continue;
        // A key that cannot have made the signature, and the bytes the payload names as key id
        // (the thumbprint check then sees the key id itself).
        unsigned char keys[2][QUORVEL_PUBLIC_KEY_BYTES] = {{0x09}, {}};
        std::memcpy(keys[1], info.key_id, sizeof keys[1]);
        for (const auto& key : keys) {
            Bytes again{file.data(), file.size()};
            quorvel_verify_result expected;
            quorvel_verify_result result;
            const int verify_status = quorvel_verify_file(&again, &kWholeIo, key, &expected);
            FUZZ_CHECK(quorvel_check_scan(&scan, key, &result) == verify_status,
                       "checking the scan gives quorvel_verify_file's status");
            FUZZ_CHECK(Same(result, expected), "and its record");
        }
    }
    return 0;
}
