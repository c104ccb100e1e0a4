// The key document rules, one row per rule and boundary, and the base64url codec under them.
#include "keyclient/key_document.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <optional>
#include <string>
#include <vector>

#include "keyclient/base64url.h"

namespace {

const Bytes32 kCounting = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                           16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
const std::string kX = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";  // kCounting
const std::string kKid(43, 'K');
const std::string kGood = R"({"jwk":{"kty":"OKP","crv":"Ed25519","x":")" + kX + R"(","kid":")" +
                          kKid + R"("},"status":{"state":"active"},"description":"Release key"})";

// kGood with the first from replaced by to.
std::string Edit(const std::string& from, const std::string& to) {
    std::string text = kGood;
    return text.replace(text.find(from), from.size(), to);
}
const std::string kRelease = R"(,"description":"Release key")";

struct Row {
    const char* name;
    std::string body;
    const char* error;                                // nullptr: accepted
    std::u16string state = u"-", description = u"-";  // "-": output untouched
};

// Runs on a 256 KiB stack, as the worker thread would: deep nesting must be refused, not recurse.
void* ParseRows(void* rows) {
    for (Row& row : *static_cast<std::vector<Row>*>(rows)) {
        SCOPED_TRACE(row.name);
        Bytes32 key{};
        std::u16string state = u"-", description = u"-";
        std::string error = "untouched";
        const bool ok = ParseKeyDocument(row.body, kKid, key, &state, &description, &error);
        EXPECT_EQ(ParseKeyDocument(row.body, kKid, key, nullptr, nullptr, nullptr), ok);
        EXPECT_EQ(ok, row.error == nullptr) << error;
        EXPECT_EQ(error, row.error ? row.error : "untouched");
        EXPECT_EQ(state, row.state);
        EXPECT_EQ(description, row.description);
        EXPECT_TRUE(!ok || key == kCounting) << "the key differs";
    }
    return nullptr;
}

TEST(ParseKeyDocument, Rules) {
    const std::string x = "\"" + kX + "\"", kid = "\"" + kKid + "\"";
    std::vector<Row> rows = {
        {"good", kGood, nullptr, u"active", u"Release key"},
        {"revoked", Edit("\"active\"", "\"revoked\""), nullptr, u"revoked", u"Release key"},
        {"no description", Edit(kRelease, ""), nullptr, u"active"},
        {"UTF-8, cut at NUL", Edit("Release key", "\xC3\xA9\\u0000x"), nullptr, u"active",
         u"\u00E9"},
        {"whole byte-order mark", "\xEF\xBB\xBF" + kGood, nullptr, u"active", u"Release key"},
        {"NUL after the root", kGood + '\0' + "[[[", nullptr, u"active", u"Release key"},
        {"brackets and an escaped quote in a string",
         Edit(kRelease, ",\"s\":\"\\\"" + std::string(300, '[') + "\""), nullptr, u"active"},
        {"256 levels", Edit(kRelease, ",\"d\":" + std::string(255, '[') + std::string(255, ']')),
         nullptr, u"active"},
        {"257 levels", Edit(kRelease, ",\"d\":" + std::string(256, '[') + std::string(256, ']')),
         "invalid JSON"},
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

// Known values, the four texts of the last character, the edges of each alphabet range (A Z a z
// 0 9 - _ are 0 25 26 51 52 61 62 63), then refused lengths and the neighbours of each range.
TEST(Base64Url, Texts) {
    const auto decoded = [](const std::string& text) -> std::optional<Bytes32> {
        Bytes32 out{};
        return Base64UrlDecode(text, out) ? std::optional(out) : std::nullopt;
    };
    Bytes32 ones;
    ones.fill(0xFF);
    const std::string u42(42, '_'), x42 = kX.substr(0, 42);
    EXPECT_EQ(Base64UrlEncode(kCounting), kX);
    EXPECT_EQ(Base64UrlEncode(ones), u42 + "8");
    EXPECT_EQ(decoded(kX), kCounting);
    for (const char last : std::string("89-_")) {
        EXPECT_EQ(decoded(u42 + last), ones) << last;
    }
    EXPECT_EQ(decoded(u42 + "7").value_or(Bytes32{})[31], 0xFE);
    EXPECT_EQ(decoded("AZaz09-_" + std::string(35, 'A')),
              Bytes32({0x01, 0x96, 0xB3, 0xD3, 0xDF, 0xBF}));
    std::vector<std::string> refused = {"",  kX.substr(0, 40), kX.substr(0, 41),
                                        x42, kX + "A",         kX + "="};
    for (const char c : std::string("@[`{/:+ \n\x80")) {
        refused.push_back(x42 + c);
    }
    for (const std::string& text : refused) {
        EXPECT_EQ(decoded(text), std::nullopt) << "\"" << text << "\"";
    }
}

}  // namespace
