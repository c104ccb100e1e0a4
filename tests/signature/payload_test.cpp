// The 352-byte payload, DER headers and the forms of a Quorvel attribute value.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quorvel_internal.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"

namespace quorvel_test {
namespace {

Bytes DomainField(const Bytes& text) {
    Bytes field(kDomainFieldBytes, 0);
    std::copy(text.begin(), text.end(), field.begin());
    return field;
}

TEST(ParsePayload, DomainFieldRules) {
    struct Case {
        const char* name;
        Bytes field;
        int valid;
    };
    Bytes nonzero_after = DomainField(FromText("a.example"));
    nonzero_after[10] = 'x';  // right after the terminating zero
    Bytes nonzero_last = DomainField(FromText("a.example"));
    nonzero_last[255] = 1;
    const Case cases[] = {
        {"empty domain", DomainField({}), 1},
        {"255 bytes then the zero byte", DomainField(Bytes(255, 'd')), 1},
        {"256 non-zero bytes", Bytes(256, 'd'), 0},
        {"non-zero byte right after the zero byte", nonzero_after, 0},
        {"non-zero last byte of the field", nonzero_last, 0},
        {"overlong NUL C0 80", DomainField(FromHex("61c08062")), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes payload =
            MakePayloadWithDomainField(PatternSignature(3), PatternKeyId(4), c.field);
        quorvel_payload parsed;
        std::memset(&parsed, 0x5A, sizeof parsed);
        const quorvel_payload before = parsed;
        ASSERT_EQ(quorvel_parse_payload(payload.data(), payload.size(), &parsed), c.valid);
        if (c.valid == 0) {
            EXPECT_EQ(0, std::memcmp(&parsed, &before, sizeof parsed)) << "output touched";
            continue;
        }
        EXPECT_EQ(parsed.domain_length, std::strlen(parsed.domain));
        EXPECT_EQ(0, std::memcmp(parsed.domain, c.field.data(), 256));
        EXPECT_EQ(0, std::memcmp(parsed.signature, PatternSignature(3).data(), 64));
        EXPECT_EQ(0, std::memcmp(parsed.key_id, PatternKeyId(4).data(), 32));
    }
    const Bytes payload = MakePayload(PatternSignature(1), PatternKeyId(2), "x.example");
    const Bytes longer = Concat({payload, Bytes{0}});
    quorvel_payload parsed;
    EXPECT_EQ(quorvel_parse_payload(payload.data(), 351, &parsed), 0);
    EXPECT_EQ(quorvel_parse_payload(longer.data(), 353, &parsed), 0);
    EXPECT_EQ(quorvel_parse_payload(nullptr, 352, &parsed), 0);
    EXPECT_EQ(quorvel_parse_payload(payload.data(), 352, nullptr), 0);
}

TEST(DerHeader, LengthForms) {
    struct Case {
        const char* name;
        Bytes bytes;
        uint64_t available;
        int ok;
        uint64_t content_length;
        uint64_t header_size;
    };
    const Bytes long_form = Concat({FromHex("04820160"), Bytes(352, 1)});
    const Case cases[] = {
        {"long form 2 bytes", long_form, 356, 1, 352, 4},
        {"long form, one byte of content missing", long_form, 355, 0, 0, 0},
        {"long form 8 bytes", Concat({FromHex("04880000000000000160"), Bytes(352, 1)}), 362, 1, 352,
         10},
        {"count bytes end exactly at the end", FromHex("04820000"), 4, 1, 0, 4},
        {"count bytes one past the end", FromHex("048200"), 3, 0, 0, 0},
        {"indefinite form", FromHex("0480000000"), 5, 0, 0, 0},
        {"count 9", FromHex("0489000000000000000000"), 11, 0, 0, 0},
        {"largest 8-byte length", FromHex("0488ffffffffffffffff"), 10, 0, 0, 0},
        {"one byte only", FromHex("04"), 1, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned tag = 0;
        uint64_t length = 0;
        uint64_t header = 0;
        ASSERT_EQ(quorvel_der_read_header(c.bytes.data(), c.available, &tag, &length, &header),
                  c.ok);
        if (c.ok == 1) {
            EXPECT_EQ(tag, 0x04U);
            EXPECT_EQ(length, c.content_length);
            EXPECT_EQ(header, c.header_size);
        }
    }
}

TEST(PayloadFromValue, Forms) {
    const Bytes p = MakePayload(PatternSignature(9), PatternKeyId(8), "value.example");
    const Bytes bad = MakePayload(PatternSignature(9), PatternKeyId(8), std::string(256, 'q'));
    const Bytes octets = DerOctetString(p);
    const Bytes short_octets = DerOctetString(Bytes(p.begin(), p.end() - 1));
    const Bytes long_octets = DerOctetString(Concat({p, FromHex("00")}));
    // 352 bytes that also read as a well-formed OCTET STRING of 348 bytes: taken as raw.
    Bytes raw_like_der = p;
    std::copy_n(FromHex("0482015c").begin(), 4, raw_like_der.begin());
    struct Case {
        const char* name;
        Bytes value;
        int accepted;
    };
    const Case cases[] = {
        {"raw 352 bytes", p, 1},
        {"raw 352 bytes that read as DER", raw_like_der, 1},
        {"OCTET STRING", octets, 1},
        {"OCTET STRING followed by one byte", Concat({octets, FromHex("00")}), 0},
        {"OCTET STRING of 351 bytes", short_octets, 0},
        {"OCTET STRING of 353 bytes", long_octets, 0},
        {"OCTET STRING with a bad domain", DerOctetString(bad), 0},
        {"SEQUENCE around the OCTET STRING, trailing elements",
         DerSequence(Concat({octets, DerNull()})), 1},
        {"context-specific constructed [0]", DerTlv(0xA0, octets), 1},
        {"primitive wrapper (PrintableString)", DerTlv(0x13, octets), 0},
        {"SEQUENCE whose first element is a NULL", DerSequence(Concat({DerNull(), octets})), 0},
        {"SEQUENCE around an OCTET STRING of 351", DerSequence(short_octets), 0},
        {"SEQUENCE around an OCTET STRING of 353", DerSequence(long_octets), 0},
        {"SEQUENCE around a bad payload", DerSequence(DerOctetString(bad)), 0},
        {"SEQUENCE too short for the inner OCTET STRING",
         Concat({FromHex("30820163"), Bytes(octets.begin(), octets.end() - 1)}), 0},
        {"SEQUENCE of one byte", FromHex("300100"), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        quorvel_payload parsed;
        std::memset(&parsed, 0, sizeof parsed);
        ASSERT_EQ(quorvel_payload_from_value(c.value.data(), c.value.size(), &parsed), c.accepted);
        if (c.accepted == 1) {
            EXPECT_STREQ(parsed.domain, "value.example");
        }
    }
    quorvel_payload parsed;
    EXPECT_EQ(quorvel_payload_from_value(nullptr, 352, &parsed), 0);
    EXPECT_EQ(quorvel_payload_from_value(p.data(), p.size(), nullptr), 0);
}

}  // namespace
}  // namespace quorvel_test
