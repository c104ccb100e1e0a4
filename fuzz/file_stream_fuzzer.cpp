// The whole path through the public API: quorvel_read_signature_info and quorvel_verify_file
// over stream callbacks that fail, read short and lie about the size, as the control bytes
// say. Checks the callback protocol (order, counts, close exactly once), the status, and every
// byte of the records against a model built from the same file bytes.
//
// Input: five control bytes, then the file.
//   [0] bits 0-1 operation (0 read, 1 verify, 2-3 both); bit 2 no record; bit 3 no close
//       callback; bits 4-6 a missing argument (1 handle, 2 io, 3 read, 4 seek, 5 tell,
//       6 public key)
//   [1] stream fault (below 0x80: value % 8, see Fault), else none
//   [2] most bytes per read (0: as many as asked)
//   [3] fault parameter
//   [4] key: below 0xF0 the key made from 32 seed bytes of this value, else the file's first
//       32 bytes taken as a key
#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "quorvel_test/signing.h"

namespace {

enum class Fault {
    kNone = 0,
    kSeekEndFails = 1,
    kTellNegative = 2,
    kSeekSetFails = 3,
    kReadStops = 4,       // read delivers param bytes, then 0
    kReadClaimsMore = 5,  // read call number param % 4 returns more than asked
    kTellClaimsMore = 6,  // size reported as param + 1 bytes more than there are
    kTellClaimsLess = 7,  // size reported as param + 1 bytes fewer (not below 0)
};

enum class Missing { kNone, kHandle, kIo, kRead, kSeek, kTell, kPublicKey };

struct Control {
    int operation = 0;
    bool no_record = false;
    bool no_close = false;
    Missing missing = Missing::kNone;
    Fault fault = Fault::kNone;
    size_t chunk = 0;
    unsigned param = 0;
    unsigned key_byte = 0;
};

struct Stream {
    const unsigned char* data = nullptr;
    size_t size = 0;
    Fault fault = Fault::kNone;
    size_t chunk = 0;
    unsigned param = 0;
    int64_t claimed = 0;
    int64_t position = 0;
    uint64_t delivered = 0;
    unsigned reads = 0;
    bool lied = false;
    bool closed = false;
    int closes = 0;
    std::string log;  // E seek to end, S seek to start, T tell, R read, C close
};

Stream* Of(void* handle) {
    auto* stream = static_cast<Stream*>(handle);
    FUZZ_CHECK(!stream->closed, "no callback after close");
    return stream;
}

int Seek(void* handle, int64_t offset, int origin) {
    Stream* stream = Of(handle);
    FUZZ_CHECK(offset == 0 && (origin == 0 || origin == 2), "seeks use offset 0, origin 0 or 2");
    if (origin == 2) {
        stream->log += 'E';
        if (stream->fault == Fault::kSeekEndFails) {
            return -1;
        }
        stream->position = stream->claimed;
    } else {
        stream->log += 'S';
        if (stream->fault == Fault::kSeekSetFails) {
            return 1;
        }
        stream->position = 0;
    }
    return 0;
}

int64_t Tell(void* handle) {
    Stream* stream = Of(handle);
    stream->log += 'T';
    if (stream->fault == Fault::kTellNegative) {
        return -1 - static_cast<int64_t>(stream->param);
    }
    return stream->position;
}

size_t Read(void* buffer, size_t size, size_t count, void* handle) {
    Stream* stream = Of(handle);
    stream->log += 'R';
    FUZZ_CHECK(size == 1, "reads ask for elements of one byte");
    FUZZ_CHECK(count > 0 && count == static_cast<uint64_t>(stream->claimed) - stream->delivered,
               "each read asks for exactly the bytes still missing");
    const unsigned call = stream->reads++;
    if (stream->fault == Fault::kReadClaimsMore && call == stream->param % 4) {
        stream->lied = true;
        return count + 1;
    }
    size_t n = count;
    if (stream->chunk > 0) {
        n = std::min(n, stream->chunk);
    }
    const auto position = static_cast<uint64_t>(stream->position);
    n = position < stream->size ? std::min<uint64_t>(n, stream->size - position) : 0;
    if (stream->fault == Fault::kReadStops) {
        n = stream->delivered < stream->param
                ? std::min<uint64_t>(n, stream->param - stream->delivered)
                : 0;
    }
    if (n > 0) {
        std::memcpy(buffer, stream->data + position, n);
    }
    stream->position += static_cast<int64_t>(n);
    stream->delivered += n;
    return n;
}

int Close(void* handle) {
    Stream* stream = Of(handle);
    stream->closed = true;
    ++stream->closes;
    stream->log += 'C';
    return 0;
}

Stream MakeStream(const Control& control, const unsigned char* data, size_t size) {
    Stream stream;
    stream.data = data;
    stream.size = size;
    stream.fault = control.fault;
    stream.chunk = control.chunk;
    stream.param = control.param;
    const auto actual = static_cast<int64_t>(size);
    const int64_t delta = static_cast<int64_t>(control.param) + 1;
    stream.claimed = actual;
    if (control.fault == Fault::kTellClaimsMore) {
        stream.claimed = actual + delta;
    } else if (control.fault == Fault::kTellClaimsLess) {
        stream.claimed = std::max<int64_t>(0, actual - delta);
    }
    return stream;
}

// What the library must have read, or false when the stream cannot be read whole.
bool ExpectedImage(const Stream& stream, std::vector<unsigned char>& image) {
    switch (stream.fault) {
        case Fault::kSeekEndFails:
        case Fault::kTellNegative:
        case Fault::kSeekSetFails:
            return false;
        default:
            break;
    }
    const auto claimed = static_cast<uint64_t>(stream.claimed);
    if (claimed > stream.size) {
        return false;
    }
    if (stream.fault == Fault::kReadStops && stream.param < claimed) {
        return false;
    }
    if (stream.lied) {
        return false;
    }
    image.assign(stream.data, stream.data + claimed);
    return true;
}

// The callback protocol: seek to end, tell, seek to start, reads, then close exactly once.
void CheckProtocol(const Stream& stream, bool close_given) {
    std::string calls = stream.log;
    if (close_given) {
        FUZZ_CHECK(stream.closes == 1 && !calls.empty() && calls.back() == 'C',
                   "close is called exactly once, last");
        calls.pop_back();
    } else {
        FUZZ_CHECK(stream.closes == 0, "no close without a close callback");
    }
    std::string expected_start = "ETS";
    if (stream.fault == Fault::kSeekEndFails) {
        expected_start = "E";
    } else if (stream.fault == Fault::kTellNegative) {
        expected_start = "ET";
    }
    FUZZ_CHECK(calls.compare(0, expected_start.size(), expected_start) == 0 &&
                   calls.size() >= expected_start.size(),
               "the stream is sized and rewound first, in order");
    const std::string rest = calls.substr(expected_start.size());
    FUZZ_CHECK(rest.find_first_not_of('R') == std::string::npos, "only reads follow the rewind");
    if (expected_start != "ETS" || stream.fault == Fault::kSeekSetFails || stream.claimed == 0) {
        FUZZ_CHECK(rest.empty(), "nothing is read from a stream that failed or is empty");
    }
}

struct Outcome {
    int status = 0;
    std::vector<unsigned char> record;
    bool operator==(const Outcome&) const = default;
};

template <typename Record>
std::vector<unsigned char> RecordBytes(const Record& record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    return {bytes, bytes + sizeof record};
}

void SetupIo(const Control& control, quorvel_io& io) {
    io.read = control.missing == Missing::kRead ? nullptr : Read;
    io.seek = control.missing == Missing::kSeek ? nullptr : Seek;
    io.tell = control.missing == Missing::kTell ? nullptr : Tell;
    io.close = control.no_close ? nullptr : Close;
}

bool ArgumentMissing(const Control& control, bool verify) {
    return control.missing == Missing::kHandle || control.missing == Missing::kIo ||
           control.missing == Missing::kRead || control.missing == Missing::kSeek ||
           control.missing == Missing::kTell || (verify && control.missing == Missing::kPublicKey);
}

Outcome RunRead(const Control& control, const unsigned char* data, size_t size) {
    Stream stream = MakeStream(control, data, size);
    quorvel_io io{};
    SetupIo(control, io);
    quorvel_signature_info info;
    std::memset(&info, 0xEE, sizeof info);
    const int status = quorvel_read_signature_info(
        control.missing == Missing::kHandle ? nullptr : &stream,
        control.missing == Missing::kIo ? nullptr : &io, control.no_record ? nullptr : &info);

    quorvel_signature_info expected;
    std::memset(&expected, 0, sizeof expected);
    int expected_status = QUORVEL_ERR_INVALID_ARGUMENT;
    if (ArgumentMissing(control, false)) {
        FUZZ_CHECK(stream.log.empty(), "a missing argument touches no callback");
    } else {
        CheckProtocol(stream, !control.no_close);
        std::vector<unsigned char> image;
        if (!ExpectedImage(stream, image)) {
            expected_status = QUORVEL_ERR_READ;
        } else {
            FUZZ_CHECK(stream.delivered == image.size(), "a readable file is read whole");
            quorvel_fuzz::ModelPayload payload;
            expected_status = quorvel_fuzz::ModelFindPayload(image.empty() ? nullptr : image.data(),
                                                             image.size(), payload);
            if (expected_status == QUORVEL_OK) {
                expected.has_signature = 1;
                expected.payload_valid = 1;
                std::memcpy(expected.signature, payload.bytes.data(), 64);
                std::memcpy(expected.key_id, payload.bytes.data() + 64, 32);
                expected.domain_length = payload.domain_length;
                std::memcpy(expected.domain, payload.bytes.data() + 96, 256);
            }
        }
    }
    FUZZ_CHECK(status == expected_status, "read_signature_info returns the model's status");
    Outcome outcome{status, {}};
    if (!control.no_record) {
        FUZZ_CHECK(std::memcmp(&info, &expected, sizeof info) == 0,
                   "every byte of the info record is as documented for the status");
        outcome.record = RecordBytes(info);
    }
    return outcome;
}

Outcome RunVerify(const Control& control, const unsigned char* data, size_t size,
                  const unsigned char* public_key) {
    Stream stream = MakeStream(control, data, size);
    quorvel_io io{};
    SetupIo(control, io);
    quorvel_verify_result result;
    std::memset(&result, 0xEE, sizeof result);
    const int status =
        quorvel_verify_file(control.missing == Missing::kHandle ? nullptr : &stream,
                            control.missing == Missing::kIo ? nullptr : &io,
                            control.missing == Missing::kPublicKey ? nullptr : public_key,
                            control.no_record ? nullptr : &result);

    quorvel_verify_result expected;
    std::memset(&expected, 0, sizeof expected);
    int expected_status = QUORVEL_ERR_INVALID_ARGUMENT;
    if (ArgumentMissing(control, true)) {
        FUZZ_CHECK(stream.log.empty(), "a missing argument touches no callback");
    } else {
        CheckProtocol(stream, !control.no_close);
        std::vector<unsigned char> image;
        quorvel_fuzz::ModelPayload payload;
        if (!ExpectedImage(stream, image)) {
            expected_status = QUORVEL_ERR_READ;
        } else {
            FUZZ_CHECK(stream.delivered == image.size(), "a readable file is read whole");
            const unsigned char* bytes = image.empty() ? nullptr : image.data();
            expected_status = quorvel_fuzz::ModelFindPayload(bytes, image.size(), payload);
            if (expected_status == QUORVEL_OK) {
                const quorvel_fuzz::PeModel pe = quorvel_fuzz::ModelLocate(bytes, image.size());
                FUZZ_CHECK(pe.ok, "a file with a payload has headers that lead to the table");
                const quorvel_fuzz::Digest digest =
                    quorvel_fuzz::ModelImageDigest(bytes, image.size(), pe);
                quorvel_test::PublicKey key{};
                std::copy(public_key, public_key + 32, key.begin());
                const quorvel_fuzz::Digest thumbprint = quorvel_test::JwkThumbprint(key);
                if (crypto_sign_verify_detached(payload.bytes.data(), digest.data(), digest.size(),
                                                public_key) != 0) {
                    expected_status = QUORVEL_ERR_SIGNATURE_INVALID;
                } else if (std::memcmp(thumbprint.data(), payload.bytes.data() + 64, 32) != 0) {
                    expected_status = QUORVEL_ERR_KEY_MISMATCH;
                }
                expected.has_signature = 1;
                std::memcpy(expected.key_id, payload.bytes.data() + 64, 32);
                if (expected_status == QUORVEL_OK) {
                    expected.verified = 1;
                    expected.key_id_matched = 1;
                    expected.domain_length = payload.domain_length;
                    std::memcpy(expected.domain, payload.bytes.data() + 96, 256);
                }
            }
        }
    }
    FUZZ_CHECK(status == expected_status, "verify_file returns the model's status");
    Outcome outcome{status, {}};
    if (!control.no_record) {
        FUZZ_CHECK(std::memcmp(&result, &expected, sizeof result) == 0,
                   "every byte of the verify record is as documented for the status");
        outcome.record = RecordBytes(result);
    }
    return outcome;
}

Control Decode(const uint8_t* control) {
    Control c;
    c.operation = control[0] & 0x03;
    c.no_record = (control[0] & 0x04) != 0;
    c.no_close = (control[0] & 0x08) != 0;
    const unsigned missing = (control[0] >> 4) & 0x07U;
    c.missing = missing <= 6 ? static_cast<Missing>(missing) : Missing::kNone;
    c.fault = control[1] < 0x80 ? static_cast<Fault>(control[1] % 8) : Fault::kNone;
    c.chunk = control[2];
    c.param = control[3];
    c.key_byte = control[4];
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int sodium_ready = sodium_init();
    FUZZ_CHECK(sodium_ready >= 0, "libsodium initialises");
    if (size < quorvel_fuzz::kStreamControlBytes) {
        return 0;
    }
    const Control control = Decode(data);
    const std::vector<unsigned char> file(data + quorvel_fuzz::kStreamControlBytes, data + size);

    unsigned char public_key[crypto_sign_PUBLICKEYBYTES] = {};
    if (control.key_byte < 0xF0) {
        unsigned char seed[crypto_sign_SEEDBYTES];
        unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
        std::memset(seed, static_cast<int>(control.key_byte), sizeof seed);
        crypto_sign_seed_keypair(public_key, secret_key, seed);
    } else if (!file.empty()) {
        std::memcpy(public_key, file.data(), std::min(file.size(), sizeof public_key));
    }

    const bool read = control.operation != 1;
    const bool verify = control.operation != 0;
    if (read) {
        const Outcome first = RunRead(control, file.data(), file.size());
        FUZZ_CHECK(RunRead(control, file.data(), file.size()) == first,
                   "read_signature_info is deterministic");
    }
    if (verify) {
        const Outcome first = RunVerify(control, file.data(), file.size(), public_key);
        FUZZ_CHECK(RunVerify(control, file.data(), file.size(), public_key) == first,
                   "verify_file is deterministic");
    }
    return 0;
}
