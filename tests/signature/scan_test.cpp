// The one-pass scan against the whole-file reads: the same statuses and records for the same
// bytes, and the scan's own stream contract.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "memory_stream.h"
#include "quorvel/quorvel.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"
#include "random_stream.h"

namespace quorvel_test {
namespace {

int Scan(RandomStream& stream, unsigned flags, quorvel_file_scan& scan) {
    const int status = quorvel_scan_file(&stream, &kRandomIo, flags, &scan);
    EXPECT_EQ(stream.closes, 1) << "close exactly once";
    return status;
}

template <typename Record>
bool Same(const Record& a, const Record& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

const TestKey& Signer() {
    static const TestKey key = KeyFromSeedByte(0x41);
    return key;
}
const TestKey& Other() {
    static const TestKey key = KeyFromSeedByte(0x42);
    return key;
}

// Larger than the scan's buffer, the table between sections and bytes after it.
Bytes LargeSigned() {
    BuiltPe large = PeBuilder()
                        .AddSection(".text", 3u << 20, 2)
                        .AddSection(".data", 700000, 3)
                        .SetCertificateTable(MakeQuorvelEntry(Bytes(kPayloadBytes, 0)),
                                             TablePlacement::kAfterFirstSection)
                        .Build();
    large.bytes = ReplaceCertificateTable(
        large.bytes, MakeQuorvelEntry(MakeSignedPayload(Signer(), ReferenceImageDigest(large.bytes),
                                                        "l.example")));
    return large.bytes;
}

// Every outcome of the two entry operations, as files.
std::vector<std::pair<std::string, Bytes>> AcceptanceFiles() {
    const Bytes small = MakeUnsignedPe({});
    const Digest digest = ReferenceImageDigest(small);
    const Bytes payload = MakeSignedPayload(Signer(), digest, "scan.example");
    std::vector<std::pair<std::string, Bytes>> files = {
        {"PE32+, Quorvel entry", SignPe(small, Signer(), "scan.example", Container::kQuorvelEntry)},
        {"no certificate table", small},
        {"empty file", {}},
        {"not a PE", Bytes(4096, 'M')},
        {"table past the end of the file",
         PeBuilder().AddSection(".text", 4096, 1).OverrideDirectory(4096, 4096).Build().bytes},
        {"table offset 4 past a multiple of 8",
         PeBuilder().AddSection(".text", 4096, 1).OverrideDirectory(1028, 8).Build().bytes},
        {"two payloads", AppendCertificateTable(small, Concat({MakeQuorvelEntry(payload),
                                                               MakeQuorvelEntry(payload)}))},
        {"key id of another key",
         AppendCertificateTable(
             small, MakeQuorvelEntry(MakePayload(SignDigest(Signer(), digest),
                                                 JwkThumbprint(Other().public_key), "k.example")))},
    };
    files.push_back({"3.7 MiB, table in the middle", LargeSigned()});
    Bytes tampered = files.back().second;
    tampered[tampered.size() - 1] ^= 1;
    files.push_back({"a byte after the table changed", tampered});
#if defined(QUORVEL_TEST_HAVE_AUTHENTICODE_BUILDER)
    files.push_back(
        {"Authenticode entry", SignPe(small, Signer(), "ac.example", Container::kAuthenticode)});
#endif
    return files;
}

TEST(FileScan, GivesTheWholeFileVerdictsAndRecords) {
    for (const auto& [name, file] : AcceptanceFiles()) {
        SCOPED_TRACE(name);
        quorvel_signature_info whole_info;
        const int whole_read = ReadInfo(file, &whole_info);
        for (const unsigned flags : {0U, QUORVEL_SCAN_DIGEST}) {
            RandomStream stream{file};
            stream.max_chunk = 100000;  // short reads are asked again
            quorvel_file_scan scan;
            EXPECT_EQ(Scan(stream, flags, scan), whole_read) << "flags " << flags;
            EXPECT_EQ(scan.status, whole_read);
            EXPECT_TRUE(Same(scan.info, whole_info)) << "flags " << flags;
            EXPECT_EQ(scan.has_digest, flags != 0 && whole_read == QUORVEL_OK);
            if (flags == 0) continue;
            for (const TestKey* key : {&Signer(), &Other()}) {
                quorvel_verify_result whole, scanned;
                const int whole_verify = VerifyBytes(file, key->public_key, &whole);
                EXPECT_EQ(quorvel_check_scan(&scan, key->public_key.data(), &scanned),
                          whole_verify);
                EXPECT_TRUE(Same(scanned, whole));
            }
        }
    }
}

TEST(FileScan, StreamFailuresAreReadErrors) {
    const Bytes file = LargeSigned();
    const uint64_t table = ReadLayout(file).table_offset;
    struct Case {
        std::string name;
        uint64_t zero_at;
        int64_t size;
        unsigned flags;
    };
    const std::vector<Case> cases = {
        {"size fails", UINT64_MAX, -1, QUORVEL_SCAN_DIGEST},
        {"headers unreadable", 0, -2, 0},
        {"table unreadable", table, -2, 0},
        {"digest pass cut short", file.size() - 1, -2, QUORVEL_SCAN_DIGEST},
    };
    for (const Case& c : cases) {
        RandomStream stream{file};
        stream.zero_at = c.zero_at;
        stream.size = c.size;
        quorvel_file_scan scan;
        std::memset(&scan, 0xA5, sizeof scan);
        EXPECT_EQ(Scan(stream, c.flags, scan), QUORVEL_ERR_READ) << c.name;
        quorvel_file_scan zero{};
        zero.status = QUORVEL_ERR_READ;
        EXPECT_TRUE(Same(scan, zero)) << c.name << ": the record holds only the status";
    }
    // Without the digest the bytes outside the headers and the table are never read.
    RandomStream stream{file};
    stream.zero_at = table + ReadLayout(file).table_size;
    quorvel_file_scan scan;
    EXPECT_EQ(Scan(stream, 0, scan), QUORVEL_OK);
}

TEST(FileScan, MissingArgumentsTouchNothing) {
    RandomStream stream{MakeUnsignedPe({})};
    const quorvel_random_io no_read{nullptr, RandomSize, RandomClose};
    const quorvel_random_io no_size{RandomReadAt, nullptr, RandomClose};
    quorvel_file_scan scan;
    EXPECT_EQ(quorvel_scan_file(nullptr, &kRandomIo, 0, &scan), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_scan_file(&stream, nullptr, 0, &scan), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_scan_file(&stream, &no_read, 0, &scan), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_scan_file(&stream, &no_size, 0, &scan), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_scan_file(&stream, &kRandomIo, QUORVEL_SCAN_DIGEST << 1, &scan),
              QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(stream.calls + stream.closes, 0);

    // A scan without the digest cannot be checked; nor can anything without a key.
    RandomStream signed_stream{
        SignPe(MakeUnsignedPe({}), Signer(), "x.example", Container::kQuorvelEntry)};
    ASSERT_EQ(Scan(signed_stream, 0, scan), QUORVEL_OK);
    quorvel_verify_result result;
    EXPECT_EQ(quorvel_check_scan(&scan, Signer().public_key.data(), &result),
              QUORVEL_ERR_INVALID_ARGUMENT);
    scan.has_digest = 1;
    EXPECT_EQ(quorvel_check_scan(&scan, nullptr, &result), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_check_scan(nullptr, Signer().public_key.data(), &result),
              QUORVEL_ERR_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace quorvel_test
