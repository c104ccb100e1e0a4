// The native PKCS#7 decoder hands over attribute values as the message holds them, byte for
// byte (not as OpenSSL would encode them again), follows BER forms of the message, and leaves
// OpenSSL's error queue as it found it.
#include "pkcs7_decoder.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "quorvel_internal.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"
#include "quorvel_test/pe_builder.h"

namespace quorvel_test {
namespace {

Bytes Payload() { return MakePayload(PatternSignature(5), PatternKeyId(5), "decoder.example"); }

Bytes OneSigner(std::vector<AttributeSpec> attributes) {
    return MakeSignedData({SignerSpec{std::move(attributes)}});
}

int FindInImage(const Bytes& der) {
    const Bytes image = PeBuilder()
                            .AddSection(".text", 0x400, 3)
                            .SetCertificateTable(MakeAuthenticodeEntry(der))
                            .Build()
                            .bytes;
    quorvel_payload payload;
    return quorvel_find_payload(image.data(), image.size(), &payload);
}

struct SeenAttribute {
    std::string oid;
    std::vector<Bytes> values;
    bool operator==(const SeenAttribute&) const = default;
};

struct Visited {
    int decoded = 0;
    std::vector<SeenAttribute> attributes;
    bool values_inside_message = true;
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
            SeenAttribute attribute{oid ? oid : "(null)", {}};
            const unsigned char* begin = ctx->der->data();
            const unsigned char* end = begin + ctx->der->size();
            for (size_t i = 0; i < count; ++i) {
                if (values[i].bytes < begin || values[i].bytes > end ||
                    values[i].length > static_cast<size_t>(end - values[i].bytes)) {
                    ctx->visited.values_inside_message = false;
                }
                attribute.values.emplace_back(values[i].bytes, values[i].bytes + values[i].length);
            }
            ctx->visited.attributes.push_back(std::move(attribute));
            return ctx->visited.attributes.size() >= ctx->stop_after ? 1 : 0;
        },
        &context);
    return context.visited;
}

TEST(Pkcs7Decoder, GivesFirstSignerAttributesAsCompleteEncodings) {
    const Bytes octets = DerOctetString(Payload());
    const Bytes sequence = DerSequence(Concat({octets}));
    const Bytes der = OneSigner({AttributeSpec{kQuorvelPayloadOid, {octets}},
                                 AttributeSpec{"1.2.3.4.5", {DerNull(), sequence}}});
    const Visited visited = VisitAll(der);
    const std::vector<SeenAttribute>& seen = visited.attributes;
    ASSERT_EQ(visited.decoded, 1);
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
    const Visited visited = VisitAll(OneSigner({AttributeSpec{oid, {DerNull()}}}));
    const auto& seen = visited.attributes;
    ASSERT_EQ(visited.decoded, 1);
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].oid, oid);
}

TEST(Pkcs7Decoder, StopsWhenTheVisitorSaysSo) {
    const Bytes der =
        OneSigner({AttributeSpec{"1.2.3.4", {DerNull()}}, AttributeSpec{"1.2.3.5", {DerNull()}},
                   AttributeSpec{"1.2.3.6", {DerNull()}}});
    EXPECT_EQ(VisitAll(der).attributes.size(), 3U);
    const Visited stopped = VisitAll(der, 1);
    EXPECT_EQ(stopped.attributes.size(), 1U);
    EXPECT_EQ(stopped.decoded, 1);
}

TEST(Pkcs7Decoder, RejectsWhatIsNotSignedData) {
    const Bytes der = OneSigner({});
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
        const Visited visited = VisitAll(c.bytes);
        EXPECT_EQ(visited.decoded, 0) << c.name;
        EXPECT_TRUE(visited.attributes.empty()) << c.name;
    }
    EXPECT_EQ(quorvel_pkcs7_visit_signer_attributes(nullptr, 10, nullptr, nullptr), 0);
}

TEST(Pkcs7Decoder, SignerWithoutUnauthenticatedAttributes) {
    const Visited visited = VisitAll(OneSigner({}));
    EXPECT_TRUE(visited.attributes.empty());
    EXPECT_EQ(visited.decoded, 1);
}

TEST(Pkcs7DecoderValues, AreTheMessagesOwnBytes) {
    const Bytes p = Payload();
    // 352 bytes that are one element, an OCTET STRING of 347 with a non-minimal length.
    Bytes raw_nonminimal = p;
    const Bytes header = FromHex("048300015b");
    std::copy(header.begin(), header.end(), raw_nonminimal.begin());
    // The same with 346 and 348 content bytes: 351 and 353 bytes, no form fits.
    const Bytes short_by_one = Concat({FromHex("048300015a"), Bytes(p.begin() + 6, p.end())});
    const Bytes long_by_one = Concat({FromHex("048300015c"), Bytes(p.begin() + 4, p.end())});
    // A BER constructed OCTET STRING whose two segments hold the payload.
    const Bytes two_segments =
        DerTlv(0x24, Concat({DerOctetString(Bytes(p.begin(), p.begin() + 100)),
                             DerOctetString(Bytes(p.begin() + 100, p.end()))}));
    const Bytes octets = DerOctetString(p);
    struct Case {
        std::string name;
        Bytes value;
        int expected;
    };
    const Case cases[] = {
        {"raw 352 bytes with a non-minimal OCTET STRING header", raw_nonminimal, QUORVEL_OK},
        {"351 bytes with a non-minimal OCTET STRING header", short_by_one,
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"353 bytes with a non-minimal OCTET STRING header", long_by_one,
         QUORVEL_ERR_INVALID_PAYLOAD},
        {"OCTET STRING with a 5-byte length", DerOctetString(p, 5), QUORVEL_OK},
        {"constructed OCTET STRING of two segments", two_segments, QUORVEL_ERR_INVALID_PAYLOAD},
        {"constructed OCTET STRING of one 352-byte segment: wrapped", DerTlv(0x24, octets),
         QUORVEL_OK},
        {"constructed universal tag 11 wrapper", DerTlv(0x2b, octets), QUORVEL_OK},
        {"constructed universal tag 11 wrapper, inner OCTET STRING of 351",
         DerTlv(0x2b, DerOctetString(Bytes(p.begin(), p.end() - 1))), QUORVEL_ERR_INVALID_PAYLOAD},
        {"context-specific [0] wrapper", DerTlv(0xa0, octets), QUORVEL_OK},
        {"private [2] wrapper with a trailing NULL", DerTlv(0xe2, Concat({octets, DerNull()})),
         QUORVEL_OK},
        {"SEQUENCE wrapper with an indefinite length",
         Concat({FromHex("3080"), octets, FromHex("0000")}), QUORVEL_ERR_INVALID_PAYLOAD},
        {"tag 11 wrapper with an indefinite length",
         Concat({FromHex("2b80"), octets, FromHex("0000")}), QUORVEL_ERR_INVALID_PAYLOAD},
        {"primitive tag 11 holding the OCTET STRING", DerTlv(0x0b, octets),
         QUORVEL_ERR_INVALID_PAYLOAD},
    };
    for (const Case& c : cases) {
        const Bytes der = OneSigner(
            {AttributeSpec{kQuorvelPayloadOid, {c.value}}, AttributeSpec{"1.2.3.4", {DerNull()}}});
        const Visited visited = VisitAll(der);
        ASSERT_EQ(visited.decoded, 1) << c.name;
        EXPECT_TRUE(visited.values_inside_message) << c.name;
        bool found = false;
        for (const SeenAttribute& attribute : visited.attributes) {
            if (attribute.oid == kQuorvelPayloadOid) {
                found = true;
                ASSERT_EQ(attribute.values.size(), 1U) << c.name;
                const Bytes& given = attribute.values[0];
                EXPECT_TRUE(given == c.value)
                    << c.name << ": handed over " << given.size() << " bytes starting "
                    << ToHex(given.data(), std::min<size_t>(given.size(), 8))
                    << ", the message has " << c.value.size() << " bytes starting "
                    << ToHex(c.value.data(), 8);
            }
        }
        EXPECT_TRUE(found) << c.name;
        EXPECT_EQ(FindInImage(der), c.expected) << c.name;
    }
}

TEST(Pkcs7DecoderValues, ManyValuesInEncodingOrder) {
    // INTEGERs 0, 1, 2, ... are already in DER's SET OF order.
    for (size_t count : {size_t{0}, size_t{1}, size_t{8}, size_t{9}, size_t{40}}) {
        std::vector<Bytes> values;
        for (size_t i = 0; i < count; ++i) {
            values.push_back(DerTlv(0x02, Bytes{static_cast<unsigned char>(i)}));
        }
        const Visited visited = VisitAll(OneSigner({AttributeSpec{"1.2.3.4", values}}));
        ASSERT_EQ(visited.decoded, 1) << count << " values";
        ASSERT_EQ(visited.attributes.size(), 1U) << count << " values";
        EXPECT_EQ(visited.attributes[0].oid, "1.2.3.4") << count << " values";
        EXPECT_EQ(visited.attributes[0].values, values) << count << " values";
    }
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
        if (content.size() - pos < 2 || (content[pos] & 0x1f) == 0x1f) {
            throw std::runtime_error("unexpected DER");
        }
        const unsigned char tag = content[pos++];
        size_t length = content[pos++];
        if (length >= 0x80) {
            const size_t count = length & 0x7f;
            if (count == 0 || count > 4 || content.size() - pos < count) {
                throw std::runtime_error("unexpected DER length");
            }
            length = 0;
            for (size_t i = 0; i < count; ++i) length = length * 256 + content[pos++];
        }
        if (content.size() - pos < length) throw std::runtime_error("DER runs past its parent");
        out.push_back({tag, Bytes(content.begin() + static_cast<long>(pos),
                                  content.begin() + static_cast<long>(pos + length))});
        pos += length;
    }
    return out;
}

enum class LengthForm { kIndefinite, kLongNonMinimal };

Bytes Encode(unsigned char tag, const Bytes& content, LengthForm form) {
    if (form == LengthForm::kIndefinite) {
        return Concat({Bytes{tag, 0x80}, content, Bytes{0x00, 0x00}});
    }
    // OpenSSL's header reader wants one more byte after a long-form length, so an empty
    // element with one cannot end its parent: empty elements keep the short form.
    return DerTlv(tag, content, content.empty() ? 0 : 6);  // 0x86 0x00 0x00 ...
}

// Levels along the path from the ContentInfo to the values of each unauthenticated attribute.
enum Level : unsigned {
    kContentInfo = 1U << 0,
    kExplicitContent = 1U << 1,
    kSignedData = 1U << 2,
    kSignerInfos = 1U << 3,
    kSignerInfo = 1U << 4,
    kUnauthenticated = 1U << 5,
    kAttribute = 1U << 6,
    kValueSet = 1U << 7,
    kEveryLevel = 0xffU,
};

// Re-encodes tlv (at path level `level`, 0 = ContentInfo) with the given form for every level
// in `levels`; everything off the path, and the values themselves, stay as they were.
Bytes Rewrite(const Tlv& tlv, unsigned level, unsigned levels, LengthForm form) {
    Bytes content;
    if (level == 7) {
        content = tlv.content;  // the values
    } else {
        const std::vector<Tlv> children = Elements(tlv.content);
        for (size_t i = 0; i < children.size(); ++i) {
            const bool last = i + 1 == children.size();
            const bool on_path = (level == 0 && i == 1) || (level == 1 && i == 0) ||
                                 (level == 2 && last) || (level == 3 && i == 0) ||
                                 (level == 4 && last && children[i].tag == 0xa1) || level == 5 ||
                                 (level == 6 && i == 1);
            Append(content, on_path ? Rewrite(children[i], level + 1, levels, form)
                                    : DerTlv(children[i].tag, children[i].content));
        }
    }
    if ((levels & (1U << level)) != 0) {
        return Encode(tlv.tag, content, form);
    }
    return DerTlv(tlv.tag, content);
}

Bytes RewriteMessage(const Bytes& der, unsigned levels, LengthForm form) {
    const std::vector<Tlv> top = Elements(der);
    if (top.size() != 1) throw std::runtime_error("one ContentInfo expected");
    return Rewrite(top[0], 0, levels, form);
}

TEST(Pkcs7DecoderMessage, BerLengthFormsAlongThePath) {
    const Bytes p = Payload();
    const Bytes der =
        OneSigner({AttributeSpec{"1.2.3.4", {DerNull(), DerTlv(0x02, {7})}},
                   AttributeSpec{kQuorvelPayloadOid, {DerTlv(0x2b, DerOctetString(p))}},
                   AttributeSpec{"1.2.3.5", {}}});
    const Visited reference = VisitAll(der);
    ASSERT_EQ(reference.decoded, 1);
    ASSERT_EQ(reference.attributes.size(), 3U);
    ASSERT_EQ(RewriteMessage(der, 0, LengthForm::kIndefinite), der) << "the rewriter is not exact";

    struct Case {
        std::string name;
        unsigned levels;
        LengthForm form;
    };
    const Case cases[] = {
        {"every level indefinite", kEveryLevel, LengthForm::kIndefinite},
        {"ContentInfo indefinite", kContentInfo, LengthForm::kIndefinite},
        {"explicit [0] indefinite", kExplicitContent, LengthForm::kIndefinite},
        {"SignedData indefinite", kSignedData, LengthForm::kIndefinite},
        {"signerInfos indefinite", kSignerInfos, LengthForm::kIndefinite},
        {"SignerInfo indefinite", kSignerInfo, LengthForm::kIndefinite},
        {"unauthenticated attributes indefinite", kUnauthenticated, LengthForm::kIndefinite},
        {"each Attribute indefinite", kAttribute, LengthForm::kIndefinite},
        {"each SET of values indefinite", kValueSet, LengthForm::kIndefinite},
        {"every level with 6-byte lengths", kEveryLevel, LengthForm::kLongNonMinimal},
        {"SignerInfo and values with 6-byte lengths", kSignerInfo | kValueSet,
         LengthForm::kLongNonMinimal},
    };
    for (const Case& c : cases) {
        const Bytes ber = RewriteMessage(der, c.levels, c.form);
        ASSERT_NE(ber, der) << c.name;
        const Visited visited = VisitAll(ber);
        EXPECT_EQ(visited.decoded, 1) << c.name;
        EXPECT_TRUE(visited.values_inside_message) << c.name;
        EXPECT_EQ(visited.attributes, reference.attributes) << c.name;
        EXPECT_EQ(FindInImage(ber), QUORVEL_OK) << c.name;
    }
}

Bytes ReplaceOnce(const Bytes& bytes, const Bytes& from, const Bytes& to) {
    const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    if (at == bytes.end() ||
        std::search(at + 1, bytes.end(), from.begin(), from.end()) != bytes.end()) {
        throw std::runtime_error("pattern not found exactly once");
    }
    Bytes out(bytes.begin(), at);
    Append(out, to);
    out.insert(out.end(), at + static_cast<long>(from.size()), bytes.end());
    return out;
}

TEST(Pkcs7DecoderMessage, EmptyLongFormElementBeforeAnEndOfContents) {
    // The empty SET of values of 1.2.3.5 written 31 86 00 00 00 00 00 00 as the last element of
    // an indefinite-length Attribute: OpenSSL reads that header with the end-of-contents octets
    // in view; so must the walk, or the whole message would be passed over.
    const Bytes der = OneSigner({AttributeSpec{"1.2.3.5", {}},
                                 AttributeSpec{kQuorvelPayloadOid, {DerOctetString(Payload())}}});
    const Visited reference = VisitAll(der);
    ASSERT_EQ(reference.decoded, 1);
    const Bytes ber = RewriteMessage(der, kEveryLevel & ~kValueSet, LengthForm::kIndefinite);
    struct Case {
        std::string name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"short form", ber},
        {"6-byte length",
         ReplaceOnce(ber, FromHex("06032a03053100"), FromHex("06032a03053186000000000000"))},
    };
    for (const Case& c : cases) {
        const Visited visited = VisitAll(c.bytes);
        EXPECT_EQ(visited.decoded, 1) << c.name;
        EXPECT_EQ(visited.attributes, reference.attributes) << c.name;
        EXPECT_EQ(FindInImage(c.bytes), QUORVEL_OK) << c.name;
    }
}

TEST(Pkcs7DecoderMessage, TrailingBytesAfterTheMessageAreIgnored) {
    const Bytes der = OneSigner({AttributeSpec{kQuorvelPayloadOid, {DerOctetString(Payload())}}});
    const Visited reference = VisitAll(der);
    ASSERT_EQ(reference.decoded, 1);
    for (size_t extra : {size_t{1}, size_t{7}, size_t{300}}) {
        const Visited visited = VisitAll(Concat({der, Bytes(extra, 0)}));
        EXPECT_EQ(visited.decoded, 1) << extra << " zero bytes";
        EXPECT_EQ(visited.attributes, reference.attributes) << extra << " zero bytes";
    }
}

TEST(Pkcs7DecoderMessage, IndefiniteLengthsMustBeClosed) {
    const Bytes der = OneSigner({AttributeSpec{"1.2.3.4", {DerNull()}}});
    const Bytes ber = RewriteMessage(der, kEveryLevel, LengthForm::kIndefinite);
    ASSERT_EQ(VisitAll(ber).decoded, 1);
    // Without its last end-of-contents octets the outer element is not closed.
    struct Case {
        std::string name;
        Bytes bytes;
        int expected;
    };
    const Case cases[] = {
        {"complete", ber, 1},
        {"last end-of-contents missing", Bytes(ber.begin(), ber.end() - 2), 0},
        {"last byte missing", Bytes(ber.begin(), ber.end() - 1), 0},
    };
    for (const Case& c : cases) {
        const Visited visited = VisitAll(c.bytes);
        EXPECT_EQ(visited.decoded, c.expected) << c.name;
        if (c.expected == 0) {
            EXPECT_TRUE(visited.attributes.empty()) << c.name;
        }
    }
}

// --- OpenSSL's error queue ---------------------------------------------------------------

TEST(Pkcs7DecoderErrors, QueueIsLeftAsItWasFound) {
    const Bytes good = OneSigner({AttributeSpec{kQuorvelPayloadOid, {DerNull()}}});
    const Bytes ber = RewriteMessage(good, kEveryLevel, LengthForm::kIndefinite);
    struct Case {
        std::string name;
        Bytes bytes;
        int expected;
    };
    const Case cases[] = {
        {"garbage", Bytes(64, 0x30), 0},
        {"truncated message", Bytes(good.begin(), good.end() - 20), 0},
        {"a NULL", DerNull(), 0},
        {"header claiming more than there is", FromHex("3084ffffffff0000"), 0},
        {"unclosed indefinite message", Bytes(ber.begin(), ber.end() - 2), 0},
        {"good message", good, 1},
        {"good BER message", ber, 1},
    };
    for (const Case& c : cases) {
        ERR_clear_error();
        EXPECT_EQ(VisitAll(c.bytes).decoded, c.expected) << c.name;
        EXPECT_EQ(ERR_peek_error(), 0UL) << c.name << ": entries left in an empty queue";

        // An entry the caller had before stays, and nothing is added above it.
        ERR_clear_error();
        ERR_raise(ERR_LIB_USER, 42);
        const unsigned long own = ERR_peek_last_error();
        EXPECT_EQ(VisitAll(c.bytes).decoded, c.expected) << c.name;
        EXPECT_EQ(ERR_get_error(), own) << c.name << ": the caller's entry";
        EXPECT_EQ(ERR_get_error(), 0UL) << c.name << ": entries added above the caller's";
        ERR_clear_error();
    }
}

}  // namespace
}  // namespace quorvel_test
