// The entry operations end to end: every outcome through the whole-file read and through the
// one-pass scan, which must agree record for record; and the stream contract of both.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "quorvel_internal.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"
#include "streams.h"

namespace quorvel_test {
namespace {

template <typename Record>
bool Same(const Record& a, const Record& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

template <typename Record>
bool AllZero(const Record& record) {
    return Same(record, Record{});
}

const TestKey kSigner = KeyFromSeedByte(0x21);
const TestKey kOther = KeyFromSeedByte(0x22);

// The domain field: the domain, then only zero bytes.
std::string Field(const std::string& domain) {
    return domain + std::string(256 - domain.size(), '\0');
}

// Larger than the scan's buffer, the table between sections and bytes after it.
Bytes LargeSigned() {
    BuiltPe large = PeBuilder()
                        .AddSection(".text", 3u << 20, 2)
                        .AddSection(".data", 700000, 3)
                        .SetCertificateTable(MakeQuorvelEntry(Bytes(kPayloadBytes, 0)),
                                             TablePlacement::kAfterFirstSection)
                        .Build();
    return ReplaceCertificateTable(
        large.bytes, MakeQuorvelEntry(MakeSignedPayload(kSigner, ReferenceImageDigest(large.bytes),
                                                        "l.example")));
}

struct Case {
    std::string name;
    Bytes file;
    int read;         // quorvel_read_signature_info; quorvel_verify_file with another key
    int with_signer;  // quorvel_verify_file with the signing key
    std::string domain;
    const TestKey* named = &kSigner;  // the key whose id the payload holds
};

std::vector<Case> Cases() {
    const Bytes small = MakeUnsignedPe({});
    const Digest digest = ReferenceImageDigest(small);
    const Bytes entry = MakeQuorvelEntry(MakeSignedPayload(kSigner, digest, "s.example"));
    const auto sign = [&](const std::string& domain, bool pe32plus, Container container) {
        return SignPe(MakeUnsignedPe({pe32plus, 0, container}), kSigner, domain, container);
    };
    const auto table_at = [](uint32_t offset, uint32_t size) {
        return PeBuilder()
            .AddSection(".text", 4096, 1)
            .OverrideDirectory(offset, size)
            .Build()
            .bytes;
    };
    const std::string longest = std::string(251, 'a') + ".org";
    Bytes moved = small;  // the headers at 4094: zeros after the DOS header, e_lfanew raised
    moved.insert(moved.begin() + 64, 4094 - GetLe32(small, 60), 0);
    PutLe32(moved, 60, 4094);
    std::vector<Case> cases = {
        {"PE32+", sign("v.example", true, Container::kQuorvelEntry), 0, 0, "v.example"},
        {"PE32, empty domain", sign("", false, Container::kQuorvelEntry), 0, 0, ""},
        {"255-byte domain", sign(longest, true, Container::kQuorvelEntry), 0, 0, longest},
        {"key id of another key",
         AppendCertificateTable(
             small, MakeQuorvelEntry(MakePayload(SignDigest(kSigner, digest),
                                                 JwkThumbprint(kOther.public_key), "k.example"))),
         0, QUORVEL_ERR_KEY_MISMATCH, "k.example", &kOther},
        {"3.7 MiB, table in the middle", LargeSigned(), 0, 0, "l.example"},
        {"3 MiB, table at the end",
         SignPe(MakeUnsignedPe({true, 3u << 20}), kSigner, "e.example", Container::kQuorvelEntry),
         0, 0, "e.example"},
        {"PE signature across the first 4 KiB",
         SignPe(moved, kSigner, "m.example", Container::kQuorvelEntry), 0, 0, "m.example"},
        {"file ends inside the PE signature", Bytes(moved.begin(), moved.begin() + 4096),
         QUORVEL_ERR_NOT_PE, QUORVEL_ERR_NOT_PE, ""},
        {"no certificate table", small, QUORVEL_ERR_NO_SIGNATURE, QUORVEL_ERR_NO_SIGNATURE, ""},
        {"empty file", {}, QUORVEL_ERR_NOT_PE, QUORVEL_ERR_NOT_PE, ""},
        {"not a PE", Bytes(4096, 'M'), QUORVEL_ERR_NOT_PE, QUORVEL_ERR_NOT_PE, ""},
        {"table past the end", table_at(4096, 4096), QUORVEL_ERR_NOT_PE, QUORVEL_ERR_NOT_PE, ""},
        {"table at 4 past a multiple of 8", table_at(1028, 8), QUORVEL_ERR_INVALID_PAYLOAD,
         QUORVEL_ERR_INVALID_PAYLOAD, ""},
        {"table of 12 bytes", table_at(1024, 12), QUORVEL_ERR_INVALID_PAYLOAD,
         QUORVEL_ERR_INVALID_PAYLOAD, ""},
        {"two payloads", AppendCertificateTable(small, Concat({entry, entry})),
         QUORVEL_ERR_INVALID_PAYLOAD, QUORVEL_ERR_INVALID_PAYLOAD, ""},
    };
    Bytes tampered = cases[4].file;
    tampered[tampered.size() - 1] ^= 1;
    cases.push_back({"a byte after the table changed", tampered, 0, QUORVEL_ERR_SIGNATURE_INVALID,
                     "l.example"});
#if defined(QUORVEL_TEST_HAVE_AUTHENTICODE_BUILDER)
    cases.push_back({"PE32, Authenticode entry",
                     sign("ac.example", false, Container::kAuthenticode), 0, 0, "ac.example"});
#endif
    return cases;
}

TEST(EntryOperations, EveryOutcomeThroughBothPaths) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        // Small files arrive one byte per read, large ones in pieces.
        const size_t chunk = c.file.size() < 65536 ? 1 : 100003;
        MemoryStream stream{c.file, chunk};
        quorvel_signature_info info;
        std::memset(&info, 0x77, sizeof info);
        ASSERT_EQ(quorvel_read_signature_info(&stream, &kMemoryIo, &info), c.read);
        EXPECT_EQ(stream.closes, 1);
        EXPECT_LT(stream.calls, 1000000) << "used after the close";
        if (c.read == QUORVEL_OK) {
            EXPECT_EQ(info.has_signature, 1U);
            EXPECT_EQ(info.payload_valid, 1U);
            EXPECT_EQ(info.domain_length, c.domain.size());
            EXPECT_EQ(std::string(info.domain, 256), Field(c.domain));
            EXPECT_EQ(0, std::memcmp(info.key_id, JwkThumbprint(c.named->public_key).data(), 32));
            const Digest digest = ReferenceImageDigest(c.file);
            EXPECT_EQ(quorvel_signature_verifies(info.signature, digest.data(),
                                                 kSigner.public_key.data()),
                      c.with_signer != QUORVEL_ERR_SIGNATURE_INVALID);
        } else {
            EXPECT_TRUE(AllZero(info));
        }
        MemoryStream no_record{c.file};
        EXPECT_EQ(quorvel_read_signature_info(&no_record, &kMemoryIo, nullptr), c.read);

        quorvel_file_scan scans[2];
        for (const unsigned flags : {0U, QUORVEL_SCAN_DIGEST}) {
            MemoryStream random{c.file, 100000};  // short reads are asked again
            quorvel_file_scan& scan = scans[flags];
            EXPECT_EQ(quorvel_scan_file(&random, &kRandomIo, flags, &scan), c.read);
            EXPECT_EQ(random.closes, 1);
            EXPECT_EQ(scan.status, c.read);
            EXPECT_TRUE(Same(scan.info, info)) << "flags " << flags;
            EXPECT_EQ(scan.has_digest, flags != 0 && c.read == QUORVEL_OK) << "flags " << flags;
        }
        for (const TestKey* key : {&kSigner, &kOther}) {
            const int expected = key == &kSigner        ? c.with_signer
                                 : c.read == QUORVEL_OK ? QUORVEL_ERR_SIGNATURE_INVALID
                                                        : c.read;
            MemoryStream verified{c.file, chunk};
            quorvel_verify_result result;
            std::memset(&result, 0x77, sizeof result);  // every byte is written
            ASSERT_EQ(quorvel_verify_file(&verified, &kMemoryIo, key->public_key.data(), &result),
                      expected);
            EXPECT_EQ(verified.closes, 1);
            const bool has_signature = expected == QUORVEL_OK ||
                                       expected == QUORVEL_ERR_SIGNATURE_INVALID ||
                                       expected == QUORVEL_ERR_KEY_MISMATCH;
            EXPECT_EQ(result.has_signature, has_signature ? 1U : 0U);
            EXPECT_EQ(result.verified, expected == QUORVEL_OK ? 1U : 0U);
            EXPECT_EQ(result.key_id_matched, expected == QUORVEL_OK ? 1U : 0U);
            EXPECT_EQ(result.domain_length, expected == QUORVEL_OK ? c.domain.size() : 0U);
            EXPECT_EQ(std::string(result.domain, 256),
                      Field(expected == QUORVEL_OK ? c.domain : ""));
            EXPECT_TRUE(has_signature ? Same(result.key_id, info.key_id) : AllZero(result));
            MemoryStream no_result{c.file};
            EXPECT_EQ(quorvel_verify_file(&no_result, &kMemoryIo, key->public_key.data(), nullptr),
                      expected);
            if (c.read != QUORVEL_OK) continue;
            quorvel_verify_result scanned;
            EXPECT_EQ(quorvel_check_scan(&scans[1], key->public_key.data(), &scanned), expected);
            EXPECT_TRUE(Same(scanned, result));
            // A scan without the digest cannot be checked; nor can anything without a key.
            EXPECT_EQ(quorvel_check_scan(&scans[0], key->public_key.data(), &scanned),
                      QUORVEL_ERR_INVALID_ARGUMENT);
            EXPECT_EQ(quorvel_check_scan(&scans[1], nullptr, &scanned),
                      QUORVEL_ERR_INVALID_ARGUMENT);
        }
    }
}

TEST(EntryOperations, StreamFailuresAndMissingArguments) {
    const Bytes file = LargeSigned();
    const PeLayout layout = ReadLayout(file);
    const struct {
        const char* name;
        uint64_t zero_at;
        int64_t size;
        unsigned flags;
    } cases[] = {
        {"size fails", UINT64_MAX, -1, QUORVEL_SCAN_DIGEST},
        {"headers unreadable", 0, -2, 0},
        {"table unreadable", layout.table_offset, -2, 0},
        {"digest pass cut short", file.size() - 1, -2, QUORVEL_SCAN_DIGEST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryStream stream{file, SIZE_MAX, c.zero_at, c.size};
        quorvel_file_scan scan;
        std::memset(&scan, 0xA5, sizeof scan);
        EXPECT_EQ(quorvel_scan_file(&stream, &kRandomIo, c.flags, &scan), QUORVEL_ERR_READ);
        EXPECT_EQ(stream.closes, 1);
        quorvel_file_scan zero{};
        zero.status = QUORVEL_ERR_READ;
        EXPECT_TRUE(Same(scan, zero)) << "the record holds only the status";
    }
    // A size that no allocation can hold.
    MemoryStream impossible{file, SIZE_MAX, UINT64_MAX, INT64_MAX};
    quorvel_signature_info info;
    EXPECT_EQ(quorvel_read_signature_info(&impossible, &kMemoryIo, &info), QUORVEL_ERR_READ);
    EXPECT_EQ(impossible.closes, 1);
    EXPECT_LT(impossible.calls, 1000000) << "used after the close";

    // Missing arguments touch nothing.
    MemoryStream stream{MakeUnsignedPe({})};
    quorvel_file_scan scan;
    const quorvel_random_io no_read{nullptr, kRandomIo.size, CloseStream};
    const quorvel_random_io no_size{kRandomIo.read_at, nullptr, CloseStream};
    const quorvel_io no_tell{kMemoryIo.read, kMemoryIo.seek, nullptr, CloseStream};
    const unsigned char* key = kSigner.public_key.data();
    quorvel_verify_result result;
    EXPECT_EQ(quorvel_scan_file(nullptr, &kRandomIo, 0, &scan), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_scan_file(&stream, &no_read, 0, &scan), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_scan_file(&stream, &no_size, 0, &scan), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_scan_file(&stream, &kRandomIo, QUORVEL_SCAN_BOUNDED_TABLE << 1, &scan),
              QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_read_signature_info(&stream, &no_tell, &info), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_verify_file(&stream, &kMemoryIo, nullptr, &result),
              QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_check_scan(nullptr, key, &result), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(stream.calls, 0);
}

}  // namespace
}  // namespace quorvel_test
