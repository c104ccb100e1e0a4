// The walk over the certificate table and the library's own entry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "quorvel_internal.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"

namespace quorvel_test {
namespace {

Bytes Payload(const char* domain = "table.example", unsigned char seed = 1) {
    return MakePayload(PatternSignature(seed), PatternKeyId(seed), domain);
}

Bytes Table(std::initializer_list<Bytes> entries) {
    Bytes table;
    for (const Bytes& entry : entries) Append(table, entry);
    return table;
}

Bytes Image(const Bytes& table, bool pe32plus = true) {
    return PeBuilder(pe32plus)
        .AddSection(".text", 0x400, 3)
        .SetCertificateTable(table)
        .Build()
        .bytes;
}

int Find(const Bytes& image, quorvel_payload* payload = nullptr) {
    quorvel_payload scratch;
    return quorvel_find_payload(image.data(), image.size(), payload ? payload : &scratch);
}

Bytes Unknown(size_t content_bytes, uint16_t revision = 0x0100, uint16_t type = 0x0001) {
    return MakeWinCertificate(revision, type, Bytes(content_bytes, 0x77));
}

TEST(FindPayload, QuorvelEntryInBothFormats) {
    for (const bool pe32plus : {false, true}) {
        SCOPED_TRACE(pe32plus ? "PE32+" : "PE32");
        const Bytes entry = MakeQuorvelEntry(Payload("both.example", 5));
        ASSERT_EQ(entry.size(), 376U);
        ASSERT_EQ(ToHex(entry.data(), 20),
                  "7401000000031000"
                  "51554f5256454c00"
                  "01006001");
        quorvel_payload payload;
        ASSERT_EQ(Find(Image(entry, pe32plus), &payload), QUORVEL_OK);
        EXPECT_STREQ(payload.domain, "both.example");
        EXPECT_EQ(payload.domain_length, 12U);
        EXPECT_EQ(0, std::memcmp(payload.signature, PatternSignature(5).data(), 64));
        EXPECT_EQ(0, std::memcmp(payload.key_id, PatternKeyId(5).data(), 32));
    }
}

TEST(FindPayload, TableInTheMiddleOfTheFile) {
    const Bytes image =
        PeBuilder()
            .AddSection(".text", 0x400, 3)
            .AddSection(".data", 0x400, 4)
            .SetCertificateTable(MakeQuorvelEntry(Payload()), TablePlacement::kAfterFirstSection)
            .SetTrailing(Bytes(24, 0x99))
            .Build()
            .bytes;
    EXPECT_EQ(Find(image), QUORVEL_OK);
}

TEST(FindPayload, EntryRules) {
    struct Case {
        std::string name;
        Bytes table;
        int expected;
    };
    auto with = [](auto change) {
        QuorvelEntryFields fields;
        change(fields);
        return fields;
    };
    const Bytes p = Payload();
    Bytes padded_payload = p;
    padded_payload.resize(360, 0);
    const Case cases[] = {
        {"well-formed", MakeQuorvelEntry(p), QUORVEL_OK},
        {"container version 2 is skipped",
         MakeQuorvelEntry(p, with([](auto& f) { f.container_version = 2; })),
         QUORVEL_ERR_NO_SIGNATURE},
        {"container version 0 is skipped",
         MakeQuorvelEntry(p, with([](auto& f) { f.container_version = 0; })),
         QUORVEL_ERR_NO_SIGNATURE},
        {"other magic is skipped", MakeQuorvelEntry(p, with([](auto& f) { f.magic[6] = 'M'; })),
         QUORVEL_ERR_NO_SIGNATURE},
        {"magic without its zero byte is skipped",
         MakeQuorvelEntry(p, with([](auto& f) { f.magic[7] = ' '; })), QUORVEL_ERR_NO_SIGNATURE},
        {"type 0x0011 is skipped", MakeQuorvelEntry(p, with([](auto& f) { f.type = 0x0011; })),
         QUORVEL_ERR_NO_SIGNATURE},
        {"type 0x0002 with revision 0x0300 is skipped",
         MakeQuorvelEntry(p, with([](auto& f) { f.type = 0x0002; })), QUORVEL_ERR_NO_SIGNATURE},
        {"payload length 351", MakeQuorvelEntry(p, with([](auto& f) { f.payload_length = 351; })),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"payload length 353", MakeQuorvelEntry(p, with([](auto& f) { f.payload_length = 353; })),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"dwLength 380 with correct fields",
         MakeQuorvelEntry(padded_payload, with([](auto& f) { f.length = 380; })),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"dwLength 371", MakeQuorvelEntry(p, with([](auto& f) { f.length = 371; })),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"dwLength 373", MakeQuorvelEntry(p, with([](auto& f) { f.length = 373; })),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"content of 11 bytes is skipped",
         MakeQuorvelEntry({}, with([](auto& f) { f.length = 19; })), QUORVEL_ERR_NO_SIGNATURE},
        {"content of 12 bytes is too short for a payload",
         MakeQuorvelEntry({}, with([](auto& f) { f.length = 20; })), QUORVEL_ERR_INVALID_PAYLOAD},
        {"bad domain in the payload", MakeQuorvelEntry(Payload("bad\xC0\x80.example")),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"two Quorvel entries", Table({MakeQuorvelEntry(p), MakeQuorvelEntry(Payload("b", 2))}),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"second entry with a bad payload",
         Table({MakeQuorvelEntry(p), MakeQuorvelEntry(Payload("\xFF"))}),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"version 2 entry and a version 1 entry",
         Table({MakeQuorvelEntry(Payload("x", 4), with([](auto& f) { f.container_version = 2; })),
                MakeQuorvelEntry(p)}),
         QUORVEL_OK},
        {"entries of other kinds around it", Table({Unknown(8), MakeQuorvelEntry(p), Unknown(100)}),
         QUORVEL_OK},
        {"only other kinds", Table({Unknown(8), Unknown(0), Unknown(13, 0x0200, 0x0001)}),
         QUORVEL_ERR_NO_SIGNATURE},
        {"Authenticode entry that cannot be decoded",
         Table({MakeWinCertificate(0x0200, 0x0002, Bytes(40, 0x30))}), QUORVEL_ERR_NO_SIGNATURE},
    };
    for (const Case& c : cases) {
        quorvel_payload payload;
        const int status = Find(Image(c.table), &payload);
        EXPECT_EQ(status, c.expected) << c.name;
        if (status == QUORVEL_OK) {
            EXPECT_STREQ(payload.domain, "table.example") << c.name;
        }
    }
}

TEST(FindPayload, EntryLengthsAgainstTheRestOfTheTable) {
    struct Case {
        std::string name;
        uint32_t length;  // dwLength of an entry of another kind in a 376-byte table
        int expected;
    };
    const Case cases[] = {
        {"dwLength 0", 0, QUORVEL_ERR_INVALID_PAYLOAD},
        {"dwLength 7", 7, QUORVEL_ERR_INVALID_PAYLOAD},
        {"dwLength 8 (empty content)", 8, -100},
        {"dwLength 369 rounds up to the end", 369, -100},
        {"dwLength 376 fills the table", 376, -100},
        {"dwLength 377 runs one byte past", 377, QUORVEL_ERR_INVALID_PAYLOAD},
        {"dwLength 0xFFFFFFFF", 0xFFFFFFFFu, QUORVEL_ERR_INVALID_PAYLOAD},
        {"dwLength 0xFFFFFFF9 (rounding wraps in 32 bits)", 0xFFFFFFF9u,
         QUORVEL_ERR_INVALID_PAYLOAD},
    };
    for (const Case& c : cases) {
        Bytes table(376, 0);
        PutLe32(table, 0, c.length);
        PutLe16(table, 4, 0x0100);
        PutLe16(table, 6, 0x0001);
        // Entries that fit are followed by zero bytes which read as a dwLength of 0.
        const int expected = c.expected != -100                ? c.expected
                             : ((c.length + 7) / 8 * 8 == 376) ? QUORVEL_ERR_NO_SIGNATURE
                                                               : QUORVEL_ERR_INVALID_PAYLOAD;
        EXPECT_EQ(Find(Image(table)), expected) << c.name;
    }
}

TEST(FindPayload, TableAlignment) {
    const Bytes entry = MakeQuorvelEntry(Payload());
    BuiltPe pe =
        PeBuilder().AddSection(".text", 0x400, 3).SetGap(8).SetCertificateTable(entry).Build();
    const uint64_t t = pe.layout.table_offset;
    struct Case {
        std::string name;
        uint64_t offset;
        uint64_t size;
        int expected;
    };
    const Case cases[] = {
        {"aligned", t, 376, QUORVEL_OK},
        {"offset 4 more than a multiple of 8", t - 4, 376, QUORVEL_ERR_INVALID_PAYLOAD},
        {"offset 1 more than a multiple of 8", t - 7, 376, QUORVEL_ERR_INVALID_PAYLOAD},
        {"size 372 (not a multiple of 8)", t, 372, QUORVEL_ERR_INVALID_PAYLOAD},
        {"size 380 runs past the end", t, 380, QUORVEL_ERR_NOT_PE},
        {"size 384 runs past the end", t, 384, QUORVEL_ERR_NOT_PE},
        {"size 368 cuts the entry", t, 368, QUORVEL_ERR_INVALID_PAYLOAD},
        {"size 0", t, 0, QUORVEL_ERR_NO_SIGNATURE},
        {"size 4", t, 4, QUORVEL_ERR_INVALID_PAYLOAD},
    };
    for (const Case& c : cases) {
        Bytes image = pe.bytes;
        PutLe32(image, pe.layout.directory, static_cast<uint32_t>(c.offset));
        PutLe32(image, pe.layout.directory + 4, static_cast<uint32_t>(c.size));
        EXPECT_EQ(Find(image), c.expected) << c.name;
    }
}

TEST(FindPayload, EntryTruncatedByTheTableEnd) {
    // A 376-byte Quorvel entry followed by 8 bytes that are not an entry.
    Bytes table = MakeQuorvelEntry(Payload());
    Append(table, Bytes(8, 0));
    EXPECT_EQ(Find(Image(table)), QUORVEL_ERR_INVALID_PAYLOAD);
    // The same 8 bytes as an empty entry of another kind are fine.
    Bytes good = MakeQuorvelEntry(Payload());
    Append(good, Unknown(0));
    EXPECT_EQ(Find(Image(good)), QUORVEL_OK);
}

TEST(FindPayload, HeaderFailuresAreNotPe) {
    Bytes image = Image(MakeQuorvelEntry(Payload()));
    Bytes no_mz = image;
    no_mz[0] = 0;
    EXPECT_EQ(Find(no_mz), QUORVEL_ERR_NOT_PE);
    EXPECT_EQ(Find(Bytes(63, 0)), QUORVEL_ERR_NOT_PE);
    quorvel_payload payload;
    EXPECT_EQ(quorvel_find_payload(nullptr, 0, &payload), QUORVEL_ERR_NOT_PE);
}

TEST(FindPayload, NoTableIsNoSignature) {
    EXPECT_EQ(Find(PeBuilder().AddSection(".text", 0x200, 1).Build().bytes),
              QUORVEL_ERR_NO_SIGNATURE);
}

}  // namespace
}  // namespace quorvel_test
