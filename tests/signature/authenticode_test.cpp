// Authenticode entries: the PKCS#7 decoder seam and the Quorvel attribute on the first
// signer, against messages made with OpenSSL.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pkcs7_decoder.h"
#include "quorvel_internal.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"
#include "quorvel_test/pe_builder.h"

namespace quorvel_test {
namespace {

Bytes Payload(const char* domain = "authenticode.example", unsigned char seed = 1) {
    return MakePayload(PatternSignature(seed), PatternKeyId(seed), domain);
}

Bytes BadPayload() {
    return MakePayload(PatternSignature(2), PatternKeyId(2), std::string(256, 'b'));
}

AttributeSpec Quorvel(std::vector<Bytes> values) { return {kQuorvelPayloadOid, std::move(values)}; }

Bytes OneSigner(std::vector<AttributeSpec> attributes) {
    return MakeSignedData({SignerSpec{std::move(attributes)}});
}

Bytes Image(std::initializer_list<Bytes> entries) {
    Bytes table;
    for (const Bytes& entry : entries) Append(table, entry);
    return PeBuilder().AddSection(".text", 0x400, 3).SetCertificateTable(table).Build().bytes;
}

int Find(const Bytes& image, quorvel_payload* payload = nullptr) {
    quorvel_payload scratch;
    return quorvel_find_payload(image.data(), image.size(), payload ? payload : &scratch);
}

struct SeenAttribute {
    std::string oid;
    std::vector<Bytes> values;
};

std::vector<SeenAttribute> VisitAll(const Bytes& der, int* decoded, size_t stop_after = SIZE_MAX) {
    struct Context {
        std::vector<SeenAttribute> seen;
        size_t stop_after;
    } context{{}, stop_after};
    *decoded = quorvel_pkcs7_visit_signer_attributes(
        der.data(), der.size(),
        [](void* raw, const char* oid, const quorvel_der_value* values, size_t count) -> int {
            auto* ctx = static_cast<Context*>(raw);
            SeenAttribute attribute{oid ? oid : "(null)", {}};
            for (size_t i = 0; i < count; ++i) {
                attribute.values.emplace_back(values[i].bytes, values[i].bytes + values[i].length);
            }
            ctx->seen.push_back(std::move(attribute));
            return ctx->seen.size() >= ctx->stop_after ? 1 : 0;
        },
        &context);
    return context.seen;
}

TEST(Pkcs7Decoder, GivesFirstSignerAttributesAsCompleteEncodings) {
    const Bytes octets = DerOctetString(Payload());
    const Bytes sequence = DerSequence(Concat({octets}));
    const Bytes der =
        OneSigner({Quorvel({octets}), AttributeSpec{"1.2.3.4.5", {DerNull(), sequence}}});
    int decoded = 0;
    const std::vector<SeenAttribute> seen = VisitAll(der, &decoded);
    ASSERT_EQ(decoded, 1);
    ASSERT_EQ(seen.size(), 2U);
    // SET OF is sorted in DER, so look the attributes up by identifier.
    for (const SeenAttribute& attribute : seen) {
        if (attribute.oid == kQuorvelPayloadOid) {
            ASSERT_EQ(attribute.values.size(), 1U);
            EXPECT_EQ(attribute.values[0], octets);
            EXPECT_EQ(ToHex(attribute.values[0].data(), 4), "04820160");
        } else {
            EXPECT_EQ(attribute.oid, "1.2.3.4.5");
            ASSERT_EQ(attribute.values.size(), 2U);
            EXPECT_EQ(attribute.values[0], DerNull());
            EXPECT_EQ(attribute.values[1], sequence);
        }
    }
}

TEST(Pkcs7Decoder, LongIdentifierIsRenderedWhole) {
    const std::string oid =
        "1.3.6.1.4.1.57931.1.1.4294967295.4294967295.4294967295.4294967295."
        "4294967295.4294967295.4294967295.4294967295.4294967295.4294967295.1";
    int decoded = 0;
    const auto seen = VisitAll(OneSigner({AttributeSpec{oid, {DerNull()}}}), &decoded);
    ASSERT_EQ(decoded, 1);
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].oid, oid);
}

TEST(Pkcs7Decoder, StopsWhenTheVisitorSaysSo) {
    const Bytes der =
        OneSigner({AttributeSpec{"1.2.3.4", {DerNull()}}, AttributeSpec{"1.2.3.5", {DerNull()}},
                   AttributeSpec{"1.2.3.6", {DerNull()}}});
    int decoded = 0;
    EXPECT_EQ(VisitAll(der, &decoded).size(), 3U);
    EXPECT_EQ(VisitAll(der, &decoded, 1).size(), 1U);
    EXPECT_EQ(decoded, 1);
}

TEST(Pkcs7Decoder, RejectsWhatIsNotSignedData) {
    const Bytes der = OneSigner({});
    int decoded = 1;
    struct Case {
        std::string name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"garbage", Bytes(64, 0x30)},
        {"truncated message", Bytes(der.begin(), der.end() - 20)},
        {"only the outer header", Bytes(der.begin(), der.begin() + 4)},
        {"a NULL", DerNull()},
    };
    for (const Case& c : cases) {
        const auto seen = VisitAll(c.bytes, &decoded);
        EXPECT_EQ(decoded, 0) << c.name;
        EXPECT_TRUE(seen.empty()) << c.name;
    }
    EXPECT_EQ(quorvel_pkcs7_visit_signer_attributes(nullptr, 10, nullptr, nullptr), 0);
}

TEST(Pkcs7Decoder, SignerWithoutUnauthenticatedAttributes) {
    int decoded = 0;
    EXPECT_TRUE(VisitAll(OneSigner({}), &decoded).empty());
    EXPECT_EQ(decoded, 1);
}

TEST(AuthenticodePayload, ValueForms) {
    const Bytes p = Payload();
    Bytes raw = p;  // 352 bytes that are one well-formed element (an OCTET STRING of 348)
    raw[0] = 0x04;
    raw[1] = 0x82;
    raw[2] = 0x01;
    raw[3] = 0x5C;
    struct Case {
        std::string name;
        std::vector<Bytes> values;
        int expected;
    };
    const Case cases[] = {
        {"OCTET STRING", {DerOctetString(p)}, QUORVEL_OK},
        {"OCTET STRING with a non-minimal length", {DerOctetString(p, 3)}, QUORVEL_OK},
        {"OCTET STRING with 8 length bytes", {DerOctetString(p, 8)}, QUORVEL_OK},
        {"SEQUENCE wrapper with trailing elements",
         {DerSequence(Concat({DerOctetString(p), DerNull()}))},
         QUORVEL_OK},
        {"SET wrapper", {DerSet(DerOctetString(p))}, QUORVEL_OK},
        {"raw 352 bytes", {raw}, QUORVEL_OK},
        {"OCTET STRING of 351 bytes",
         {DerOctetString(Bytes(p.begin(), p.end() - 1))},
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"OCTET STRING with a bad domain",
         {DerOctetString(BadPayload())},
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"a NULL", {DerNull()}, QUORVEL_ERR_INVALID_PAYLOAD},
        {"no values at all", {}, QUORVEL_ERR_INVALID_PAYLOAD},
        {"bad value, then a good one", {DerNull(), DerOctetString(p)}, QUORVEL_OK},
        {"two bad values", {DerNull(), DerOctetString(BadPayload())}, QUORVEL_ERR_INVALID_PAYLOAD},
        {"value with an indefinite length: message undecodable",
         {Concat({FromHex("0480"), p})},
         QUORVEL_ERR_NO_SIGNATURE},
    };
    for (const Case& c : cases) {
        const Bytes image = Image({MakeAuthenticodeEntry(OneSigner({Quorvel(c.values)}))});
        quorvel_payload payload;
        const int status = Find(image, &payload);
        EXPECT_EQ(status, c.expected) << c.name;
        if (status == QUORVEL_OK) {
            EXPECT_STREQ(payload.domain, "authenticode.example") << c.name;
        }
    }
}

TEST(AuthenticodePayload, AttributeSeenIsReportedAndNeverReset) {
    const Bytes bad = OneSigner({Quorvel({DerNull()})});
    const Bytes other =
        OneSigner({AttributeSpec{"1.3.6.1.4.1.57931.1.2", {DerOctetString(Payload())}}});
    quorvel_payload payload;
    int seen = 0;
    EXPECT_EQ(quorvel_find_authenticode_payload(other.data(), other.size(), &payload, &seen), 0);
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(quorvel_find_authenticode_payload(bad.data(), bad.size(), &payload, &seen), 0);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(quorvel_find_authenticode_payload(other.data(), other.size(), &payload, &seen), 0);
    EXPECT_EQ(seen, 1);
}

TEST(AuthenticodePayload, ArgumentLimits) {
    const Bytes der = OneSigner({Quorvel({DerOctetString(Payload())})});
    quorvel_payload payload;
    int seen = 0;
    EXPECT_EQ(quorvel_find_authenticode_payload(der.data(), der.size(), &payload, &seen), 1);
    EXPECT_EQ(quorvel_find_authenticode_payload(nullptr, der.size(), &payload, &seen), 0);
    EXPECT_EQ(quorvel_find_authenticode_payload(der.data(), der.size(), nullptr, &seen), 0);
    EXPECT_EQ(quorvel_find_authenticode_payload(der.data(), der.size(), &payload, nullptr), 0);
    if (sizeof(size_t) > 4) {
        // Refused on the length alone: the decoder never sees the (short) buffer.
        const size_t too_long = static_cast<size_t>(uint64_t{0xFFFFFFFF} + 1);
        seen = 0;
        EXPECT_EQ(quorvel_find_authenticode_payload(der.data(), too_long, &payload, &seen), 0);
        EXPECT_EQ(seen, 0);
    }
}

TEST(AuthenticodePayload, IdentifiersThatAlmostMatchAreIgnored) {
    for (const char* oid :
         {"1.3.6.1.4.1.57931.1", "1.3.6.1.4.1.57931.1.2", "1.3.6.1.4.1.57931.1.1.1",
          "1.3.6.1.4.1.57932.1.1", "1.3.6.1.4.1.311.2.4.1"}) {
        const Bytes image = Image(
            {MakeAuthenticodeEntry(OneSigner({AttributeSpec{oid, {DerOctetString(Payload())}}}))});
        EXPECT_EQ(Find(image), QUORVEL_ERR_NO_SIGNATURE) << oid;
    }
}

TEST(AuthenticodePayload, OnlyTheFirstSignerOfTheOuterMessageCounts) {
    const Bytes good = DerOctetString(Payload());
    const Bytes second_only = MakeSignedData({SignerSpec{}, SignerSpec{{Quorvel({good})}}});
    EXPECT_EQ(Find(Image({MakeAuthenticodeEntry(second_only)})), QUORVEL_ERR_NO_SIGNATURE);

    const Bytes nested = MakeSignedDataWithNested(OneSigner({Quorvel({good})}));
    EXPECT_EQ(Find(Image({MakeAuthenticodeEntry(nested)})), QUORVEL_ERR_NO_SIGNATURE);

    // DER sorts the signers by encoding: the second one gets a longer attribute to stay second.
    const Bytes first = MakeSignedData(
        {SignerSpec{{Quorvel({good})}},
         SignerSpec{{AttributeSpec{"1.2.3.4", {DerOctetString(Bytes(600, 0x11))}}}}});
    EXPECT_EQ(Find(Image({MakeAuthenticodeEntry(first)})), QUORVEL_OK);
}

TEST(AuthenticodePayload, SecondAttributeWithTheIdentifierIsTried) {
    // The first Quorvel attribute has only a bad value; a later one has a good value.
    const Bytes der = OneSigner({Quorvel({DerNull()}), Quorvel({DerOctetString(Payload())})});
    int decoded = 0;
    const auto seen = VisitAll(der, &decoded);
    ASSERT_EQ(seen.size(), 2U);
    ASSERT_EQ(seen[0].values, std::vector<Bytes>{DerNull()}) << "encoding order is not as built";
    EXPECT_EQ(Find(Image({MakeAuthenticodeEntry(der)})), QUORVEL_OK);
}

TEST(AuthenticodePayload, EntryKindMatters) {
    const Bytes der = OneSigner({Quorvel({DerOctetString(Payload())})});
    struct Case {
        std::string name;
        uint16_t revision;
        uint16_t type;
        int expected;
    };
    const Case cases[] = {
        {"revision 2.0, PKCS signed data", 0x0200, 0x0002, QUORVEL_OK},
        {"revision 1.0", 0x0100, 0x0002, QUORVEL_ERR_NO_SIGNATURE},
        {"type X.509", 0x0200, 0x0001, QUORVEL_ERR_NO_SIGNATURE},
        {"type reserved", 0x0200, 0x0003, QUORVEL_ERR_NO_SIGNATURE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Find(Image({MakeWinCertificate(c.revision, c.type, der)})), c.expected) << c.name;
    }
}

TEST(AuthenticodePayload, OnePayloadPerFileWhateverTheContainers) {
    const Bytes quorvel_entry = MakeQuorvelEntry(Payload("entry.example", 7));
    const Bytes authenticode_good =
        MakeAuthenticodeEntry(OneSigner({Quorvel({DerOctetString(Payload("attr.example", 8))})}));
    const Bytes authenticode_bad = MakeAuthenticodeEntry(OneSigner({Quorvel({DerNull()})}));
    const Bytes authenticode_plain = MakeAuthenticodeEntry(OneSigner({}));
    struct Case {
        std::string name;
        Bytes image;
        int expected;
        const char* domain;
    };
    const Case cases[] = {
        {"Quorvel entry, then Authenticode payload", Image({quorvel_entry, authenticode_good}),
         QUORVEL_ERR_INVALID_PAYLOAD, nullptr},
        {"Authenticode payload, then Quorvel entry", Image({authenticode_good, quorvel_entry}),
         QUORVEL_ERR_INVALID_PAYLOAD, nullptr},
        {"two Authenticode payloads", Image({authenticode_good, authenticode_good}),
         QUORVEL_ERR_INVALID_PAYLOAD, nullptr},
        {"Quorvel entry survives a later attribute with bad values",
         Image({quorvel_entry, authenticode_bad}), QUORVEL_OK, "entry.example"},
        {"attribute with bad values, then a Quorvel entry",
         Image({authenticode_bad, quorvel_entry}), QUORVEL_OK, "entry.example"},
        {"Authenticode payload beside a plain signature",
         Image({authenticode_plain, authenticode_good}), QUORVEL_OK, "attr.example"},
        {"plain Authenticode signature only", Image({authenticode_plain}), QUORVEL_ERR_NO_SIGNATURE,
         nullptr},
        {"attribute with bad values only", Image({authenticode_plain, authenticode_bad}),
         QUORVEL_ERR_INVALID_PAYLOAD, nullptr},
    };
    for (const Case& c : cases) {
        quorvel_payload payload;
        const int status = Find(c.image, &payload);
        EXPECT_EQ(status, c.expected) << c.name;
        if (status == QUORVEL_OK && c.domain != nullptr) {
            EXPECT_STREQ(payload.domain, c.domain) << c.name;
        }
    }
}

}  // namespace
}  // namespace quorvel_test
