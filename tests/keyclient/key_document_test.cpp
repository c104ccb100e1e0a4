// The key document rules, one row per rule and boundary, and the base64url codec under them.
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>
#include <vector>

#include "keyclient/base64url.h"
#include "keyclient/key_document.h"

namespace {

Bytes32 Counting(unsigned start) {
    Bytes32 value;
    for (auto& b : value) {
        b = static_cast<std::uint8_t>(start++);
    }
    return value;
}

const std::string kKid = Base64UrlEncode(Counting(1));
const std::string kX = Base64UrlEncode(Counting(0));  // "AAECAwQF...HR8"

std::string Jwk(const std::string& kty, const std::string& crv, const std::string& x,
                const std::string& kid) {
    return "{\"kty\":" + kty + ",\"crv\":" + crv + ",\"x\":" + x + ",\"kid\":" + kid + "}";
}
const std::string kJwk = Jwk("\"OKP\"", "\"Ed25519\"", "\"" + kX + "\"", "\"" + kKid + "\"");
std::string Doc(const std::string& jwk, const std::string& state, const std::string& extra = "") {
    return "{\"jwk\":" + jwk + ",\"status\":{\"state\":" + state + "}" + extra + "}";
}
std::string WithJwk(const std::string& jwk) { return Doc(jwk, "\"active\""); }
std::string WithExtra(const std::string& extra) { return Doc(kJwk, "\"active\"", extra); }
const std::string kGood = WithExtra(",\"description\":\"Release key\"");
std::string Nest(std::size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); }

struct Row {
    const char* name;
    std::string body;
    const char* error;              // nullptr: accepted
    std::u16string state = u"-";        // "-": output untouched
    std::u16string description = u"-";  // "-": output untouched
};

// Runs on a 256 KiB stack, as the worker thread would: deep nesting must be refused, not recurse.
void* ParseRows(void* rows) {
    for (Row& row : *static_cast<std::vector<Row>*>(rows)) {
        Bytes32 key;
        key.fill(0x11);
        std::u16string state = u"-";
        std::u16string description = u"-";
        std::string error = "untouched";
        const bool ok = ParseKeyDocument(row.body, kKid, key, &state, &description, &error);
        EXPECT_EQ(ok, row.error == nullptr) << row.name << ": " << error;
        EXPECT_EQ(error, row.error ? row.error : "untouched") << row.name;
        EXPECT_EQ(state, row.state) << row.name;
        EXPECT_EQ(description, row.description) << row.name;
        if (ok) {
            EXPECT_EQ(key, Counting(0)) << row.name;
        }
    }
    return nullptr;
}

TEST(ParseKeyDocument, Rules) {
    const std::string x = "\"" + kX + "\"", kid = "\"" + kKid + "\"", okp = "\"OKP\"",
                      ed = "\"Ed25519\"";
    std::vector<Row> rows = {
        {"good", kGood, nullptr, u"active", u"Release key"},
        {"revoked", Doc(kJwk, "\"revoked\""), nullptr, u"revoked"},
        {"no description", WithExtra(""), nullptr, u"active"},
        {"UTF-8 description, cut at NUL", WithExtra(",\"description\":\"Cl\xC3\xA9\\u0000x\""),
         nullptr, u"active", u"Cl\u00E9"},
        {"whole byte-order mark", "\xEF\xBB\xBF" + kGood, nullptr, u"active", u"Release key"},
        {"NUL after the root", kGood + std::string(1, '\0') + "[[[", nullptr, u"active",
         u"Release key"},
        {"brackets and an escaped quote in a string",
         WithExtra(",\"s\":\"\\\"" + std::string(300, '[') + "\""), nullptr, u"active"},
        {"256 levels", WithExtra(",\"d\":" + Nest(255)), nullptr, u"active"},
        {"257 levels", WithExtra(",\"d\":" + Nest(256)), "invalid JSON"},
        {"65536 bytes of [", std::string(65536, '['), "invalid JSON"},
        {"65536 bytes of {\"a\":", [] { std::string s; while (s.size() < 65530) s += "{\"a\":"; return s; }(),
         "invalid JSON"},
        {"closing brackets do not go below zero", "]]" + kGood, "invalid JSON"},
        {"empty", "", "invalid JSON"},
        {"root array", "[" + kGood + "]", "invalid JSON"},
        {"trailing garbage", kGood + "x", "invalid JSON"},
        {"NUL before the end", kGood.substr(0, 9) + std::string(1, '\0') + kGood.substr(9),
         "invalid JSON"},
        {"first BOM byte only", "\xEF" + kGood, "invalid JSON"},
        {"middle BOM byte first", "\xBB\xBF" + kGood, "invalid JSON"},
        {"last BOM byte first", "\xBF" + kGood, "invalid JSON"},
        {"no jwk", "{\"status\":{\"state\":\"active\"}}", "missing jwk object"},
        {"jwk a string", WithJwk("\"jwk\""), "missing jwk object"},
        {"kty missing", WithJwk("{\"crv\":" + ed + ",\"x\":" + x + ",\"kid\":" + kid + "}"),
         "missing JWK fields"},
        {"crv a number", WithJwk(Jwk(okp, "1", x, kid)), "missing JWK fields"},
        {"x an array", WithJwk(Jwk(okp, ed, "[" + x + "]", kid)), "missing JWK fields"},
        {"kid missing", WithJwk("{\"kty\":" + okp + ",\"crv\":" + ed + ",\"x\":" + x + "}"),
         "missing JWK fields"},
        {"kty okp", WithJwk(Jwk("\"okp\"", ed, x, kid)), "unexpected key type"},
        {"crv X25519", WithJwk(Jwk(okp, "\"X25519\"", x, kid)), "unexpected key type"},
        {"kid one character short", WithJwk(Jwk(okp, ed, x, kid.substr(0, 43) + "\"")),
         "kid mismatch"},
        {"x 42 characters", WithJwk(Jwk(okp, ed, x.substr(0, 43) + "\"", kid)),
         "invalid public key encoding"},
        {"no status", "{\"jwk\":" + kJwk + "}", "missing status object"},
        {"status a string", "{\"jwk\":" + kJwk + ",\"status\":\"active\"}", "missing status object"},
        {"state a number", Doc(kJwk, "1"), "missing status state"},
        {"state Active", Doc(kJwk, "\"Active\""), "invalid status state"},
        {"state revoke", Doc(kJwk, "\"revoke\""), "invalid status state"},
        {"description null", Doc(kJwk, "\"revoked\"", ",\"description\":null"),
         "invalid description", u"revoked"},
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

TEST(Base64Url, AlphabetEdgesDecodeToTheirValues) {
    const std::pair<char, int> edges[] = {{'A', 0},  {'Z', 25}, {'a', 26}, {'z', 51},
                                          {'0', 52}, {'9', 61}, {'-', 62}, {'_', 63}};
    for (const auto& [c, value] : edges) {
        std::string text(43, 'A');
        text[3] = c;  // the fourth value of a group becomes byte 2 as it is
        Bytes32 out;
        out.fill(0xEE);
        ASSERT_TRUE(Base64UrlDecode(text, out)) << c;
        Bytes32 expected{};
        expected[2] = static_cast<std::uint8_t>(value);
        EXPECT_EQ(out, expected) << c;
    }
}

TEST(Base64Url, RefusedTexts) {
    const std::string good = kX;
    const std::string rows[] = {
        "", "A", good.substr(0, 40), good.substr(0, 41), good.substr(0, 42), good + "A",
        good + "AA", good + "AAA", good + "AAAAA", good + "=",
        good.substr(0, 42) + "@", good.substr(0, 42) + "[", good.substr(0, 42) + "`",
        good.substr(0, 42) + "{", good.substr(0, 42) + "/", good.substr(0, 42) + ":",
        good.substr(0, 42) + "+", good.substr(0, 42) + "\x80",
    };
    for (const std::string& text : rows) {
        Bytes32 out{};
        EXPECT_FALSE(Base64UrlDecode(text, out)) << "\"" << text << "\"";
    }
}

}  // namespace
