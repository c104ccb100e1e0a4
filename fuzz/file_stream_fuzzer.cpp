// The stream contract of quorvel_read_signature_info and quorvel_verify_file over callbacks
// that fail, read short and lie about the size, judged against the single pass
// (quorvel_scan_file, quorvel_check_scan) over the same bytes in pieces: a stream that can be
// read whole gives the scan's status and every byte of its records, any other gives
// QUORVEL_ERR_READ; a missing argument touches no callback; close is called once, last.
//
// Input: five control bytes, then the file.
//   [0] bit 0 no record; bit 1 no close callback; bits 4-6 a missing argument (1 handle, 2 io,
//       3 read, 4 seek, 5 tell, 6 public key)
//   [1] stream fault (below 0x80: value % 8, see Fault), else none
//   [2] most bytes per read, for both paths (0: as many as asked)
//   [3] fault parameter
//   [4] key: below 0xF0 the test key of that seed byte, else the key id the file names
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "quorvel_test/signing.h"

namespace {

// Stream faults (control byte 1) and missing arguments (control byte 0, bits 4-6).
// clang-format off
enum Fault { kNone, kSeekEndFails, kTellNegative, kSeekSetFails, kReadStops, kReadClaimsMore,
             kTellClaimsMore, kTellClaimsLess };
enum Missing { kNoneMissing, kHandle, kIo, kRead, kSeek, kTell, kPublicKey };
// clang-format on

struct Stream {
    Stream(const std::vector<unsigned char>* bytes, const uint8_t* control)
        : file(bytes),
          fault(control[1] < 0x80 ? control[1] % 8U : 0U),
          chunk(control[2]),
          param(control[3]) {
        const auto size = static_cast<int64_t>(file->size());
        claimed = fault == kTellClaimsMore   ? size + param + 1
                  : fault == kTellClaimsLess ? std::max<int64_t>(0, size - param - 1)
                                             : size;
    }
    const std::vector<unsigned char>* file;
    unsigned fault, chunk, param;
    int64_t claimed = 0, position = 0;
    uint64_t delivered = 0;
    unsigned reads = 0;
    bool lied = false;
    std::string log;  // E seek to end, S seek to start, T tell, R read, C close
};

Stream* Of(void* handle) {
    auto* stream = static_cast<Stream*>(handle);
    FUZZ_CHECK(stream->log.find('C') == std::string::npos, "no callback after close");
    return stream;
}
int Seek(void* handle, int64_t offset, int origin) {
    Stream* s = Of(handle);
    FUZZ_CHECK(offset == 0 && (origin == 0 || origin == 2), "seeks use offset 0, origin 0 or 2");
    s->log += origin == 2 ? 'E' : 'S';
    if (s->fault == (origin == 2 ? kSeekEndFails : kSeekSetFails)) return origin == 2 ? -1 : 1;
    s->position = origin == 2 ? s->claimed : 0;
    return 0;
}
int64_t Tell(void* handle) {
    Stream* s = Of(handle);
    s->log += 'T';
    return s->fault == kTellNegative ? -1 - static_cast<int64_t>(s->param) : s->position;
}
size_t Read(void* buffer, size_t size, size_t count, void* handle) {
    Stream* s = Of(handle);
    s->log += 'R';
    FUZZ_CHECK(size == 1 && count > 0 && count == static_cast<uint64_t>(s->claimed) - s->delivered,
               "each read asks for exactly the bytes still missing, in one-byte elements");
    if (s->fault == kReadClaimsMore && s->reads++ == s->param % 4) {
        s->lied = true;
        return count + 1;
    }
    const auto at = static_cast<uint64_t>(s->position);
    uint64_t n = std::min<uint64_t>(s->chunk > 0 ? std::min<size_t>(count, s->chunk) : count,
                                    at < s->file->size() ? s->file->size() - at : 0);
    if (s->fault == kReadStops)
        n = std::min<uint64_t>(n, s->param - std::min<uint64_t>(s->param, s->delivered));
    if (n > 0) std::memcpy(buffer, s->file->data() + at, n);
    s->position += static_cast<int64_t>(n);
    s->delivered += n;
    return n;
}
int Close(void* handle) {
    Of(handle)->log += 'C';
    return 0;
}
size_t ReadAt(void* handle, uint64_t offset, void* buffer, size_t count) {
    const Stream* s = static_cast<Stream*>(handle);
    if (offset >= s->file->size()) return 0;
    const size_t n = std::min<size_t>(s->chunk > 0 ? std::min<size_t>(count, s->chunk) : count,
                                      s->file->size() - offset);
    std::memcpy(buffer, s->file->data() + offset, n);
    return n;
}
// The single pass sees the bytes the whole-file calls can see: those the size claims, or all.
int64_t Size(void* handle) {
    const Stream* s = static_cast<Stream*>(handle);
    return std::min(s->claimed, static_cast<int64_t>(s->file->size()));
}

// Runs one whole-file call and checks the protocol; returns whether the stream was readable.
template <typename Call>
bool Run(const uint8_t* control, const std::vector<unsigned char>& file, bool needs_key,
         Call call) {
    Stream s(&file, control);
    const auto size = static_cast<int64_t>(file.size());
    const unsigned missing = (control[0] >> 4) & 7U;
    const quorvel_io io{missing == kRead ? nullptr : Read, missing == kSeek ? nullptr : Seek,
                        missing == kTell ? nullptr : Tell, (control[0] & 2) ? nullptr : Close};
    const bool argument_missing =
        (missing >= kHandle && missing <= kTell) || (needs_key && missing == kPublicKey);
    const int status = call(missing == kHandle ? nullptr : &s, missing == kIo ? nullptr : &io);
    if (argument_missing) {
        FUZZ_CHECK(status == QUORVEL_ERR_INVALID_ARGUMENT && s.log.empty(),
                   "a missing argument is refused and touches no callback");
        return false;
    }
    std::string calls = s.log;
    if (io.close != nullptr) {
        FUZZ_CHECK(calls.size() > 0 && calls.back() == 'C', "close is called, last");
        calls.pop_back();
    }
    const std::string start = s.fault == kSeekEndFails   ? "E"
                              : s.fault == kTellNegative ? "ET"
                                                         : "ETS";
    FUZZ_CHECK(calls.rfind(start, 0) == 0 &&
                   calls.find_first_not_of('R', start.size()) == std::string::npos,
               "the stream is sized and rewound first, in order; then only reads");
    const bool readable = start == "ETS" && s.fault != kSeekSetFails && !s.lied &&
                          s.claimed <= size &&
                          (s.fault != kReadStops || s.param >= static_cast<uint64_t>(s.claimed));
    FUZZ_CHECK(!readable || s.delivered == static_cast<uint64_t>(s.claimed),
               "a readable file is read whole");
    FUZZ_CHECK(readable || status == QUORVEL_ERR_READ, "a stream not read whole gives READ");
    return readable;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const std::vector<unsigned char> file(data + 5, data + size);
    Stream piecewise(&file, data);
    const quorvel_random_io random_io{ReadAt, Size, nullptr};
    quorvel_file_scan scan;
    const int scanned = quorvel_scan_file(&piecewise, &random_io, QUORVEL_SCAN_DIGEST, &scan);
    FUZZ_CHECK(scanned >= QUORVEL_ERR_INVALID_PAYLOAD && scanned <= QUORVEL_OK &&
                   scanned != QUORVEL_ERR_READ,
               "a whole file scans to OK, NOT_PE, NO_SIGNATURE or INVALID_PAYLOAD");
    if (scan.has_digest) {
        unsigned char digest[QUORVEL_DIGEST_BYTES];
        FUZZ_CHECK(quorvel_image_digest(file.data(), static_cast<size_t>(Size(&piecewise)),
                                        digest) == QUORVEL_OK &&
                       std::memcmp(digest, scan.digest, sizeof digest) == 0,
                   "the scan's digest is the whole image's");
    }
    quorvel_file_scan bounded;
    const int limited =
        quorvel_scan_file(&piecewise, &random_io, QUORVEL_SCAN_BOUNDED_TABLE, &bounded);
    FUZZ_CHECK(
        limited == QUORVEL_ERR_TABLE_TOO_LARGE ||
            (limited == scanned && std::memcmp(&bounded.info, &scan.info, sizeof scan.info) == 0),
        "the bounded scan gives the scan's result, or refuses the table");
    const bool no_record = (data[0] & 1) != 0;

    quorvel_signature_info info;
    std::memset(&info, 0xEE, sizeof info);
    int status = 0;
    if (Run(data, file, false, [&](void* h, const quorvel_io* io) {
            return status = quorvel_read_signature_info(h, io, no_record ? nullptr : &info);
        })) {
        FUZZ_CHECK(status == scanned, "read_signature_info gives the scan's status");
        FUZZ_CHECK(no_record || std::memcmp(&info, &scan.info, sizeof info) == 0,
                   "and the scan's info record");
    }

    unsigned char key[QUORVEL_PUBLIC_KEY_BYTES];
    // A test key, or the key id the file names (the thumbprint check then sees the key id).
    const auto test_key = quorvel_test::KeyFromSeedByte(data[4]).public_key;
    std::memcpy(key, data[4] < 0xF0 ? test_key.data() : scan.info.key_id, sizeof key);
    const bool key_missing = ((data[0] >> 4) & 7U) == kPublicKey;
    quorvel_verify_result result;
    std::memset(&result, 0xEE, sizeof result);
    if (Run(data, file, true, [&](void* h, const quorvel_io* io) {
            return status = quorvel_verify_file(h, io, key_missing ? nullptr : key,
                                                no_record ? nullptr : &result);
        })) {
        quorvel_verify_result expected;
        FUZZ_CHECK(quorvel_check_scan(&scan, key, &expected) == status,
                   "verify_file gives the checked scan's status");
        FUZZ_CHECK(no_record || std::memcmp(&result, &expected, sizeof result) == 0,
                   "and its record");
    }
    return 0;
}
