// The Quorvel attribute on the first signer of Authenticode entries, against messages made with
// OpenSSL, and the native PKCS#7 decoder under it: values handed over as the message holds them,
// BER forms of the message followed, OpenSSL's error queue left as it was found.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <algorithm>
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

int Find(const Bytes& table) {
    const Bytes image =
        PeBuilder().AddSection(".text", 0x400, 3).SetCertificateTable(table).Build().bytes;
    quorvel_payload payload;
    const int status = quorvel_find_payload(image.data(), image.size(), &payload);
    EXPECT_TRUE(status != QUORVEL_OK || std::string(payload.domain) == "authenticode.example");
    return status;
}

int FindIn(const Bytes& der) { return Find(MakeAuthenticodeEntry(der)); }

// An Authenticode entry whose one signer has these unauthenticated attributes.
Bytes Entry(std::vector<AttributeSpec> attributes) {
    return MakeAuthenticodeEntry(OneSigner(std::move(attributes)));
}

TEST(AuthenticodePayload, FilesWithAuthenticodeEntries) {
    const Bytes good = DerOctetString(Payload());
    const Bytes with_good = Entry({Quorvel({good})});
    const Bytes with_bad = Entry({Quorvel({DerNull()})});
    const Bytes plain = Entry({});
    const Bytes der = OneSigner({Quorvel({good})});
    // DER sorts the signers by encoding: the second one gets a longer attribute.
    const SignerSpec longer{{AttributeSpec{"1.2.3.4", {DerOctetString(Bytes(600, 0x11))}}}};
    const struct {
        const char* name;
        Bytes table;
        int expected;
    } cases[] = {
        {"OCTET STRING value", with_good, QUORVEL_OK},
        {"a NULL", with_bad, QUORVEL_ERR_INVALID_PAYLOAD},
        {"bad value, then a good one", Entry({Quorvel({DerNull(), good})}), QUORVEL_OK},
        {"bad attribute, then a good one", Entry({Quorvel({DerNull()}), Quorvel({good})}),
         QUORVEL_OK},
        {"identifier one arc longer",
         Entry({AttributeSpec{kQuorvelPayloadOid + std::string(".1"), {good}}}),
         QUORVEL_ERR_NO_SIGNATURE},
        {"only the second signer has it",
         MakeAuthenticodeEntry(MakeSignedData({SignerSpec{}, SignerSpec{{Quorvel({good})}}})),
         QUORVEL_ERR_NO_SIGNATURE},
        {"only a nested signature has it", MakeAuthenticodeEntry(MakeSignedDataWithNested(der)),
         QUORVEL_ERR_NO_SIGNATURE},
        {"the first of two signers has it",
         MakeAuthenticodeEntry(MakeSignedData({SignerSpec{{Quorvel({good})}}, longer})),
         QUORVEL_OK},
        {"revision 1.0", MakeWinCertificate(0x0100, 0x0002, der), QUORVEL_ERR_NO_SIGNATURE},
        {"type X.509", MakeWinCertificate(0x0200, 0x0001, der), QUORVEL_ERR_NO_SIGNATURE},
        {"Quorvel entry, then Authenticode payload",
         Concat({MakeQuorvelEntry(Payload("e", 7)), with_good}), QUORVEL_ERR_INVALID_PAYLOAD},
        {"bad values, then a plain signature", Concat({with_bad, plain}),
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"bad values, then a Quorvel entry", Concat({with_bad, MakeQuorvelEntry(Payload())}),
         QUORVEL_OK},
        {"payload beside a plain signature", Concat({plain, with_good}), QUORVEL_OK},
        {"undecodable message", MakeWinCertificate(0x0200, 0x0002, Bytes(40, 0x30)),
         QUORVEL_ERR_NO_SIGNATURE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Find(c.table), c.expected) << c.name;
    }
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
// indefinite length at every level; elements off the path stay as they were.
Bytes Rewrite(const Tlv& tlv, unsigned level) {
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
            Append(content, on_path ? Rewrite(children[i], level + 1)
                                    : DerTlv(children[i].tag, children[i].content));
        }
    }
    return Concat({Bytes{tlv.tag, 0x80}, content, Bytes{0x00, 0x00}});
}

// Values as the message holds them, byte for byte (the sizes decide the form, not a
// re-encoding), in encoding order, through BER forms of the message.
TEST(Pkcs7Decoder, ValuesAsTheMessageHoldsThem) {
    const Bytes p = Payload();
    Bytes raw_nonminimal = p;  // 352 bytes that are one OCTET STRING of 347, non-minimal length
    const Bytes header = FromHex("048300015b");
    std::copy(header.begin(), header.end(), raw_nonminimal.begin());
    std::vector<Bytes> integers;  // 0, 1, 2, ... are already in DER's SET OF order
    for (unsigned char i = 0; i < 9; ++i) integers.push_back(DerTlv(0x02, Bytes{i}));
    const std::vector<SeenAttribute> expected = {
        {"1.2.3.4", integers},
        {kQuorvelPayloadOid, {raw_nonminimal}},
        {"1.2.3.5", {DerNull(), DerTlv(0x2b, DerOctetString(p, 5))}},
        {"1.2.3.6", {}}};
    std::vector<AttributeSpec> attributes;
    for (const SeenAttribute& a : expected) attributes.push_back({a.oid, a.values});
    const Bytes der = OneSigner(attributes);
    const Visited reference = VisitAll(der);
    ASSERT_EQ(reference.decoded, 1);
    ASSERT_EQ(reference.attributes.size(), expected.size());
    for (const SeenAttribute& a : expected) {
        EXPECT_EQ(std::count(reference.attributes.begin(), reference.attributes.end(), a), 1)
            << a.oid;
    }
    EXPECT_EQ(VisitAll(der, 1).attributes.size(), 1U) << "the visitor stops";
    EXPECT_EQ(VisitAll(OneSigner({})).decoded, 1);
    EXPECT_EQ(quorvel_pkcs7_visit_signer_attributes(der.data(), der.size(), nullptr, nullptr), 0);
    const Bytes indefinite = Rewrite(Elements(der).at(0), 0);
    const struct {
        const char* name;
        Bytes bytes;
        int decoded;
    } cases[] = {
        {"every level indefinite", indefinite, 1},
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
