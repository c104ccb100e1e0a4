// The whole-file read through the caller's callbacks: order of calls, short reads, every
// failure, close exactly once, and INVALID_ARGUMENT touching nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "memory_stream.h"
#include "quorvel/quorvel.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"

namespace quorvel_test {
namespace {

const TestKey& Key() {
    static const TestKey key = KeyFromSeedByte(0x42);
    return key;
}

const Bytes& SignedFile() {
    static const Bytes file =
        SignPe(MakeUnsignedPe({}), Key(), "stream.example", Container::kQuorvelEntry);
    return file;
}

template <typename Record>
bool AllZero(const Record& record) {
    Record zero;
    std::memset(&zero, 0, sizeof zero);
    return std::memcmp(&record, &zero, sizeof record) == 0;
}

TEST(StreamContract, MissingArgumentTouchesNoCallbackAndZeroesRecord) {
    struct Case {
        const char* name;
        bool null_handle;
        bool null_io;
        bool null_read;
        bool null_seek;
        bool null_tell;
        bool null_key;  // verify only
    };
    const Case cases[] = {
        {"null handle", true, false, false, false, false, false},
        {"null io table", false, true, false, false, false, false},
        {"null read", false, false, true, false, false, false},
        {"null seek", false, false, false, true, false, false},
        {"null tell", false, false, false, false, true, false},
        {"null public key", false, false, false, false, false, true},
    };
    for (const Case& c : cases) {
        for (const bool verify : {false, true}) {
            if (c.null_key && !verify) continue;
            SCOPED_TRACE(std::string(c.name) + (verify ? " (verify)" : " (read info)"));
            MemoryStream stream(SignedFile());
            quorvel_io io = *MemoryIo();
            if (c.null_read) io.read = nullptr;
            if (c.null_seek) io.seek = nullptr;
            if (c.null_tell) io.tell = nullptr;
            void* handle = c.null_handle ? nullptr : &stream;
            const quorvel_io* table = c.null_io ? nullptr : &io;
            int status;
            if (verify) {
                quorvel_verify_result result;
                std::memset(&result, 0xAB, sizeof result);
                status = quorvel_verify_file(
                    handle, table, c.null_key ? nullptr : Key().public_key.data(), &result);
                EXPECT_TRUE(AllZero(result));
            } else {
                quorvel_signature_info info;
                std::memset(&info, 0xAB, sizeof info);
                status = quorvel_read_signature_info(handle, table, &info);
                EXPECT_TRUE(AllZero(info));
            }
            EXPECT_EQ(status, QUORVEL_ERR_INVALID_ARGUMENT);
            EXPECT_TRUE(stream.calls.empty()) << "first call: " << stream.calls.front();
            EXPECT_EQ(stream.close_calls, 0);
        }
    }
}

TEST(StreamContract, MissingArgumentWithNullRecordStillReportsIt) {
    MemoryStream stream(SignedFile());
    quorvel_io io = *MemoryIo();
    io.tell = nullptr;
    EXPECT_EQ(quorvel_read_signature_info(&stream, &io, nullptr), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_verify_file(&stream, &io, Key().public_key.data(), nullptr),
              QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(stream.calls.empty());
}

TEST(StreamContract, SuccessfulReadCallsInOrderAndClosesLast) {
    MemoryStream stream(SignedFile());
    quorvel_signature_info info;
    ASSERT_EQ(quorvel_read_signature_info(&stream, MemoryIo(), &info), QUORVEL_OK);
    const std::vector<std::string> expected = {"seek(0,2)", "tell", "seek(0,0)", "read", "close"};
    EXPECT_EQ(stream.calls, expected);
    ASSERT_EQ(stream.read_counts.size(), 1U);
    EXPECT_EQ(stream.read_counts[0], SignedFile().size());
    EXPECT_EQ(stream.read_sizes[0], 1U);
    EXPECT_EQ(stream.close_calls, 1);
    EXPECT_FALSE(stream.used_after_close);
}

TEST(StreamContract, ShortReadsAskForExactlyTheMissingBytes) {
    for (const size_t chunk : {size_t{1}, size_t{7}, size_t{512}, SignedFile().size() - 1}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        MemoryStream stream(SignedFile());
        stream.max_chunk = chunk;
        ASSERT_EQ(quorvel_read_signature_info(&stream, MemoryIo(), nullptr), QUORVEL_OK);
        size_t delivered = 0;
        for (size_t i = 0; i < stream.read_counts.size(); ++i) {
            ASSERT_EQ(stream.read_counts[i], SignedFile().size() - delivered) << "read " << i;
            ASSERT_EQ(stream.read_sizes[i], 1U);
            delivered += std::min(chunk, stream.read_counts[i]);
        }
        EXPECT_EQ(delivered, SignedFile().size());
        EXPECT_EQ(stream.close_calls, 1);
        EXPECT_FALSE(stream.used_after_close);
    }
}

TEST(StreamContract, EveryStreamFailureIsReadErrorWithOneClose) {
    struct Case {
        const char* name;
        std::function<void(MemoryStream&)> fault;
        std::vector<std::string> calls;  // empty: not checked
    };
    const size_t n = SignedFile().size();
    const Case cases[] = {
        {"seek to end fails",
         [](MemoryStream& s) { s.fail_seek_end = true; },
         {"seek(0,2)", "close"}},
        {"tell negative",
         [](MemoryStream& s) { s.tell_result = -1; },
         {"seek(0,2)", "tell", "close"}},
        {"tell most negative",
         [](MemoryStream& s) { s.tell_result = INT64_MIN; },
         {"seek(0,2)", "tell", "close"}},
        {"seek to start fails",
         [](MemoryStream& s) { s.fail_seek_start = true; },
         {"seek(0,2)", "tell", "seek(0,0)", "close"}},
        {"read gives nothing",
         [](MemoryStream& s) { s.zero_at = 0; },
         {"seek(0,2)", "tell", "seek(0,0)", "read", "close"}},
        {"read stops one byte before the end",
         [n](MemoryStream& s) {
             s.zero_at = n - 1;
             s.max_chunk = n - 1;
         },
         {"seek(0,2)", "tell", "seek(0,0)", "read", "read", "close"}},
        {"read stops in the middle after short reads",
         [](MemoryStream& s) {
             s.zero_at = 100;
             s.max_chunk = 30;
         },
         {}},
        {"tell larger than the stream",
         [n](MemoryStream& s) { s.tell_result = int64_t(n) + 1; },
         {}},
        {"read reports more than asked", [](MemoryStream& s) { s.over_report = 1; }, {}},
        {"allocation impossible", [](MemoryStream& s) { s.tell_result = INT64_MAX; }, {}},
    };
    for (const Case& c : cases) {
        for (const bool verify : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (verify ? " (verify)" : " (read info)"));
            MemoryStream stream(SignedFile());
            c.fault(stream);
            int status;
            if (verify) {
                quorvel_verify_result result;
                std::memset(&result, 0xCD, sizeof result);
                status = quorvel_verify_file(&stream, MemoryIo(), Key().public_key.data(), &result);
                EXPECT_TRUE(AllZero(result));
            } else {
                quorvel_signature_info info;
                std::memset(&info, 0xCD, sizeof info);
                status = quorvel_read_signature_info(&stream, MemoryIo(), &info);
                EXPECT_TRUE(AllZero(info));
            }
            EXPECT_EQ(status, QUORVEL_ERR_READ);
            EXPECT_EQ(stream.close_calls, 1);
            EXPECT_FALSE(stream.used_after_close);
            if (!c.calls.empty()) {
                EXPECT_EQ(stream.calls, c.calls);
            }
        }
    }
}

TEST(StreamContract, EmptyFileReadsAndIsNotPe) {
    MemoryStream stream(Bytes{});
    quorvel_signature_info info;
    EXPECT_EQ(quorvel_read_signature_info(&stream, MemoryIo(), &info), QUORVEL_ERR_NOT_PE);
    const std::vector<std::string> expected = {"seek(0,2)", "tell", "seek(0,0)", "close"};
    EXPECT_EQ(stream.calls, expected);
    EXPECT_TRUE(AllZero(info));

    MemoryStream again(Bytes{});
    EXPECT_EQ(quorvel_verify_file(&again, MemoryIo(), Key().public_key.data(), nullptr),
              QUORVEL_ERR_NOT_PE);
    EXPECT_EQ(again.close_calls, 1);
}

TEST(StreamContract, MissingCloseIsAllowedAndLeavesStreamOpen) {
    MemoryStream stream(SignedFile());
    quorvel_signature_info info;
    EXPECT_EQ(quorvel_read_signature_info(&stream, MemoryIoWithoutClose(), &info), QUORVEL_OK);
    EXPECT_EQ(stream.close_calls, 0);
    EXPECT_EQ(stream.calls.back(), "read");

    MemoryStream failing(SignedFile());
    failing.fail_seek_end = true;
    EXPECT_EQ(
        quorvel_verify_file(&failing, MemoryIoWithoutClose(), Key().public_key.data(), nullptr),
        QUORVEL_ERR_READ);
    EXPECT_EQ(failing.close_calls, 0);
}

TEST(StreamContract, EveryOutcomeAfterTheReadClosesOnce) {
    Bytes not_pe = SignedFile();
    not_pe[0] = 'X';
    const Bytes unsigned_file = MakeUnsignedPe({});
    const TestKey other = KeyFromSeedByte(0x43);
    struct Case {
        const char* name;
        const Bytes* file;
        const TestKey* key;
        int expected;
    };
    const Case cases[] = {
        {"valid", &SignedFile(), &Key(), QUORVEL_OK},
        {"not PE", &not_pe, &Key(), QUORVEL_ERR_NOT_PE},
        {"no signature", &unsigned_file, &Key(), QUORVEL_ERR_NO_SIGNATURE},
        {"other key", &SignedFile(), &other, QUORVEL_ERR_SIGNATURE_INVALID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryStream stream(*c.file);
        EXPECT_EQ(quorvel_verify_file(&stream, MemoryIo(), c.key->public_key.data(), nullptr),
                  c.expected);
        EXPECT_EQ(stream.close_calls, 1);
        EXPECT_EQ(stream.calls.back(), "close");
        EXPECT_FALSE(stream.used_after_close);
    }
}

}  // namespace
}  // namespace quorvel_test
