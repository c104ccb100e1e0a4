// The ways of changing a signed PE file that are known from Authenticode, each with the result
// the digest and the table walk give: what is hashed breaks the signature when it changes, the
// certificate table does not (by design), and a table that contradicts itself is refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hardening_support.h"
#include "job_fixtures.h"
#include "quorvel/quorvel.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/bytes.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"
#include "verification/verification_job.h"

namespace {

using quorvel_test::Bytes;
using quorvel_test::Concat;
using quorvel_test::PeBuilder;
using quorvel_test::TestKey;

constexpr char kDomain[] = "attack.example";
constexpr uint32_t kQuorvelEntryBytes = 376;  // 372 and 4 bytes of padding

const TestKey& Key() {
    static const TestKey key = quorvel_test::KeyFromSeedByte(0x5A);
    return key;
}

const char* StatusName(int status) {
    switch (status) {
        case QUORVEL_OK: return "OK";
        case QUORVEL_ERR_INVALID_ARGUMENT: return "INVALID_ARGUMENT";
        case QUORVEL_ERR_READ: return "READ";
        case QUORVEL_ERR_NOT_PE: return "NOT_PE";
        case QUORVEL_ERR_NO_SIGNATURE: return "NO_SIGNATURE";
        case QUORVEL_ERR_INVALID_PAYLOAD: return "INVALID_PAYLOAD";
        case QUORVEL_ERR_SIGNATURE_INVALID: return "SIGNATURE_INVALID";
        case QUORVEL_ERR_KEY_MISMATCH: return "KEY_MISMATCH";
        default: return "unknown";
    }
}

// quorvel_verify_file with the test key; also checks that the stream was closed once.
std::string VerifyStatus(const Bytes& image) {
    quorvel_verify_result result{};
    int closes = 0;
    const int status = hardening::Verify(image, Key().public_key.data(), &result, &closes);
    EXPECT_EQ(closes, 1);
    return StatusName(status);
}

std::string ReadStatus(const Bytes& image) {
    quorvel_signature_info info{};
    int closes = 0;
    const int status = hardening::ReadInfo(image, &info, &closes);
    EXPECT_EQ(closes, 1);
    return StatusName(status);
}

Bytes UnsignedImage() {
    return quorvel_test::MakeUnsignedPe(quorvel_test::SignedPeOptions{});
}

// The signed image: one Quorvel entry in a table appended at the end.
Bytes SignedImage() {
    return quorvel_test::SignPe(UnsignedImage(), Key(), kDomain,
                                quorvel_test::Container::kQuorvelEntry);
}

Bytes PlaceholderEntry() {
    return quorvel_test::MakeQuorvelEntry(quorvel_test::MakePayload(
        quorvel_test::PatternSignature(7), quorvel_test::PatternKeyId(8), kDomain));
}

// Signs an image whose certificate table has a Quorvel entry at entryOffset (within the
// table): the digest is computed independently over the image as it stands, the table as
// its directory entry states it left out, and the payload is written into the entry.
Bytes SignInPlace(Bytes image, uint64_t entryOffset = 0) {
    const quorvel_test::PeLayout layout = quorvel_test::ReadLayout(image);
    const quorvel_test::Digest digest = quorvel_test::ReferenceImageDigest(image);
    const Bytes payload = quorvel_test::MakeSignedPayload(Key(), digest, kDomain);
    const uint64_t at = layout.table_offset + entryOffset + 20;
    std::copy(payload.begin(), payload.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
    return image;
}

// An entry of a kind the walk passes over (X.509, revision 2.0), with any content.
Bytes ForeignEntry(const Bytes& content) {
    return quorvel_test::MakeWinCertificate(0x0200, 0x0001, content);
}

#ifdef QUORVEL_TEST_HAVE_AUTHENTICODE_BUILDER
// An Authenticode entry with one signer; quorvelValues non-empty: that signer carries the
// Quorvel attribute with these values.
Bytes AuthenticodeEntry(const std::vector<Bytes>& quorvelValues) {
    quorvel_test::SignerSpec signer;
    if (!quorvelValues.empty()) {
        quorvel_test::AttributeSpec attribute;
        attribute.oid = quorvel_test::kQuorvelPayloadOid;
        attribute.values = quorvelValues;
        signer.unauthenticated.push_back(attribute);
    }
    return quorvel_test::MakeAuthenticodeEntry(quorvel_test::MakeSignedData({signer}));
}
#endif

void SetDirectory(Bytes& image, uint32_t offset, uint32_t size) {
    const quorvel_test::PeLayout layout = quorvel_test::ReadLayout(image);
    quorvel_test::PutLe32(image, layout.directory, offset);
    quorvel_test::PutLe32(image, layout.directory + 4, size);
}

TEST(DigestAttack, SignedImagesVerifyBeforeAnyChange) {
    EXPECT_EQ(VerifyStatus(SignedImage()), "OK");
    Bytes inMiddle = PeBuilder()
                         .AddSection(".text", 0x400, 1)
                         .AddSection(".data", 0x400, 2)
                         .SetCertificateTable(PlaceholderEntry(),
                                              quorvel_test::TablePlacement::kAfterFirstSection)
                         .Build()
                         .bytes;
    EXPECT_EQ(VerifyStatus(SignInPlace(inMiddle)), "OK");
}

// --- data appended after the certificate table is hashed ------------------------------------------

TEST(DigestAttack, DataAppendedAfterTheTableBreaksTheSignature) {
    struct Case {
        const char* name;
        Bytes tail;
    };
    const Case cases[] = {
        {"one zero byte", Bytes(1, 0)},
        {"eight zero bytes (keeps the 8-byte alignment)", Bytes(8, 0)},
        {"4096 pattern bytes", quorvel_test::Repeat(0xCC, 4096)},
        {"a second Quorvel entry's bytes", PlaceholderEntry()},
    };
    const Bytes signedImage = SignedImage();
    for (const Case& c : cases) {
        Bytes image = signedImage;
        quorvel_test::Append(image, c.tail);
        // The payload is still found; only the digest differs.
        EXPECT_EQ(ReadStatus(image), "OK") << c.name;
        EXPECT_EQ(VerifyStatus(image), "SIGNATURE_INVALID") << c.name;
    }
}

TEST(DigestAttack, DataThatWasAfterTheTableWhenSigningIsCovered) {
    // The signer's file already ended with data after the table: it is part of the signature.
    const Bytes trailing = quorvel_test::FromText("overlay data the signer shipped.");
    const Bytes built = PeBuilder()
                            .AddSection(".text", 0x400, 3)
                            .SetCertificateTable(PlaceholderEntry())
                            .SetTrailing(trailing)
                            .Build()
                            .bytes;
    const Bytes image = SignInPlace(built);
    ASSERT_EQ(VerifyStatus(image), "OK");

    struct Case {
        const char* name;
        Bytes image;
    };
    Bytes changedLast = image;
    changedLast.back() ^= 0x01;
    Bytes changedFirst = image;
    const quorvel_test::PeLayout layout = quorvel_test::ReadLayout(image);
    changedFirst.at(layout.table_offset + layout.table_size) ^= 0x80;
    const Bytes truncated(image.begin(), image.end() - 1);
    Bytes extended = image;
    extended.push_back(0);
    const Case cases[] = {
        {"last trailing byte changed", changedLast},
        {"first byte after the table changed", changedFirst},
        {"last trailing byte cut off", truncated},
        {"one byte appended", extended},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VerifyStatus(c.image), "SIGNATURE_INVALID") << c.name;
    }
}

// --- a table that is not at the end --------------------------------------------------------------

TEST(DigestAttack, TableInTheMiddleHashesEverythingAfterIt) {
    const Bytes built = PeBuilder()
                            .AddSection(".text", 0x400, 4)
                            .AddSection(".data", 0x600, 5)
                            .SetCertificateTable(PlaceholderEntry(),
                                                 quorvel_test::TablePlacement::kAfterFirstSection)
                            .Build()
                            .bytes;
    const Bytes image = SignInPlace(built);
    ASSERT_EQ(VerifyStatus(image), "OK");
    const quorvel_test::PeLayout layout = quorvel_test::ReadLayout(image);
    ASSERT_GT(image.size(), layout.table_offset + layout.table_size) << "the table must not end the file";

    struct Case {
        const char* name;
        uint64_t position;
        const char* expected;
    };
    const uint64_t tableEnd = layout.table_offset + layout.table_size;
    const Case cases[] = {
        {"first byte after the table", tableEnd, "SIGNATURE_INVALID"},
        {"last byte of the file", image.size() - 1, "SIGNATURE_INVALID"},
        {"last byte before the table", layout.table_offset - 1, "SIGNATURE_INVALID"},
        {"the entry's first padding byte (inside the table)", layout.table_offset + 372, "OK"},
        {"the entry's last byte (inside the table)", tableEnd - 1, "OK"},
        {"CheckSum", layout.checksum, "OK"},
        {"byte after CheckSum", layout.checksum + 4, "SIGNATURE_INVALID"},
    };
    for (const Case& c : cases) {
        Bytes changed = image;
        changed.at(c.position) ^= 0x20;
        EXPECT_EQ(VerifyStatus(changed), c.expected) << c.name;
    }
}

// --- bytes inside the table, after the Quorvel entry, are not hashed -----------------------------

TEST(DigestAttack, ExtraEntriesInsideTheTableDoNotBreakTheSignature) {
    const Bytes signedImage = SignedImage();
    const quorvel_test::PeLayout layout = quorvel_test::ReadLayout(signedImage);
    ASSERT_EQ(layout.table_size, kQuorvelEntryBytes);
    // The signed entry, byte for byte as the signer wrote it.
    const auto first = signedImage.begin() + static_cast<std::ptrdiff_t>(layout.table_offset);
    const Bytes quorvelEntry(first, first + kQuorvelEntryBytes);

    struct Case {
        const char* name;
        Bytes extra;
        const char* expected;
    };
    Bytes otherMagic = PlaceholderEntry();
    otherMagic[8] = 'X';  // a Quorvel-typed entry with another magic is passed over
    std::vector<Case> cases = {
        {"nothing (control)", Bytes{}, "OK"},
        {"a foreign entry of 4 KiB of arbitrary bytes", ForeignEntry(quorvel_test::Repeat(0xEE, 4096)),
         "OK"},
        {"a foreign entry of 1 MiB", ForeignEntry(quorvel_test::Repeat(0x90, 1 << 20)), "OK"},
        {"a Quorvel-typed entry with another magic", otherMagic, "OK"},
        {"an 8-byte entry with no content (dwLength 8)", ForeignEntry(Bytes{}), "OK"},
        {"8 zero bytes (dwLength 0)", Bytes(8, 0), "INVALID_PAYLOAD"},
        {"an entry claiming 16 bytes in the last 8", quorvel_test::MakeWinCertificate(0x0200, 0x0001, {}, 16),
         "INVALID_PAYLOAD"},
    };
#ifdef QUORVEL_TEST_HAVE_AUTHENTICODE_BUILDER
    cases.push_back({"an Authenticode entry without the Quorvel attribute",
                     AuthenticodeEntry({}), "OK"});
#endif
    for (const Case& c : cases) {
        const Bytes image = quorvel_test::ReplaceCertificateTable(
            signedImage, Concat({quorvelEntry, c.extra}));
        EXPECT_EQ(VerifyStatus(image), c.expected) << c.name;
    }
}

// --- a directory size that disagrees with the entries ---------------------------------------------

TEST(DigestAttack, DirectorySizeThatDisagreesWithTheEntries) {
    const Bytes signedImage = SignedImage();
    const quorvel_test::PeLayout layout = quorvel_test::ReadLayout(signedImage);
    ASSERT_EQ(layout.table_size, kQuorvelEntryBytes);
    const auto offset = static_cast<uint32_t>(layout.table_offset);

    struct Case {
        const char* name;
        Bytes tail;       // appended after the table
        uint32_t offset;  // directory entry as written
        uint32_t size;
        const char* expected;
    };
    const Case cases[] = {
        {"size exactly the entry (control)", {}, offset, 376, "OK"},
        {"size 8 short of the entry", {}, offset, 368, "INVALID_PAYLOAD"},
        {"size 4 short (not a multiple of 8)", {}, offset, 372, "INVALID_PAYLOAD"},
        {"size 8 past the end of the file", {}, offset, 384, "NOT_PE"},
        {"size over 8 appended zero bytes", Bytes(8, 0), offset, 384, "INVALID_PAYLOAD"},
        // Appended bytes that form an empty entry are hidden from the digest by stretching the
        // size over them; left outside the stated table they are hashed.
        {"size over an appended empty entry", ForeignEntry({}), offset, 384, "OK"},
        {"appended empty entry left outside the size", ForeignEntry({}), offset, 376,
         "SIGNATURE_INVALID"},
        {"size 0: no table, the entry's bytes hashed", {}, offset, 0, "NO_SIGNATURE"},
        {"offset 8 earlier (the table starts in the data before it)", {}, offset - 8, 376,
         "INVALID_PAYLOAD"},
        {"offset 4 later (misaligned, in the file)", Bytes(8, 0), offset + 4, 376,
         "INVALID_PAYLOAD"},
    };
    for (const Case& c : cases) {
        Bytes image = signedImage;
        quorvel_test::Append(image, c.tail);
        SetDirectory(image, c.offset, c.size);
        EXPECT_EQ(VerifyStatus(image), c.expected) << c.name;
    }
}

TEST(DigestAttack, ShrinkingTheSizeMovesAnEntryIntoTheHashedRange) {
    // Signed with a foreign entry inside the table; the size then cut back to the Quorvel entry.
    const Bytes table = Concat({PlaceholderEntry(), ForeignEntry(quorvel_test::Repeat(0x11, 64))});
    const Bytes image = SignInPlace(quorvel_test::AppendCertificateTable(UnsignedImage(), table));
    ASSERT_EQ(VerifyStatus(image), "OK");
    Bytes shrunk = image;
    const quorvel_test::PeLayout layout = quorvel_test::ReadLayout(image);
    SetDirectory(shrunk, static_cast<uint32_t>(layout.table_offset), kQuorvelEntryBytes);
    EXPECT_EQ(VerifyStatus(shrunk), "SIGNATURE_INVALID");
}

TEST(DigestAttack, EntryLengthLargerThanItsFieldsSay) {
    // dwLength 380 with correct magic, version and payload length: refused, not skipped.
    quorvel_test::QuorvelEntryFields fields;
    fields.length = 380;
    const Bytes payload = quorvel_test::MakeSignedPayload(
        Key(), quorvel_test::ReferenceImageDigest(UnsignedImage()), kDomain);
    const Bytes image = quorvel_test::AppendCertificateTable(
        UnsignedImage(), quorvel_test::MakeQuorvelEntry(Concat({payload, Bytes(8, 0)}), fields));
    EXPECT_EQ(VerifyStatus(image), "INVALID_PAYLOAD");
}

// --- two payloads ---------------------------------------------------------------------------------

#ifdef QUORVEL_TEST_HAVE_AUTHENTICODE_BUILDER
TEST(DigestAttack, TwoPayloadsAreInvalidWhateverTheContainers) {
    const Bytes unsignedImage = UnsignedImage();
    const quorvel_test::Digest digest = quorvel_test::ReferenceImageDigest(unsignedImage);
    // Both payloads are valid signatures of the file: the rule alone refuses them.
    const Bytes payload = quorvel_test::MakeSignedPayload(Key(), digest, kDomain);
    const Bytes other = quorvel_test::MakeSignedPayload(Key(), digest, "other.example");
    const Bytes quorvelEntry = quorvel_test::MakeQuorvelEntry(payload);
    auto authenticode = [](const Bytes& p) {
        return AuthenticodeEntry({quorvel_test::DerOctetString(p)});
    };
    auto badAttribute = [] { return AuthenticodeEntry({quorvel_test::DerOctetString(Bytes(351, 1))}); };

    struct Case {
        const char* name;
        Bytes table;
        const char* expected;
    };
    const Case cases[] = {
        {"Quorvel entry alone (control)", quorvelEntry, "OK"},
        {"Authenticode alone (control)", authenticode(payload), "OK"},
        {"Quorvel entry, then Authenticode", Concat({quorvelEntry, authenticode(other)}),
         "INVALID_PAYLOAD"},
        {"Authenticode, then Quorvel entry", Concat({authenticode(other), quorvelEntry}),
         "INVALID_PAYLOAD"},
        {"the same payload in both containers", Concat({quorvelEntry, authenticode(payload)}),
         "INVALID_PAYLOAD"},
        {"two Quorvel entries", Concat({quorvelEntry, quorvel_test::MakeQuorvelEntry(other)}),
         "INVALID_PAYLOAD"},
        {"two Authenticode entries", Concat({authenticode(payload), authenticode(other)}),
         "INVALID_PAYLOAD"},
        {"Quorvel entry, then an attribute with only a bad value",
         Concat({quorvelEntry, badAttribute()}), "OK"},
    };
    for (const Case& c : cases) {
        const Bytes image = quorvel_test::AppendCertificateTable(unsignedImage, c.table);
        EXPECT_EQ(ReadStatus(image), c.expected) << c.name;
        EXPECT_EQ(VerifyStatus(image), c.expected) << c.name;
    }
}

TEST(DigestAttack, TwoPayloadsEndTheJobAsInvalidPayloadWithoutAFetch) {
    const Bytes unsignedImage = UnsignedImage();
    const quorvel_test::Digest digest = quorvel_test::ReferenceImageDigest(unsignedImage);
    // The domain names a port where nothing listens: a fetch would fail with another case.
    const std::string domain = "127.0.0.1:" + std::to_string(job_test::ClosedPort());
    const Bytes payload = quorvel_test::MakeSignedPayload(Key(), digest, domain);
    const Bytes table = Concat(
        {quorvel_test::MakeQuorvelEntry(payload),
         AuthenticodeEntry({quorvel_test::DerOctetString(payload)})});
    job_test::TempDir dir;
    const std::string path = dir.File("two-payloads.exe");
    quorvel_test::WriteFile(path, quorvel_test::AppendCertificateTable(unsignedImage, table));
    const VerificationOutcome outcome = RunVerification(job_test::U16(path), nullptr);
    EXPECT_EQ(outcome.statusText, u"Quorvel: invalid signature payload");
    EXPECT_EQ(outcome.resultText, u"The signature payload is invalid.");
    EXPECT_EQ(outcome.domainText, u"(not available)");
    EXPECT_EQ(outcome.kind, OutcomeKind::Failed);
}
#endif

}  // namespace
