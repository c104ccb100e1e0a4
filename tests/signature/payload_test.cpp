// The 352-byte payload with the well-formed UTF-8 of its domain, DER headers and the forms of a
// Quorvel attribute value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "quorvel/utf8.h"
#include "quorvel_internal.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"

namespace quorvel_test {
namespace {

struct Range {
    int low, high;
};
struct Row {
    std::vector<Range> bytes;
    uint32_t first, last;  // code points of the all-low and the all-high sequence
};
const Row kTable[] = {
    {{{0x00, 0x7F}}, 0x0, 0x7F},
    {{{0xC2, 0xDF}, {0x80, 0xBF}}, 0x80, 0x7FF},
    {{{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}}, 0x800, 0xFFF},
    {{{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}}, 0x1000, 0xCFFF},
    {{{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}}, 0xD000, 0xD7FF},
    {{{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}}, 0xE000, 0xFFFF},
    {{{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}, 0x10000, 0x3FFFF},
    {{{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}, 0x40000, 0xFFFFF},
    {{{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}, 0x100000, 0x10FFFF},
};

// Bytes of text that fit some row's ranges from the start: the sequence's length when a whole
// row fits, otherwise (returned negated) the maximal subpart, at least 1.
int Expected(const Bytes& text) {
    int longest = 1;
    for (const Row& row : kTable) {
        size_t k = 0;
        while (k < row.bytes.size() && k < text.size() && text[k] >= row.bytes[k].low &&
               text[k] <= row.bytes[k].high) {
            ++k;
        }
        if (k == row.bytes.size()) return static_cast<int>(k);
        if (k > 0) longest = std::max(longest, static_cast<int>(k));
    }
    return -longest;
}

// Every row at both ends, each byte at its bound and one past it, and each sequence cut short.
TEST(Utf8, EveryRowAndBothNeighboursOfEveryBound) {
    for (const Row& row : kTable) {
        for (const bool high : {false, true}) {
            Bytes base;
            for (const Range& r : row.bytes)
                base.push_back(static_cast<unsigned char>(high ? r.high : r.low));
            uint32_t cp = 0;
            size_t consumed = 0;
            ASSERT_EQ(quorvel_utf8_next(base.data(), base.size(), &cp, &consumed), 1)
                << ToHex(base.data(), base.size());
            EXPECT_EQ(cp, high ? row.last : row.first) << ToHex(base.data(), base.size());
            std::vector<Bytes> cases;
            for (size_t k = 0; k < base.size(); ++k) {
                for (const int step : {0, high ? 1 : -1}) {
                    Bytes text = base;
                    const int value = (high ? row.bytes[k].high : row.bytes[k].low) + step;
                    if (value < 0 || value > 0xFF) continue;
                    text[k] = static_cast<unsigned char>(value);
                    cases.push_back(text);
                }
            }
            for (size_t cut = 1; cut < base.size(); ++cut)
                cases.emplace_back(base.begin(), base.begin() + static_cast<long>(cut));
            for (const Bytes& text : cases) {
                SCOPED_TRACE(ToHex(text.data(), text.size()));
                const int expected = Expected(text);
                EXPECT_EQ(quorvel_utf8_next(text.data(), text.size(), &cp, &consumed),
                          expected > 0 ? 1 : 0);
                EXPECT_EQ(static_cast<int>(consumed), expected > 0 ? expected : -expected);
                const bool whole = expected == static_cast<int>(text.size()) && text[0] != 0;
                EXPECT_EQ(quorvel_utf8_valid(text.data(), text.size()), whole ? 1 : 0);
            }
        }
    }
    // The domain rule outside the table.
    const Bytes text = FromHex("61e282ac610062");
    EXPECT_EQ(quorvel_utf8_valid(text.data(), 5), 1);
    EXPECT_EQ(quorvel_utf8_valid(text.data(), 3), 0);  // the length bounds the text
    EXPECT_EQ(quorvel_utf8_valid(text.data(), 0), 1);
    EXPECT_EQ(quorvel_utf8_valid(nullptr, 0), 0);
    EXPECT_EQ(quorvel_utf8_valid(text.data(), text.size()), 0);  // the zero byte
}

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
            MakePayload(PatternSignature(3), PatternKeyId(4),
                        std::string_view(reinterpret_cast<const char*>(c.field.data()), 256));
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
    const Bytes long_form = Concat({FromHex("04820160"), Bytes(352, 1)});
    const struct {
        const char* name;
        Bytes bytes;
        uint64_t available;
        unsigned ok;
        uint64_t content_length;
        uint64_t header_size;
    } cases[] = {
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
    for (const auto& c : cases) {
        unsigned tag = 0;
        uint64_t length = 0;
        uint64_t header = 0;  // all three written only when the header is accepted
        const int ok = quorvel_der_read_header(c.bytes.data(), c.available, &tag, &length, &header);
        EXPECT_EQ(std::tuple(ok, tag, length, header),
                  std::tuple(int(c.ok), 0x04U * c.ok, c.content_length, c.header_size))
            << c.name;
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
