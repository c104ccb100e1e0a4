// Parsing the 352-byte payload.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quorvel_internal.h"
#include "quorvel_test/cert_entries.h"

namespace quorvel_test {
namespace {

Bytes DomainField(const Bytes& text) {
    Bytes field(kDomainFieldBytes, 0);
    std::copy(text.begin(), text.end(), field.begin());
    return field;
}

TEST(ParsePayload, CopiesEveryField) {
    const Bytes payload = MakePayload(PatternSignature(1), PatternKeyId(2), "sign.example.org");
    quorvel_payload parsed;
    std::memset(&parsed, 0xEE, sizeof parsed);
    ASSERT_EQ(quorvel_parse_payload(payload.data(), payload.size(), &parsed), 1);
    EXPECT_EQ(0, std::memcmp(parsed.signature, PatternSignature(1).data(), 64));
    EXPECT_EQ(0, std::memcmp(parsed.key_id, PatternKeyId(2).data(), 32));
    EXPECT_EQ(parsed.domain_length, 16U);
    EXPECT_STREQ(parsed.domain, "sign.example.org");
    for (size_t i = 16; i < sizeof parsed.domain; ++i) {
        ASSERT_EQ(parsed.domain[i], 0) << "domain byte " << i;
    }
}

TEST(ParsePayload, DomainFieldRules) {
    struct Case {
        std::string name;
        Bytes field;
        int valid;
        uint64_t length;
    };
    Bytes nonzero_after = DomainField(FromText("a.example"));
    nonzero_after[10] = 'x';  // right after the terminating zero
    Bytes nonzero_last = DomainField(FromText("a.example"));
    nonzero_last[255] = 1;
    Bytes full_255 = DomainField(Bytes(255, 'd'));
    const Case cases[] = {
        {"empty domain", DomainField({}), 1, 0},
        {"255 bytes then the zero byte", full_255, 1, 255},
        {"256 non-zero bytes", Bytes(256, 'd'), 0, 0},
        {"non-zero byte right after the zero byte", nonzero_after, 0, 0},
        {"non-zero last byte of the field", nonzero_last, 0, 0},
        {"overlong NUL C0 80", DomainField(FromHex("61c08062")), 0, 0},
        {"surrogate ED A0 80", DomainField(FromHex("eda080")), 0, 0},
        {"truncated sequence before the zero byte", DomainField(FromHex("6162e282")), 0, 0},
        {"internationalised name", DomainField(FromHex("62c3bc636865722e6578616d706c65")), 1, 15},
        {"four-byte character", DomainField(FromHex("f09f9880")), 1, 4},
    };
    for (const Case& c : cases) {
        const Bytes payload =
            MakePayloadWithDomainField(PatternSignature(3), PatternKeyId(4), c.field);
        quorvel_payload parsed;
        std::memset(&parsed, 0, sizeof parsed);
        EXPECT_EQ(quorvel_parse_payload(payload.data(), payload.size(), &parsed), c.valid)
            << c.name;
        if (c.valid == 1) {
            EXPECT_EQ(parsed.domain_length, c.length) << c.name;
            EXPECT_EQ(0, std::memcmp(parsed.domain, c.field.data(), 256)) << c.name;
        }
    }
}

TEST(ParsePayload, LengthMustBeExactly352) {
    const Bytes payload = MakePayload(PatternSignature(1), PatternKeyId(2), "x.example");
    Bytes longer = payload;
    longer.push_back(0);
    quorvel_payload parsed;
    EXPECT_EQ(quorvel_parse_payload(payload.data(), 351, &parsed), 0);
    EXPECT_EQ(quorvel_parse_payload(longer.data(), 353, &parsed), 0);
    EXPECT_EQ(quorvel_parse_payload(payload.data(), 352, &parsed), 1);
    EXPECT_EQ(quorvel_parse_payload(nullptr, 352, &parsed), 0);
    EXPECT_EQ(quorvel_parse_payload(payload.data(), 352, nullptr), 0);
}

TEST(ParsePayload, RejectedPayloadLeavesOutputAlone) {
    const Bytes bad = MakePayload(PatternSignature(1), PatternKeyId(2), std::string(256, 'z'));
    quorvel_payload parsed;
    std::memset(&parsed, 0x5A, sizeof parsed);
    quorvel_payload before = parsed;
    EXPECT_EQ(quorvel_parse_payload(bad.data(), bad.size(), &parsed), 0);
    EXPECT_EQ(0, std::memcmp(&parsed, &before, sizeof parsed));
}

}  // namespace
}  // namespace quorvel_test
