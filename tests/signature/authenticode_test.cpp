// The Quorvel attribute on the first signer of Authenticode entries, against messages made with
// OpenSSL, and the native PKCS#7 decoder under it: values handed over as the message holds them,
// BER forms of the message followed, OpenSSL's error queue left as it was found.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
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

AttributeSpec Quorvel(std::vector<Bytes> values) { return {kQuorvelPayloadOid, std::move(values)}; }

Bytes OneSigner(std::vector<AttributeSpec> attributes) {
    return MakeSignedData({SignerSpec{std::move(attributes)}});
}

int Find(std::initializer_list<Bytes> entries, std::string* domain = nullptr) {
    const Bytes image = PeBuilder()
                            .AddSection(".text", 0x400, 3)
                            .SetCertificateTable(Concat(entries))
                            .Build()
                            .bytes;
    quorvel_payload payload;
    const int status = quorvel_find_payload(image.data(), image.size(), &payload);
    if (domain != nullptr) *domain = status == QUORVEL_OK ? payload.domain : "";
    return status;
}

int FindIn(const Bytes& der) { return Find({MakeAuthenticodeEntry(der)}); }

TEST(AuthenticodePayload, FilesWithAuthenticodeEntries) {
    const Bytes good = DerOctetString(Payload());
    const Bytes quorvel_entry = MakeQuorvelEntry(Payload("entry.example", 7));
    const Bytes with_good = MakeAuthenticodeEntry(OneSigner({Quorvel({good})}));
    const Bytes with_bad = MakeAuthenticodeEntry(OneSigner({Quorvel({DerNull()})}));
    const Bytes plain = MakeAuthenticodeEntry(OneSigner({}));
    const Bytes der = OneSigner({Quorvel({good})});
    const struct {
        const char* name;
        std::vector<Bytes> entries;
        int expected;
        const char* domain;
    } cases[] = {
        {"OCTET STRING value", {with_good}, QUORVEL_OK, "authenticode.example"},
        {"a NULL", {with_bad}, QUORVEL_ERR_INVALID_PAYLOAD, ""},
        {"no values at all",
         {MakeAuthenticodeEntry(OneSigner({Quorvel({})}))},
         QUORVEL_ERR_INVALID_PAYLOAD,
         ""},
        {"bad value, then a good one",
         {MakeAuthenticodeEntry(OneSigner({Quorvel({DerNull(), good})}))},
         QUORVEL_OK,
         "authenticode.example"},
        {"bad attribute, then a good one with the identifier",
         {MakeAuthenticodeEntry(OneSigner({Quorvel({DerNull()}), Quorvel({good})}))},
         QUORVEL_OK,
         "authenticode.example"},
        {"identifier one arc longer",
         {MakeAuthenticodeEntry(OneSigner({AttributeSpec{"1.3.6.1.4.1.57931.1.1.1", {good}}}))},
         QUORVEL_ERR_NO_SIGNATURE,
         ""},
        {"only the second signer has it",
         {MakeAuthenticodeEntry(MakeSignedData({SignerSpec{}, SignerSpec{{Quorvel({good})}}}))},
         QUORVEL_ERR_NO_SIGNATURE,
         ""},
        {"only a nested signature has it",
         {MakeAuthenticodeEntry(MakeSignedDataWithNested(der))},
         QUORVEL_ERR_NO_SIGNATURE,
         ""},
        // DER sorts the signers by encoding: the second one gets a longer attribute.
        {"the first of two signers has it",
         {MakeAuthenticodeEntry(MakeSignedData(
             {SignerSpec{{Quorvel({good})}},
              SignerSpec{{AttributeSpec{"1.2.3.4", {DerOctetString(Bytes(600, 0x11))}}}}}))},
         QUORVEL_OK,
         "authenticode.example"},
        {"revision 1.0", {MakeWinCertificate(0x0100, 0x0002, der)}, QUORVEL_ERR_NO_SIGNATURE, ""},
        {"type X.509", {MakeWinCertificate(0x0200, 0x0001, der)}, QUORVEL_ERR_NO_SIGNATURE, ""},
        {"Quorvel entry, then Authenticode payload",
         {quorvel_entry, with_good},
         QUORVEL_ERR_INVALID_PAYLOAD,
         ""},
        {"two Authenticode payloads", {with_good, with_good}, QUORVEL_ERR_INVALID_PAYLOAD, ""},
        {"attribute with bad values, then a Quorvel entry",
         {with_bad, quorvel_entry},
         QUORVEL_OK,
         "entry.example"},
        {"payload beside a plain signature",
         {plain, with_good},
         QUORVEL_OK,
         "authenticode.example"},
        {"plain signature only", {plain}, QUORVEL_ERR_NO_SIGNATURE, ""},
        {"undecodable message",
         {MakeWinCertificate(0x0200, 0x0002, Bytes(40, 0x30))},
         QUORVEL_ERR_NO_SIGNATURE,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes table;
        for (const Bytes& entry : c.entries) Append(table, entry);
        std::string domain;
        EXPECT_EQ(Find({table}, &domain), c.expected);
        EXPECT_EQ(domain, c.domain);
    }
}

TEST(AuthenticodePayload, AttributeSeenIsReportedAndNeverReset) {
    const Bytes good = OneSigner({Quorvel({DerOctetString(Payload())})});
    const Bytes bad = OneSigner({Quorvel({DerNull()})});
    const Bytes other = OneSigner({AttributeSpec{"1.3.6.1.4.1.57931.1.2", {DerNull()}}});
    quorvel_payload payload;
    int seen = 0;
    EXPECT_EQ(quorvel_find_authenticode_payload(other.data(), other.size(), &payload, &seen), 0);
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(quorvel_find_authenticode_payload(bad.data(), bad.size(), &payload, &seen), 0);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(quorvel_find_authenticode_payload(other.data(), other.size(), &payload, &seen), 0);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(quorvel_find_authenticode_payload(good.data(), good.size(), &payload, &seen), 1);
    EXPECT_EQ(quorvel_find_authenticode_payload(nullptr, good.size(), &payload, &seen), 0);
    EXPECT_EQ(quorvel_find_authenticode_payload(good.data(), good.size(), nullptr, &seen), 0);
    EXPECT_EQ(quorvel_find_authenticode_payload(good.data(), good.size(), &payload, nullptr), 0);
}

struct SeenAttribute {
    std::string oid;
    std::vector<Bytes> values;
    bool operator==(const SeenAttribute&) const = default;
};

struct Visited {
    int decoded = 0;
    std::vector<SeenAttribute> attributes;
};

Visited VisitAll(const Bytes& der, size_t stop_after = SIZE_MAX) {
    struct Context {
        const Bytes* der;
        Visited visited;
        size_t stop_after;
    } context{&der, {}, stop_after};
    context.visited.decoded = quorvel_pkcs7_visit_signer_attributes(
        der.data(), der.size(),
        [](void* raw, const char* oid, const quorvel_der_value* values, size_t count) -> int {
            auto* ctx = static_cast<Context*>(raw);
            SeenAttribute attribute{oid, {}};
            for (size_t i = 0; i < count; ++i) {
                // The values point into the message: outside it they are not its own bytes.
                EXPECT_TRUE(values[i].bytes >= ctx->der->data() &&
                            values[i].bytes + values[i].length <=
                                ctx->der->data() + ctx->der->size());
                attribute.values.emplace_back(values[i].bytes, values[i].bytes + values[i].length);
            }
            ctx->visited.attributes.push_back(std::move(attribute));
            return ctx->visited.attributes.size() >= ctx->stop_after ? 1 : 0;
        },
        &context);
    return context.visited;
}

// Each value as the message holds it: the sizes decide the form, not a re-encoding.
TEST(Pkcs7Decoder, ValuesAreTheMessagesOwnBytes) {
    const Bytes p = Payload();
    Bytes raw_nonminimal = p;  // 352 bytes that are one OCTET STRING of 347, non-minimal length
    const Bytes header = FromHex("048300015b");
    std::copy(header.begin(), header.end(), raw_nonminimal.begin());
    const Bytes octets = DerOctetString(p);
    const struct {
        const char* name;
        Bytes value;
        int expected;
    } cases[] = {
        {"raw 352 bytes with a non-minimal OCTET STRING header", raw_nonminimal, QUORVEL_OK},
        {"351 bytes with a non-minimal OCTET STRING header",
         Concat({FromHex("048300015a"), Bytes(p.begin() + 6, p.end())}),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"OCTET STRING with a 5-byte length", DerOctetString(p, 5), QUORVEL_OK},
        {"constructed OCTET STRING of two segments",
         DerTlv(0x24, Concat({DerOctetString(Bytes(p.begin(), p.begin() + 100)),
                              DerOctetString(Bytes(p.begin() + 100, p.end()))})),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"constructed universal tag 11 wrapper", DerTlv(0x2b, octets), QUORVEL_OK},
        {"SEQUENCE wrapper with an indefinite length",
         Concat({FromHex("3080"), octets, FromHex("0000")}), QUORVEL_ERR_INVALID_PAYLOAD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes der = OneSigner({Quorvel({c.value}), AttributeSpec{"1.2.3.4", {DerNull()}}});
        const Visited visited = VisitAll(der);
        ASSERT_EQ(visited.decoded, 1);
        ASSERT_EQ(visited.attributes.size(), 2U);
        for (const SeenAttribute& attribute : visited.attributes) {
            EXPECT_EQ(attribute.values, attribute.oid == kQuorvelPayloadOid
                                            ? std::vector<Bytes>{c.value}
                                            : std::vector<Bytes>{DerNull()});
        }
        EXPECT_EQ(FindIn(der), c.expected);
    }
}

TEST(Pkcs7Decoder, ManyValuesInOrderAndTheVisitorStops) {
    std::vector<Bytes> values;  // INTEGERs 0, 1, 2, ... are already in DER's SET OF order
    for (unsigned char i = 0; i < 9; ++i) values.push_back(DerTlv(0x02, Bytes{i}));
    const Bytes der = OneSigner({AttributeSpec{"1.2.3.4", values}, AttributeSpec{"1.2.3.5", {}},
                                 AttributeSpec{"1.2.3.6", {}}});
    const Visited visited = VisitAll(der);
    ASSERT_EQ(visited.decoded, 1);
    ASSERT_EQ(visited.attributes.size(), 3U);
    const SeenAttribute all_values{"1.2.3.4", values};
    EXPECT_EQ(std::count(visited.attributes.begin(), visited.attributes.end(), all_values), 1);
    const Visited stopped = VisitAll(der, 1);
    EXPECT_EQ(stopped.decoded, 1);
    EXPECT_EQ(stopped.attributes.size(), 1U);
    EXPECT_EQ(VisitAll(OneSigner({})).decoded, 1);
    EXPECT_EQ(quorvel_pkcs7_visit_signer_attributes(der.data(), der.size(), nullptr, nullptr), 0);
}

// --- BER forms of the message itself ---------------------------------------------------

struct Tlv {
    unsigned char tag;
    Bytes content;
};

// The DER elements of content (single-byte tags, definite lengths, as OpenSSL writes them).
std::vector<Tlv> Elements(const Bytes& content) {
    std::vector<Tlv> out;
    size_t pos = 0;
    while (pos < content.size()) {
        const unsigned char tag = content.at(pos++);
        size_t length = content.at(pos++);
        if (length >= 0x80) {
            const size_t count = length & 0x7f;
            length = 0;
            for (size_t i = 0; i < count; ++i) length = length * 256 + content.at(pos++);
        }
        if (content.size() - pos < length) throw std::runtime_error("DER runs past its parent");
        out.push_back({tag, Bytes(content.begin() + static_cast<long>(pos),
                                  content.begin() + static_cast<long>(pos + length))});
        pos += length;
    }
    return out;
}

// Re-encodes tlv at path level `level` (0 = ContentInfo, ..., 7 = a SET of values) with an
// indefinite length, or a 6-byte one, at every level; elements off the path stay as they were.
Bytes Rewrite(const Tlv& tlv, unsigned level, bool indefinite) {
    Bytes content = tlv.content;
    if (level < 7) {
        content.clear();
        const std::vector<Tlv> children = Elements(tlv.content);
        for (size_t i = 0; i < children.size(); ++i) {
            const bool last = i + 1 == children.size();
            const bool on_path = (level == 0 && i == 1) || (level == 1 && i == 0) ||
                                 (level == 2 && last) || (level == 3 && i == 0) ||
                                 (level == 4 && last && children[i].tag == 0xa1) || level == 5 ||
                                 (level == 6 && i == 1);
            Append(content, on_path ? Rewrite(children[i], level + 1, indefinite)
                                    : DerTlv(children[i].tag, children[i].content));
        }
    }
    if (indefinite) return Concat({Bytes{tlv.tag, 0x80}, content, Bytes{0x00, 0x00}});
    // OpenSSL wants one more byte after a long-form length: empty elements keep the short form.
    return DerTlv(tlv.tag, content, content.empty() ? 0 : 6);
}

TEST(Pkcs7Decoder, BerFormsOfTheMessage) {
    const Bytes der = OneSigner({AttributeSpec{"1.2.3.4", {DerNull(), DerTlv(0x02, {7})}},
                                 Quorvel({DerTlv(0x2b, DerOctetString(Payload()))}),
                                 AttributeSpec{"1.2.3.5", {}}});
    const Visited reference = VisitAll(der);
    ASSERT_EQ(reference.decoded, 1);
    ASSERT_EQ(reference.attributes.size(), 3U);
    const Bytes indefinite = Rewrite(Elements(der).at(0), 0, true);
    const struct {
        const char* name;
        Bytes bytes;
        int decoded;
    } cases[] = {
        {"every level indefinite", indefinite, 1},
        {"every level with 6-byte lengths", Rewrite(Elements(der).at(0), 0, false), 1},
        {"trailing bytes after the message", Concat({der, Bytes(7, 0)}), 1},
        {"last end-of-contents missing", Bytes(indefinite.begin(), indefinite.end() - 2), 0},
        {"last byte missing", Bytes(indefinite.begin(), indefinite.end() - 1), 0},
        {"truncated message", Bytes(der.begin(), der.end() - 20), 0},
        {"header claiming more than there is", FromHex("3084ffffffff0000"), 0},
        {"a NULL", DerNull(), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ERR_clear_error();
        ERR_raise(ERR_LIB_USER, 42);  // the caller's entry stays, nothing is added above it
        const unsigned long own = ERR_peek_last_error();
        const Visited visited = VisitAll(c.bytes);
        EXPECT_EQ(ERR_get_error(), own);
        EXPECT_EQ(ERR_get_error(), 0UL);
        EXPECT_EQ(visited.decoded, c.decoded);
        EXPECT_EQ(visited.attributes,
                  c.decoded == 1 ? reference.attributes : std::vector<SeenAttribute>{});
        EXPECT_EQ(FindIn(c.bytes), c.decoded == 1 ? QUORVEL_OK : QUORVEL_ERR_NO_SIGNATURE);
    }
}

}  // namespace
}  // namespace quorvel_test
