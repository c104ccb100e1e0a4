// The header walk to the security directory entry and the certificate table, with hostile
// values at every field it reads; the walk over the table's entries; the image digest.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "quorvel_internal.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signing.h"

namespace quorvel_test {
namespace {

struct Located {
    int ok;
    uint64_t offset;
    uint64_t size;
};

Located Locate(const Bytes& image, size_t size) {
    Located out{0, 0xDEAD, 0xBEEF};
    // A copy of exactly size bytes, so that a read past the end is caught by the sanitizer.
    const Bytes exact(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size));
    out.ok = quorvel_locate_certificate_table(exact.data(), exact.size(), &out.offset, &out.size);
    return out;
}

BuiltPe WithTable(bool pe32plus) {
    return PeBuilder(pe32plus)
        .AddSection(".text", 0x400, 1)
        .SetCertificateTable(MakeWinCertificate(0x0200, 0x0002, Bytes(56, 0x30)))
        .Build();
}

TEST(LocateTable, TruncatedHeadersAtEveryLimit) {
    for (const bool pe32plus : {false, true}) {
        const BuiltPe pe = PeBuilder(pe32plus).Build();  // no sections, no table
        const PeLayout& l = pe.layout;
        const struct {
            const char* name;
            uint64_t size;
            int ok;
        } cases[] = {
            {"63 bytes", 63, 0},
            {"e + 23", l.e + 23, 0},
            {"e + 25: magic half inside", l.e + 25, 0},
            {"e + 26: magic inside, directory outside", l.e + 26, 0},
            {"directory entry one byte short", l.directory + 7, 0},
            {"ends exactly after the directory entry", l.directory + 8, 1},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(pe32plus ? "PE32+ " : "PE32 ") + c.name);
            const Located found = Locate(pe.bytes, c.size);
            EXPECT_EQ(found.ok, c.ok);
            EXPECT_EQ(found.size, found.ok == 1 ? 0U : 0xBEEFU);
        }
    }
}

// Each hostile value written at pos over a PE32+ image with a table.
TEST(LocateTable, HostileFields) {
    const BuiltPe pe = WithTable(true);
    const uint64_t n = pe.bytes.size();
    const uint64_t e = pe.layout.e;
    const uint64_t d = pe.layout.directory;
    const auto le32 = [](uint64_t value) {
        Bytes bytes(4);
        PutLe32(bytes, 0, static_cast<uint32_t>(value));
        return bytes;
    };
    const auto entry = [&](uint64_t offset, uint64_t size) {
        return Concat({le32(offset), le32(size)});
    };
    const struct {
        const char* name;
        uint64_t pos;
        Bytes bytes;
        int ok;
    } cases[] = {
        {"ZM", 0, FromText("ZM"), 0},
        {"MA", 0, FromText("MA"), 0},
        {"e_lfanew 0xFFFFFFE8 (e + 24 wraps to 0 in 32 bits)", 60, le32(0xFFFFFFE8u), 0},
        {"e_lfanew size - 24 (signature fits, magic does not)", 60, le32(n - 24), 0},
        {"PE with a non-zero fourth byte", e + 3, FromHex("01"), 0},
        {"PF", e, FromText("PF"), 0},
        {"magic 0x0107 (ROM)", pe.layout.optional_header, FromHex("0701"), 0},
        {"table ends exactly at the end", d, entry(n - 64, 64), 1},
        {"table ends one byte past the end", d, entry(n - 64, 65), 0},
        {"table starts right after the directory entry", d, entry(d + 8, 8), 1},
        {"table starts one byte inside the directory entry", d, entry(d + 7, 8), 0},
        {"offset + size wraps in 32 bits", d, entry(0xFFFFFFF8u, 0x10), 0},
        {"size 0 with a huge offset", d, entry(0xFFFFFFFFu, 0), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes image = pe.bytes;
        std::copy(c.bytes.begin(), c.bytes.end(), image.begin() + static_cast<long>(c.pos));
        const Located found = Locate(image, image.size());
        EXPECT_EQ(found.ok, c.ok);
        if (found.ok == 1 && c.pos == d) {
            EXPECT_EQ(found.offset, GetLe32(c.bytes, 0));
            EXPECT_EQ(found.size, GetLe32(c.bytes, 4));
        }
    }
    uint64_t offset;
    uint64_t size;
    EXPECT_EQ(quorvel_locate_certificate_table(nullptr, 4096, &offset, &size), 0);
}

// Every byte outside CheckSum, the directory entry and the table counts, none inside: both
// formats, with the table in the middle, and with alignment bytes and data after it.
TEST(ImageDigest, CoversEveryByteOutsideTheExcludedRanges) {
    const Bytes table =
        MakeQuorvelEntry(MakePayload(PatternSignature(1), PatternKeyId(1), "d.example"));
    for (const int sample : {0, 1, 2, 3}) {
        SCOPED_TRACE(sample);
        PeBuilder builder(sample < 2);
        builder.AddSection(".text", 0x200, 1);
        if (sample % 2 == 0) {
            builder.AddSection(".data", 0x200, 2)
                .SetCertificateTable(table, TablePlacement::kAfterFirstSection);
        } else {
            builder.SetGap(16).SetCertificateTable(table).SetTrailing(Bytes(40, 0x3C));
        }
        const BuiltPe pe = builder.Build();
        const Bytes& image = pe.bytes;
        const PeLayout& l = pe.layout;
        Digest original{};
        ASSERT_EQ(quorvel_image_digest(image.data(), image.size(), original.data()), QUORVEL_OK);
        EXPECT_EQ(original, ReferenceImageDigest(image));
        Bytes changed = image;
        for (uint64_t i = 0; i < image.size(); ++i) {
            const bool excluded = (i >= l.checksum && i < l.checksum + 4) ||
                                  (i >= l.directory && i < l.directory + 8) ||
                                  (i >= l.table_offset && i < l.table_offset + l.table_size);
            changed[i] ^= 0x01;
            Digest digest{};
            const int status = quorvel_image_digest(changed.data(), changed.size(), digest.data());
            changed[i] ^= 0x01;
            if (status == QUORVEL_OK && (i < l.directory || i >= l.directory + 8)) {
                ASSERT_EQ(digest == original, excluded) << "byte " << i;
            }
        }
    }
    const BuiltPe pe = PeBuilder().Build();
    Digest digest{};
    EXPECT_EQ(quorvel_image_digest(nullptr, 4096, digest.data()), QUORVEL_ERR_NOT_PE);
    EXPECT_EQ(quorvel_image_digest(pe.bytes.data(), pe.bytes.size(), nullptr), QUORVEL_ERR_NOT_PE);
}

Bytes Payload(const char* domain = "table.example", unsigned char seed = 1) {
    return MakePayload(PatternSignature(seed), PatternKeyId(seed), domain);
}

Bytes Entry(const std::function<void(QuorvelEntryFields&)>& change, const Bytes& p = Payload()) {
    QuorvelEntryFields fields;
    change(fields);
    return MakeQuorvelEntry(p, fields);
}

Bytes Unknown(size_t content_bytes, uint16_t revision = 0x0100, uint16_t type = 0x0001) {
    return MakeWinCertificate(revision, type, Bytes(content_bytes, 0x77));
}

// An entry of another kind stating dwLength in a 376-byte table of zero bytes.
Bytes StatedLength(uint32_t length) {
    Bytes table(376, 0);
    PutLe32(table, 0, length);
    PutLe16(table, 4, 0x0100);
    PutLe16(table, 6, 0x0001);
    return table;
}

TEST(FindPayload, EntryRules) {
    const Bytes p = Payload();
    const Bytes good = MakeQuorvelEntry(p);
    const struct {
        const char* name;
        Bytes table;
        int expected;
    } cases[] = {
        {"well-formed", good, QUORVEL_OK},
        {"container version 2 is skipped", Entry([](auto& f) { f.container_version = 2; }),
         QUORVEL_ERR_NO_SIGNATURE},
        {"container version 0 is skipped", Entry([](auto& f) { f.container_version = 0; }),
         QUORVEL_ERR_NO_SIGNATURE},
        {"other magic is skipped", Entry([](auto& f) { f.magic[6] = 'M'; }),
         QUORVEL_ERR_NO_SIGNATURE},
        {"type 0x0011 is skipped", Entry([](auto& f) { f.type = 0x0011; }),
         QUORVEL_ERR_NO_SIGNATURE},
        {"payload length 351", Entry([](auto& f) { f.payload_length = 351; }),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"payload length 353", Entry([](auto& f) { f.payload_length = 353; }),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"dwLength 371", Entry([](auto& f) { f.length = 371; }), QUORVEL_ERR_INVALID_PAYLOAD},
        {"dwLength 373", Entry([](auto& f) { f.length = 373; }), QUORVEL_ERR_INVALID_PAYLOAD},
        {"content of 11 bytes is skipped", Entry([](auto& f) { f.length = 19; }, {}),
         QUORVEL_ERR_NO_SIGNATURE},
        {"content of 12 bytes is too short for a payload",
         Entry([](auto& f) { f.length = 20; }, {}), QUORVEL_ERR_INVALID_PAYLOAD},
        {"bad domain in the payload", MakeQuorvelEntry(Payload("bad\xC0\x80")),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"two Quorvel entries", Concat({good, MakeQuorvelEntry(Payload("b", 2))}),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"version 2 entry, then a version 1 entry",
         Concat({Entry([](auto& f) { f.container_version = 2; }, Payload("x", 4)), good}),
         QUORVEL_OK},
        {"entries of other kinds around it", Concat({Unknown(8), good, Unknown(100)}), QUORVEL_OK},
        {"only other kinds", Concat({Unknown(8), Unknown(0), Unknown(13, 0x0200, 0x0001)}),
         QUORVEL_ERR_NO_SIGNATURE},
        {"entry followed by 8 bytes that are no entry", Concat({good, Bytes(8, 0)}),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"entry, then an empty entry of another kind", Concat({good, Unknown(0)}), QUORVEL_OK},
        {"entry followed by 4 bytes", Concat({good, Bytes(4, 0)}), QUORVEL_ERR_INVALID_PAYLOAD},
        {"dwLength 7", StatedLength(7), QUORVEL_ERR_INVALID_PAYLOAD},
        {"dwLength 8, then zero bytes", StatedLength(8), QUORVEL_ERR_INVALID_PAYLOAD},
        {"dwLength 369 rounds up to the end", StatedLength(369), QUORVEL_ERR_NO_SIGNATURE},
        {"dwLength 376 fills the table", StatedLength(376), QUORVEL_ERR_NO_SIGNATURE},
        {"dwLength 377 runs one byte past", StatedLength(377), QUORVEL_ERR_INVALID_PAYLOAD},
        {"dwLength 0xFFFFFFF9 (rounding wraps in 32 bits)", StatedLength(0xFFFFFFF9u),
         QUORVEL_ERR_INVALID_PAYLOAD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes image =
            PeBuilder().AddSection(".text", 0x400, 3).SetCertificateTable(c.table).Build().bytes;
        quorvel_payload payload;
        std::memset(&payload, 0, sizeof payload);
        ASSERT_EQ(quorvel_find_payload(image.data(), image.size(), &payload), c.expected);
        if (c.expected == QUORVEL_OK) {
            EXPECT_STREQ(payload.domain, "table.example");
        }
    }
}

}  // namespace
}  // namespace quorvel_test
