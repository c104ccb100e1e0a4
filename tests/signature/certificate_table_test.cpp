// The walk over the certificate table and the library's own entry.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "quorvel_internal.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"

namespace quorvel_test {
namespace {

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
