// The Quorvel attribute on the first signer of Authenticode entries, against messages made with
// OpenSSL (the value forms are attribute_value_test's, the decoder pkcs7_decoder_test's).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

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

TEST(AuthenticodePayload, ValueForms) {
    const Bytes p = Payload();
    struct Case {
        std::string name;
        std::vector<Bytes> values;
        int expected;
    };
    const Case cases[] = {
        {"OCTET STRING", {DerOctetString(p)}, QUORVEL_OK},
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
    // (DER puts the NULL's value set first: 31 02 sorts before 31 82.)
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
