// DER length forms and the three forms of a Quorvel attribute value.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quorvel_internal.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"

namespace quorvel_test {
namespace {

TEST(DerHeader, LengthForms) {
    struct Case {
        const char* name;
        Bytes bytes;
        int ok;
        uint64_t content_length;
        uint64_t header_size;
    };
    const Case cases[] = {
        {"short form zero", FromHex("0400"), 1, 0, 2},
        {"short form 127 filled", Concat({FromHex("047f"), Bytes(127, 1)}), 1, 127, 2},
        {"short form 127 one byte missing", Concat({FromHex("047f"), Bytes(126, 1)}), 0, 0, 0},
        {"long form 1 byte", Concat({FromHex("048180"), Bytes(128, 1)}), 1, 128, 3},
        {"long form 2 bytes", Concat({FromHex("04820160"), Bytes(352, 1)}), 1, 352, 4},
        {"long form non-minimal 3 bytes", Concat({FromHex("0483000160"), Bytes(352, 1)}), 1, 352,
         5},
        {"long form 8 bytes", Concat({FromHex("04880000000000000160"), Bytes(352, 1)}), 1, 352, 10},
        {"long form 1 byte of zero", FromHex("048100"), 1, 0, 3},
        {"long form count bytes end exactly at the end", FromHex("04820000"), 1, 0, 4},
        {"long form count bytes one past the end", FromHex("048200"), 0, 0, 0},
        {"indefinite form", FromHex("0480000000"), 0, 0, 0},
        {"count 9", FromHex("0489000000000000000000"), 0, 0, 0},
        {"count 127", Concat({FromHex("04ff"), Bytes(200, 0)}), 0, 0, 0},
        {"content ends one past the end", Concat({FromHex("04820160"), Bytes(351, 1)}), 0, 0, 0},
        {"content shorter than the bytes", Concat({FromHex("04820160"), Bytes(353, 1)}), 1, 352, 4},
        {"largest 8-byte length", FromHex("0488ffffffffffffffff"), 0, 0, 0},
        {"8-byte length that wraps when added to the header", FromHex("0488fffffffffffffff6"), 0, 0,
         0},
        {"one byte only", FromHex("04"), 0, 0, 0},
    };
    for (const Case& c : cases) {
        unsigned tag = 0;
        uint64_t length = 0;
        uint64_t header = 0;
        const int ok =
            quorvel_der_read_header(c.bytes.data(), c.bytes.size(), &tag, &length, &header);
        EXPECT_EQ(ok, c.ok) << c.name;
        if (ok == 1 && c.ok == 1) {
            EXPECT_EQ(tag, 0x04U) << c.name;
            EXPECT_EQ(length, c.content_length) << c.name;
            EXPECT_EQ(header, c.header_size) << c.name;
        }
    }
}

TEST(DerHeader, EveryLongFormCountFromOneToEight) {
    const Bytes content(200, 0x42);
    for (unsigned count = 1; count <= 9; ++count) {
        const Bytes element = DerTlv(0x31, content, count);
        unsigned tag = 0;
        uint64_t length = 0;
        uint64_t header = 0;
        const int ok =
            quorvel_der_read_header(element.data(), element.size(), &tag, &length, &header);
        if (count <= 8) {
            ASSERT_EQ(ok, 1) << count << " length bytes";
            EXPECT_EQ(tag, 0x31U) << count << " length bytes";
            EXPECT_EQ(length, 200U) << count << " length bytes";
            EXPECT_EQ(header, 2U + count) << count << " length bytes";
        } else {
            EXPECT_EQ(ok, 0) << count << " length bytes";
        }
    }
}

TEST(DerHeader, AvailableBoundsTheHeaderNotTheBuffer) {
    const Bytes bytes = Concat({FromHex("04820160"), Bytes(352, 1)});
    unsigned tag;
    uint64_t length;
    uint64_t header;
    EXPECT_EQ(quorvel_der_read_header(bytes.data(), 356, &tag, &length, &header), 1);
    EXPECT_EQ(quorvel_der_read_header(bytes.data(), 355, &tag, &length, &header), 0);
    EXPECT_EQ(quorvel_der_read_header(bytes.data(), 3, &tag, &length, &header), 0);
    EXPECT_EQ(quorvel_der_read_header(bytes.data(), 1, &tag, &length, &header), 0);
    EXPECT_EQ(quorvel_der_read_header(bytes.data(), 0, &tag, &length, &header), 0);
}

class PayloadFromValue : public ::testing::Test {
  protected:
    const Bytes payload_ = MakePayload(PatternSignature(9), PatternKeyId(8), "value.example");
    const Bytes bad_payload_ =
        MakePayload(PatternSignature(9), PatternKeyId(8), std::string(256, 'q'));
};

TEST_F(PayloadFromValue, Forms) {
    const Bytes& p = payload_;
    const Bytes octets = DerOctetString(p);
    struct Case {
        std::string name;
        Bytes value;
        int accepted;
    };
    const Case cases[] = {
        {"raw 352 bytes", p, 1},
        {"raw 352 bytes with a bad domain", bad_payload_, 0},
        {"OCTET STRING 04 82 01 60", octets, 1},
        {"OCTET STRING non-minimal 3 length bytes", DerOctetString(p, 3), 1},
        {"OCTET STRING 8 length bytes", DerOctetString(p, 8), 1},
        {"OCTET STRING 9 length bytes", DerOctetString(p, 9), 0},
        {"OCTET STRING followed by one byte", Concat({octets, FromHex("00")}), 0},
        {"OCTET STRING of 351 bytes", DerOctetString(Bytes(p.begin(), p.end() - 1)), 0},
        {"OCTET STRING of 353 bytes", DerOctetString(Concat({p, FromHex("00")})), 0},
        {"OCTET STRING with a bad domain", DerOctetString(bad_payload_), 0},
        {"OCTET STRING indefinite", Concat({FromHex("0480"), p, FromHex("0000")}), 0},
        {"SEQUENCE around the OCTET STRING", DerSequence(octets), 1},
        {"SEQUENCE with trailing elements", DerSequence(Concat({octets, DerNull(), DerNull()})), 1},
        {"SEQUENCE followed by bytes", Concat({DerSequence(octets), FromHex("0500")}), 1},
        {"SET around the OCTET STRING", DerSet(octets), 1},
        {"context-specific constructed [0]", DerTlv(0xA0, octets), 1},
        {"constructed OCTET STRING 0x24", DerTlv(0x24, octets), 1},
        {"SEQUENCE with a non-minimal inner length", DerSequence(DerOctetString(p, 4)), 1},
        {"SEQUENCE with a non-minimal outer length", DerTlv(0x30, octets, 5), 1},
        {"primitive wrapper (PrintableString)", DerTlv(0x13, octets), 0},
        {"primitive wrapper (INTEGER)", DerTlv(0x02, octets), 0},
        {"SEQUENCE whose first element is not an OCTET STRING",
         DerSequence(Concat({DerNull(), octets})), 0},
        {"SEQUENCE around an OCTET STRING of 351",
         DerSequence(DerOctetString(Bytes(p.begin(), p.end() - 1))), 0},
        {"SEQUENCE around an OCTET STRING of 353",
         DerSequence(DerOctetString(Concat({p, FromHex("00")}))), 0},
        {"SEQUENCE around a bad payload", DerSequence(DerOctetString(bad_payload_)), 0},
        {"SEQUENCE too short for the inner OCTET STRING",
         Concat({FromHex("30820163"), Bytes(octets.begin(), octets.end() - 1)}), 0},
        {"SEQUENCE longer than the value", Concat({FromHex("30820165"), octets}), 0},
        {"SEQUENCE of one byte", FromHex("300100"), 0},
        {"empty SEQUENCE", FromHex("3000"), 0},
        {"SEQUENCE with an indefinite inner length", DerSequence(Concat({FromHex("0480"), p})), 0},
        {"one byte", FromHex("04"), 0},
        {"nothing", Bytes{}, 0},
    };
    for (const Case& c : cases) {
        quorvel_payload parsed;
        std::memset(&parsed, 0, sizeof parsed);
        const int accepted = quorvel_payload_from_value(c.value.data(), c.value.size(), &parsed);
        EXPECT_EQ(accepted, c.accepted) << c.name;
        if (accepted == 1) {
            EXPECT_STREQ(parsed.domain, "value.example") << c.name;
            EXPECT_EQ(0, std::memcmp(parsed.signature, p.data(), 64)) << c.name;
        }
    }
}

TEST_F(PayloadFromValue, ThreeHundredFiftyTwoBytesAreAlwaysRaw) {
    // 352 bytes that also read as a well-formed OCTET STRING of 348 bytes: taken as raw.
    Bytes raw = payload_;
    raw[0] = 0x04;
    raw[1] = 0x82;
    raw[2] = 0x01;
    raw[3] = 0x5C;
    quorvel_payload parsed;
    ASSERT_EQ(quorvel_payload_from_value(raw.data(), raw.size(), &parsed), 1);
    EXPECT_EQ(0, std::memcmp(parsed.signature, raw.data(), 64));
}

TEST_F(PayloadFromValue, NullArguments) {
    quorvel_payload parsed;
    EXPECT_EQ(quorvel_payload_from_value(nullptr, 352, &parsed), 0);
    EXPECT_EQ(quorvel_payload_from_value(payload_.data(), payload_.size(), nullptr), 0);
}

}  // namespace
}  // namespace quorvel_test
