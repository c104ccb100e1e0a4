// The platform's PKCS#7 decoder (crypt32) against the Authenticode fixtures that the native
// build made with OpenSSL and judged with OpenSSL's decoder: for every message, malformed ones
// included, the same decoded answer, the same attribute listing and the same three results of
// the payload search; for every whole file, the same statuses through the file seam.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pkcs7_decoder.h"
#include "quorvel/quorvel.h"
#include "quorvel_internal.h"
#include "quorvel_test/bytes.h"
#include "verification/file_stream.h"
#include "windows_test_files.h"

namespace {

using quorvel_test::Bytes;
using quorvel_test::ToHex;

std::wstring FixtureFolder() {
    const char* folder = std::getenv("QUORVEL_AUTHENTICODE_FIXTURES");
    return folder != nullptr ? windows_test::WindowsPathFromHost(folder) : std::wstring();
}

std::string Listing(const Bytes& der, int* decoded) {
    std::string text;
    *decoded = quorvel_pkcs7_visit_signer_attributes(
        der.data(), der.size(),
        [](void* context, const char* oid, const quorvel_der_value* values, size_t count) {
            auto* out = static_cast<std::string*>(context);
            if (!out->empty()) {
                *out += ';';
            }
            *out += oid != nullptr ? oid : "(null)";
            *out += '=';
            for (size_t i = 0; i < count; ++i) {
                if (i > 0) {
                    *out += ',';
                }
                *out += ToHex(values[i].bytes, values[i].length);
            }
            return 0;
        },
        &text);
    return text.empty() ? "-" : text;
}

// Where the platform's decoder is known to answer otherwise, what it answers instead. Each
// entry is still checked exactly, so a change in the platform shows up.
struct KnownDifference {
    const char* name;
    const char* why;
    bool listingDiffers;  // the attribute listing is not compared
    const char* decoded;  // replaces the native answer; null: the same as natively
    const char* found;
    const char* seen;
};

const KnownDifference kKnownDifferences[] = {
    // OpenSSL re-encodes each value on the native side (minimal DER), crypt32 gives the bytes
    // as they are in the file; both are accepted as the same payload.
    {"octet-string-non-minimal-length", "OpenSSL re-encodes values minimally", true, nullptr,
     nullptr, nullptr},
    // crypt32 refuses a length written with 8 length bytes and with it the whole message.
    {"octet-string-8-length-bytes", "crypt32 refuses 8 length bytes", true, "0", "0", "0"},
    // Wine prints object identifier arcs of 2^31 and above as negative numbers.
    {"long-identifier", "Wine renders large arcs signed", true, nullptr, nullptr, nullptr},
    // Wine's CryptQueryObject does not open a SignedData message with two signers.
    {"attribute-on-second-signer-only", "Wine refuses two signers", true, "0", nullptr,
     nullptr},
    {"first-of-two-signers", "Wine refuses two signers", true, "0", "0", "0"},
};

const KnownDifference* FindKnownDifference(const std::string& name) {
    for (const KnownDifference& d : kKnownDifferences) {
        if (name == d.name) {
            return &d;
        }
    }
    return nullptr;
}

class NativeFixtures : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = FixtureFolder();
        ASSERT_FALSE(folder_.empty())
            << "QUORVEL_AUTHENTICODE_FIXTURES is not set: scripts/test-windows.sh writes the "
               "fixtures with the native quorvel-authenticode-fixtures and passes the folder";
    }
    std::wstring folder_;
};

TEST_F(NativeFixtures, MessagesDecodeAsWithOpenSsl) {
    const auto rows = windows_test::ReadTable(folder_ + L"\\messages.tsv");
    // The maker writes 35 messages; a short table would hide missing comparisons.
    ASSERT_GE(rows.size(), 30u);
    int payloadsFound = 0;
    int undecodable = 0;
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 7u) << "malformed line for " << (row.empty() ? "?" : row[0]);
        const std::string& name = row[0];
        const Bytes der =
            windows_test::ReadWholeFile(folder_ + L"\\" + windows_test::WindowsPathFromHost(row[1]));

        const KnownDifference* known = FindKnownDifference(name);
        const std::string note = known != nullptr ? std::string(" (") + known->why + ")" : "";
        auto expected = [&](const char* replacement, const std::string& native) {
            return replacement != nullptr ? std::string(replacement) : native;
        };
        int decoded = -1;
        const std::string listing = Listing(der, &decoded);
        EXPECT_EQ(std::to_string(decoded), expected(known ? known->decoded : nullptr, row[2]))
            << name << ": decoded" << note;
        if (known == nullptr || !known->listingDiffers) {
            EXPECT_EQ(listing, row[6]) << name << ": signer 0's unauthenticated attributes";
        }

        quorvel_payload payload{};
        int seen = 0;
        const int found = quorvel_find_authenticode_payload(der.data(), der.size(), &payload, &seen);
        const std::string expectedFound = expected(known ? known->found : nullptr, row[3]);
        EXPECT_EQ(std::to_string(found), expectedFound) << name << ": payload found" << note;
        EXPECT_EQ(std::to_string(seen), expected(known ? known->seen : nullptr, row[4]))
            << name << ": attribute seen" << note;
        if (found == 1 && expectedFound == row[3]) {
            Bytes bytes(payload.signature, payload.signature + 64);
            bytes.insert(bytes.end(), payload.key_id, payload.key_id + 32);
            bytes.insert(bytes.end(), payload.domain, payload.domain + payload.domain_length);
            EXPECT_EQ(ToHex(bytes.data(), bytes.size()), row[5]) << name << ": payload";
            ++payloadsFound;
        }
        undecodable += decoded == 0 ? 1 : 0;
    }
    // The set must exercise both sides of each answer.
    EXPECT_GE(payloadsFound, 8);
    EXPECT_GE(undecodable, 5);
}

TEST_F(NativeFixtures, WholeFilesThroughTheFileSeamAsNatively) {
    const auto rows = windows_test::ReadTable(folder_ + L"\\files.tsv");
    ASSERT_GE(rows.size(), 6u);
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 6u);
        const std::string& name = row[0];
        const std::wstring wide = folder_ + L"\\" + windows_test::WindowsPathFromHost(row[1]);
        const std::u16string path(wide.begin(), wide.end());

        void* stream = OpenFileStream(path);
        ASSERT_NE(stream, nullptr) << name;
        quorvel_signature_info info{};
        const int readStatus = quorvel_read_signature_info(stream, FileStreamIo(), &info);
        EXPECT_EQ(std::to_string(readStatus), row[3]) << name << ": read status";
        const std::string domain =
            info.domain_length > 0
                ? ToHex(reinterpret_cast<const unsigned char*>(info.domain),
                        static_cast<size_t>(info.domain_length))
                : "-";
        EXPECT_EQ(domain, row[4]) << name << ": domain";

        const Bytes key = quorvel_test::FromHex(row[2]);
        ASSERT_EQ(key.size(), 32u) << name;
        stream = OpenFileStream(path);
        ASSERT_NE(stream, nullptr) << name;
        quorvel_verify_result result{};
        const int verifyStatus = quorvel_verify_file(stream, FileStreamIo(), key.data(), &result);
        EXPECT_EQ(std::to_string(verifyStatus), row[5]) << name << ": verify status";
    }
}

TEST(CryptoApiDecoder, ArgumentsThatNeverReachTheDecoder) {
    const unsigned char bytes[4] = {0x30, 0x00, 0x00, 0x00};
    auto visit = [](void*, const char*, const quorvel_der_value*, size_t) { return 0; };
    struct Case {
        const char* name;
        const unsigned char* der;
        size_t length;
        quorvel_pkcs7_attribute_visitor visitor;
    };
    const Case cases[] = {
        {"null bytes", nullptr, 4, visit},
        {"zero length", bytes, 0, visit},
        {"null visitor", bytes, sizeof bytes, nullptr},
        // One past what a DWORD blob length can say; the decoder never sees the short buffer.
        {"length 2^32", bytes, static_cast<size_t>(0x100000000ull), visit},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(quorvel_pkcs7_visit_signer_attributes(c.der, c.length, c.visitor, nullptr), 0)
            << c.name;
    }
}

TEST_F(NativeFixtures, VisitorThatStopsSeesOneAttribute) {
    const Bytes der = windows_test::ReadWholeFile(folder_ + L"\\many-attributes.p7b");
    int calls = 0;
    const int decoded = quorvel_pkcs7_visit_signer_attributes(
        der.data(), der.size(),
        [](void* context, const char*, const quorvel_der_value*, size_t) {
            ++*static_cast<int*>(context);
            return 1;
        },
        &calls);
    EXPECT_EQ(decoded, 1);
    EXPECT_EQ(calls, 1);
}

}  // namespace
