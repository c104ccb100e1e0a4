// The key document rules, one row per rule and boundary, and the base64url codec under them.
#include "keyclient/key_document.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <vector>

#include "keyclient/base64url.h"

namespace {

Bytes32 Counting(unsigned start) {
    Bytes32 value;
    for (auto& b : value) {
        b = static_cast<std::uint8_t>(start++);
    }
    return value;
}

const std::string kKid = Base64UrlEncode(Counting(1));
const std::string kX = Base64UrlEncode(Counting(0));
const std::string kGood = R"({"jwk":{"kty":"OKP","crv":"Ed25519","x":")" + kX + R"(","kid":")" +
                          kKid + R"("},"status":{"state":"active"},"description":"Release key"})";

// kGood with the first from replaced by to.
std::string Edit(const std::string& from, const std::string& to) {
    std::string text = kGood;
    return text.replace(text.find(from), from.size(), to);
}
std::string Nest(std::size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); }
const std::string kRelease = R"(,"description":"Release key")";

struct Row {
    const char* name;
    std::string body;
    const char* error;                  // nullptr: accepted
    std::u16string state = u"-";        // "-": output untouched
    std::u16string description = u"-";  // "-": output untouched
};

// Runs on a 256 KiB stack, as the worker thread would: deep nesting must be refused, not recurse.
void* ParseRows(void* rows) {
    for (Row& row : *static_cast<std::vector<Row>*>(rows)) {
        SCOPED_TRACE(row.name);
        Bytes32 key;
        key.fill(0x11);
        std::u16string state = u"-";
        std::u16string description = u"-";
        std::string error = "untouched";
        const bool ok = ParseKeyDocument(row.body, kKid, key, &state, &description, &error);
        EXPECT_EQ(ok, row.error == nullptr) << error;
        EXPECT_EQ(error, row.error ? row.error : "untouched");
        EXPECT_EQ(state, row.state);
        EXPECT_EQ(description, row.description);
        if (ok) {
            EXPECT_EQ(key, Counting(0));
        }
    }
    return nullptr;
}

TEST(ParseKeyDocument, Rules) {
    const std::string x = "\"" + kX + "\"", kid = "\"" + kKid + "\"";
    std::vector<Row> rows = {
        {"good", kGood, nullptr, u"active", u"Release key"},
        {"revoked", Edit("\"active\"", "\"revoked\""), nullptr, u"revoked", u"Release key"},
        {"no description", Edit(kRelease, ""), nullptr, u"active"},
        {"UTF-8 description, cut at NUL", Edit("Release key", "Cl\xC3\xA9\\u0000x"), nullptr,
         u"active", u"Cl\u00E9"},
        {"whole byte-order mark", "\xEF\xBB\xBF" + kGood, nullptr, u"active", u"Release key"},
        {"NUL after the root", kGood + '\0' + "[[[", nullptr, u"active", u"Release key"},
        {"brackets and an escaped quote in a string",
         Edit(kRelease, ",\"s\":\"\\\"" + std::string(300, '[') + "\""), nullptr, u"active"},
        {"256 levels", Edit(kRelease, ",\"d\":" + Nest(255)), nullptr, u"active"},
        {"257 levels", Edit(kRelease, ",\"d\":" + Nest(256)), "invalid JSON"},
        {"65536 bytes of [", std::string(65536, '['), "invalid JSON"},
        {"empty", "", "invalid JSON"},
        {"root array", "[" + kGood + "]", "invalid JSON"},
        {"first byte-order mark byte only", "\xEF" + kGood, "invalid JSON"},
        {"middle byte-order mark byte first", "\xBB\xBF" + kGood, "invalid JSON"},
        {"last byte-order mark byte first", "\xBF" + kGood, "invalid JSON"},
        {"no jwk", Edit("\"jwk\"", "\"JWK\""), "missing jwk object"},
        {"jwk a string", Edit(R"("jwk":{)", R"("jwk":"x","JWK":{)"), "missing jwk object"},
        {"kty missing", Edit("\"kty\"", "\"KTY\""), "missing JWK fields"},
        {"crv a number", Edit("\"Ed25519\"", "1"), "missing JWK fields"},
        {"x an array", Edit(x, "[" + x + "]"), "missing JWK fields"},
        {"kid missing", Edit("\"kid\"", "\"KID\""), "missing JWK fields"},
        {"kty okp", Edit("\"OKP\"", "\"okp\""), "unexpected key type"},
        {"crv X25519", Edit("Ed25519", "X25519"), "unexpected key type"},
        {"kid one character short", Edit(kid, kid.substr(0, 43) + "\""), "kid mismatch"},
        {"x 42 characters", Edit(x, x.substr(0, 43) + "\""), "invalid public key encoding"},
        {"no status", Edit("\"status\"", "\"STATUS\""), "missing status object"},
        {"status a string", Edit(R"({"state":"active"})", "\"active\""), "missing status object"},
        {"state a number", Edit("\"active\"", "1"), "missing status state"},
        {"state Active", Edit("active", "Active"), "invalid status state"},
        {"description null", Edit("\"Release key\"", "null"), "invalid description", u"active"},
    };
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attributes, &ParseRows, &rows), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attributes);
}

TEST(ParseKeyDocument, OutputsAreOptional) {
    Bytes32 key{};
    EXPECT_TRUE(ParseKeyDocument(kGood, kKid, key, nullptr, nullptr, nullptr));
    EXPECT_FALSE(ParseKeyDocument("{", kKid, key, nullptr, nullptr, nullptr));
}

TEST(Base64Url, KnownValuesAndTheFourTextsOfTheLastCharacter) {
    EXPECT_EQ(kX, "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8");
    Bytes32 ones;
    ones.fill(0xFF);
    EXPECT_EQ(Base64UrlEncode(ones), std::string(42, '_') + "8");
    for (const char last : {'8', '9', '-', '_'}) {
        Bytes32 out{};
        EXPECT_TRUE(Base64UrlDecode(std::string(42, '_') + last, out)) << last;
        EXPECT_EQ(out, ones) << last;
    }
    Bytes32 out{};
    ASSERT_TRUE(Base64UrlDecode(std::string(42, '_') + "7", out));
    EXPECT_EQ(out[31], 0xFE);
}

// The edges of each alphabet range, A Z a z 0 9 - _ (values 0 25 26 51 52 61 62 63), in two groups.
TEST(Base64Url, AlphabetEdgesDecodeToTheirValues) {
    Bytes32 out;
    ASSERT_TRUE(Base64UrlDecode("AZaz09-_" + std::string(35, 'A'), out));
    const Bytes32 expected = {0x01, 0x96, 0xB3, 0xD3, 0xDF, 0xBF};
    EXPECT_EQ(out, expected);
}

TEST(Base64Url, RefusedTexts) {
    std::vector<std::string> rows = {"",       kX.substr(0, 40), kX.substr(0, 41), kX.substr(0, 42),
                                     kX + "A", kX + "="};
    for (const char c : std::string("@[`{/:+ \n\x80")) {
        rows.push_back(kX.substr(0, 42) + c);  // the neighbours of each alphabet range, and more
    }
    for (const std::string& text : rows) {
        Bytes32 out{};
        EXPECT_FALSE(Base64UrlDecode(text, out)) << "\"" << text << "\"";
    }
}

}  // namespace
