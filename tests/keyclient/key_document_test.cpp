// Parsing and checking of key documents.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdint>
#include <string>
#include <vector>

#include "keyclient/base64url.h"
#include "keyclient/key_document.h"

namespace {

Bytes32 KeyBytes() {
    Bytes32 key;
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return key;
}

Bytes32 KeyIdBytes() {
    Bytes32 id;
    for (std::size_t i = 0; i < id.size(); ++i) {
        id[i] = static_cast<std::uint8_t>(3 * i + 1);
    }
    return id;
}

const std::string kKid = Base64UrlEncode(KeyIdBytes());
const std::string kX = Base64UrlEncode(KeyBytes());

// The jwk object with the given members' raw JSON values.
std::string Jwk(const std::string& kty, const std::string& crv, const std::string& x,
                const std::string& kid) {
    return "{\"kty\":" + kty + ",\"crv\":" + crv + ",\"x\":" + x + ",\"kid\":" + kid + "}";
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

const std::string kGoodJwk = Jwk("\"OKP\"", "\"Ed25519\"", Quoted(kX), Quoted(kKid));

std::string Document(const std::string& jwk, const std::string& status,
                     const std::string& extra = "") {
    return "{\"jwk\":" + jwk + ",\"status\":" + status + extra + "}";
}

const std::string kActive = "{\"state\":\"active\"}";
const std::string kGood = Document(kGoodJwk, kActive, ",\"description\":\"Release key\"");

struct Result {
    bool ok;
    Bytes32 key;
    std::u16string state;
    std::u16string description;
    std::string error;
};

const char16_t kUnsetText[] = u"(unset)";
const char kUnsetError[] = "(untouched)";

Result Parse(const std::string& body, const std::string& kid = kKid) {
    Result r;
    r.key.fill(0x11);
    r.state = kUnsetText;
    r.description = kUnsetText;
    r.error = kUnsetError;
    r.ok = ParseKeyDocument(body, kid, r.key, &r.state, &r.description, &r.error);
    return r;
}

TEST(ParseKeyDocument, AcceptsAGoodDocument) {
    const Result r = Parse(kGood);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.key, KeyBytes());
    EXPECT_EQ(r.state, u"active");
    EXPECT_EQ(r.description, u"Release key");
    EXPECT_EQ(r.error, kUnsetError) << "error output must stay untouched on success";
}

TEST(ParseKeyDocument, AcceptedVariants) {
    struct Case {
        const char* name;
        std::string body;
        std::u16string state;
        std::u16string description;  // kUnsetText when the output must stay as it was
    };
    const std::string jwkExtras = "{\"alg\":\"EdDSA\",\"use\":\"sig\",\"kty\":\"OKP\","
                                  "\"crv\":\"Ed25519\",\"x\":\"" + kX + "\",\"kid\":\"" + kKid +
                                  "\",\"key_ops\":[\"verify\"]}";
    const Case cases[] = {
        {"revoked", Document(kGoodJwk, "{\"state\":\"revoked\"}"), u"revoked", kUnsetText},
        {"no description leaves the output", Document(kGoodJwk, kActive), u"active", kUnsetText},
        {"empty description", Document(kGoodJwk, kActive, ",\"description\":\"\""), u"active",
         u""},
        {"description inside status is not used",
         Document(kGoodJwk, "{\"state\":\"active\",\"description\":\"inner\"}"), u"active",
         kUnsetText},
        {"UTF-8 description", Document(kGoodJwk, kActive, ",\"description\":\"Cl\xC3\xA9 \xF0\x9F\x94\x91\""),
         u"active", u"Cl\u00E9 \U0001F511"},
        {"escaped description", Document(kGoodJwk, kActive, ",\"description\":\"a\\u00e9\\n\\\"b\""),
         u"active", u"a\u00E9\n\"b"},
        {"description cut at \\u0000", Document(kGoodJwk, kActive, ",\"description\":\"ab\\u0000cd\""),
         u"active", u"ab"},
        {"invalid UTF-8 in description", Document(kGoodJwk, kActive, ",\"description\":\"a\xFF" "b\""),
         u"active", u"a\uFFFDb"},
        {"extra members everywhere",
         "{\"version\":1,\"jwk\":" + jwkExtras +
             ",\"status\":{\"state\":\"active\",\"since\":\"2026-01-01\"},\"links\":[1,{}]}",
         u"active", kUnsetText},
        {"byte-order mark", "\xEF\xBB\xBF" + kGood, u"active", u"Release key"},
        {"white space around", " \t\r\n" + kGood + " \n\t\r", u"active", u"Release key"},
        {"NUL after the root ends the text", kGood + std::string(1, '\0') + "garbage", u"active",
         u"Release key"},
        {"members in another order",
         "{\"description\":\"d\",\"status\":" + kActive + ",\"jwk\":{\"kid\":\"" + kKid +
             "\",\"x\":\"" + kX + "\",\"crv\":\"Ed25519\",\"kty\":\"OKP\"}}",
         u"active", u"d"},
        {"duplicate state: first wins",
         Document(kGoodJwk, "{\"state\":\"revoked\",\"state\":\"bogus\"}"), u"revoked",
         kUnsetText},
        {"duplicate description: first wins",
         Document(kGoodJwk, kActive, ",\"description\":\"first\",\"description\":7"), u"active",
         u"first"},
        {"duplicate jwk: first wins",
         Document(kGoodJwk, kActive, ",\"jwk\":\"not an object\""), u"active", kUnsetText},
        {"duplicate kid: first wins",
         Document(Jwk("\"OKP\"", "\"Ed25519\"", Quoted(kX),
                      Quoted(kKid) + ",\"kid\":\"other\""), kActive),
         u"active", kUnsetText},
        {"state cut at \\u0000", Document(kGoodJwk, "{\"state\":\"active\\u0000junk\"}"),
         u"active", kUnsetText},
        {"kid cut at \\u0000", Document(Jwk("\"OKP\"", "\"Ed25519\"", Quoted(kX),
                                            Quoted(kKid + "\\u0000tail")), kActive),
         u"active", kUnsetText},
        {"last character of x with low bits set",
         Document(Jwk("\"OKP\"", "\"Ed25519\"", Quoted(kX.substr(0, 42) + "_"), Quoted(kKid)),
                  kActive),
         u"active", kUnsetText},
        {"a few dozen levels of nesting",
         Document(kGoodJwk, kActive, ",\"deep\":" + std::string(40, '[') + std::string(40, ']')),
         u"active", kUnsetText},
    };
    for (const Case& c : cases) {
        const Result r = Parse(c.body);
        EXPECT_TRUE(r.ok) << c.name << ": " << r.error;
        EXPECT_EQ(r.state, c.state) << c.name;
        EXPECT_EQ(r.description, c.description) << c.name;
        EXPECT_EQ(r.error, kUnsetError) << c.name;
    }
}

TEST(ParseKeyDocument, LastCharacterLowBitsAreIgnoredForTheKey) {
    // x = 42 characters + a character whose two low bits are set decodes to the same key.
    const Result r = Parse(Document(
        Jwk("\"OKP\"", "\"Ed25519\"", Quoted(kX.substr(0, 42) + "_"), Quoted(kKid)), kActive));
    ASSERT_TRUE(r.ok) << r.error;
    Bytes32 expected{};
    ASSERT_TRUE(Base64UrlDecode(kX.substr(0, 42) + "_", expected));
    EXPECT_EQ(r.key, expected);
}

TEST(ParseKeyDocument, EveryFailureMessage) {
    struct Case {
        const char* name;
        std::string body;
        const char* message;
    };
    const std::string okp = "\"OKP\"";
    const std::string ed = "\"Ed25519\"";
    const std::string x = Quoted(kX);
    const std::string kid = Quoted(kKid);
    const Case cases[] = {
        // 1
        {"empty body", "", "invalid JSON"},
        {"only white space", "  \n", "invalid JSON"},
        {"root array", "[" + kGood + "]", "invalid JSON"},
        {"root string", "\"jwk\"", "invalid JSON"},
        {"root number", "42", "invalid JSON"},
        {"root true", "true", "invalid JSON"},
        {"root null", "null", "invalid JSON"},
        {"trailing garbage", kGood + "x", "invalid JSON"},
        {"second JSON value", kGood + "{}", "invalid JSON"},
        {"comment", "/* key */" + kGood, "invalid JSON"},
        {"line comment inside", "{\"jwk\":" + kGoodJwk + ", // x\n\"status\":" + kActive + "}",
         "invalid JSON"},
        {"trailing comma", Document(kGoodJwk, kActive, ","), "invalid JSON"},
        {"trailing comma in array", Document(kGoodJwk, kActive, ",\"a\":[1,]"), "invalid JSON"},
        {"truncated", kGood.substr(0, kGood.size() - 1), "invalid JSON"},
        {"NaN", Document(kGoodJwk, kActive, ",\"n\":NaN"), "invalid JSON"},
        {"Infinity", Document(kGoodJwk, kActive, ",\"n\":Infinity"), "invalid JSON"},
        {"single quotes", "{'jwk':{}}", "invalid JSON"},
        {"raw control character in string",
         Document(kGoodJwk, kActive, ",\"description\":\"a\x01" "b\""), "invalid JSON"},
        {"raw line break in string",
         Document(kGoodJwk, kActive, ",\"description\":\"a\nb\""), "invalid JSON"},
        {"NUL before the end of the root", kGood.substr(0, 10) + std::string(1, '\0') +
                                              kGood.substr(10), "invalid JSON"},
        {"form feed as white space", "\f" + kGood, "invalid JSON"},
        {"BOM twice", "\xEF\xBB\xBF\xEF\xBB\xBF" + kGood, "invalid JSON"},
        {"first BOM byte only", "\xEF" + kGood, "invalid JSON"},
        {"first two BOM bytes", "\xEF\xBB" + kGood, "invalid JSON"},
        {"BOM without its first byte", "\xBB\xBF" + kGood, "invalid JSON"},
        {"last BOM byte only", "\xBF" + kGood, "invalid JSON"},
        {"BOM with its middle byte missing", "\xEF\xBF" + kGood, "invalid JSON"},
        {"BOM bytes in the wrong order", "\xBF\xBB\xEF" + kGood, "invalid JSON"},
        {"BOM after white space", " \xEF\xBB\xBF" + kGood, "invalid JSON"},
        // 2
        {"no jwk", "{\"status\":" + kActive + "}", "missing jwk object"},
        {"empty root object", "{}", "missing jwk object"},
        {"jwk as string", Document("\"jwk\"", kActive), "missing jwk object"},
        {"jwk as array", Document("[]", kActive), "missing jwk object"},
        {"jwk as null", Document("null", kActive), "missing jwk object"},
        {"JWK in other case", "{\"JWK\":" + kGoodJwk + ",\"status\":" + kActive + "}",
         "missing jwk object"},
        // 3
        {"kty absent", Document("{\"crv\":\"Ed25519\",\"x\":" + x + ",\"kid\":" + kid + "}",
                                kActive), "missing JWK fields"},
        {"kty number and crv wrong", Document(Jwk("1", "\"P-256\"", x, kid), kActive),
         "missing JWK fields"},
        {"crv absent", Document("{\"kty\":\"OKP\",\"x\":" + x + ",\"kid\":" + kid + "}", kActive),
         "missing JWK fields"},
        {"x absent", Document("{\"kty\":\"OKP\",\"crv\":\"Ed25519\",\"kid\":" + kid + "}",
                              kActive), "missing JWK fields"},
        {"kid absent", Document("{\"kty\":\"OKP\",\"crv\":\"Ed25519\",\"x\":" + x + "}",
                                kActive), "missing JWK fields"},
        {"crv null", Document(Jwk(okp, "null", x, kid), kActive), "missing JWK fields"},
        {"x array", Document(Jwk(okp, ed, "[\"" + kX + "\"]", kid), kActive),
         "missing JWK fields"},
        {"kid boolean", Document(Jwk(okp, ed, x, "true"), kActive), "missing JWK fields"},
        {"kid number with wrong kty", Document(Jwk("\"RSA\"", ed, x, "5"), kActive),
         "missing JWK fields"},
        {"kid object", Document(Jwk(okp, ed, x, "{}"), kActive), "missing JWK fields"},
        {"Kty in other case", Document("{\"Kty\":\"OKP\",\"crv\":\"Ed25519\",\"x\":" + x +
                                           ",\"kid\":" + kid + "}", kActive),
         "missing JWK fields"},
        // 4
        {"kty lower case", Document(Jwk("\"okp\"", ed, x, kid), kActive), "unexpected key type"},
        {"crv lower case", Document(Jwk(okp, "\"ed25519\"", x, kid), kActive),
         "unexpected key type"},
        {"kty RSA", Document(Jwk("\"RSA\"", ed, x, kid), kActive), "unexpected key type"},
        {"crv X25519", Document(Jwk(okp, "\"X25519\"", x, kid), kActive), "unexpected key type"},
        {"kty with trailing space", Document(Jwk("\"OKP \"", ed, x, kid), kActive),
         "unexpected key type"},
        {"kty one character short", Document(Jwk("\"OK\"", ed, x, kid), kActive),
         "unexpected key type"},
        {"crv cut by \\u0000", Document(Jwk(okp, "\"Ed\\u000025519\"", x, kid), kActive),
         "unexpected key type"},
        {"kty empty", Document(Jwk("\"\"", ed, x, kid), kActive), "unexpected key type"},
        {"key type wrong and kid wrong", Document(Jwk("\"EC\"", ed, x, "\"other\""), kActive),
         "unexpected key type"},
        // 5
        {"kid with padding", Document(Jwk(okp, ed, x, Quoted(kKid + "=")), kActive),
         "kid mismatch"},
        {"kid upper case", Document(Jwk(okp, ed, x, Quoted(std::string(kKid.size(), 'X'))),
                                    kActive), "kid mismatch"},
        {"kid one character short", Document(Jwk(okp, ed, x, Quoted(kKid.substr(0, 42))),
                                             kActive), "kid mismatch"},
        {"kid last character differs in dropped bits",
         Document(Jwk(okp, ed, x, Quoted(kKid.substr(0, 42) + "B")), kActive), "kid mismatch"},
        {"kid empty", Document(Jwk(okp, ed, x, "\"\""), kActive), "kid mismatch"},
        {"kid wrong and x wrong", Document(Jwk(okp, ed, "\"+/\"", "\"nope\""), kActive),
         "kid mismatch"},
        {"kid wrong and no status", "{\"jwk\":" + Jwk(okp, ed, x, "\"nope\"") + "}",
         "kid mismatch"},
        // 6
        {"x padded to 44", Document(Jwk(okp, ed, Quoted(kX + "="), kid), kActive),
         "invalid public key encoding"},
        {"x with plus", Document(Jwk(okp, ed, Quoted("+" + kX.substr(1)), kid), kActive),
         "invalid public key encoding"},
        {"x with slash", Document(Jwk(okp, ed, Quoted(kX.substr(0, 42) + "/"), kid), kActive),
         "invalid public key encoding"},
        {"x 42 characters", Document(Jwk(okp, ed, Quoted(kX.substr(0, 42)), kid), kActive),
         "invalid public key encoding"},
        {"x 44 characters", Document(Jwk(okp, ed, Quoted(kX + "A"), kid), kActive),
         "invalid public key encoding"},
        {"x empty", Document(Jwk(okp, ed, "\"\"", kid), kActive), "invalid public key encoding"},
        {"x cut by \\u0000", Document(Jwk(okp, ed, Quoted(kX.substr(0, 20) + "\\u0000" +
                                                             kX.substr(20)), kid), kActive),
         "invalid public key encoding"},
        {"x bad and no status", "{\"jwk\":" + Jwk(okp, ed, "\"+\"", kid) + "}",
         "invalid public key encoding"},
        // 7
        {"no status", "{\"jwk\":" + kGoodJwk + "}", "missing status object"},
        {"status string", Document(kGoodJwk, "\"active\""), "missing status object"},
        {"status array", Document(kGoodJwk, "[" + kActive + "]"), "missing status object"},
        {"status null", Document(kGoodJwk, "null"), "missing status object"},
        {"status inside jwk only",
         "{\"jwk\":{\"kty\":\"OKP\",\"crv\":\"Ed25519\",\"x\":" + x + ",\"kid\":" + kid +
             ",\"status\":" + kActive + "}}",
         "missing status object"},
        // 8
        {"status empty", Document(kGoodJwk, "{}"), "missing status state"},
        {"state number", Document(kGoodJwk, "{\"state\":1}"), "missing status state"},
        {"state null", Document(kGoodJwk, "{\"state\":null}"), "missing status state"},
        {"state boolean", Document(kGoodJwk, "{\"state\":true}"), "missing status state"},
        {"state object", Document(kGoodJwk, "{\"state\":{}}"), "missing status state"},
        {"State in other case", Document(kGoodJwk, "{\"State\":\"active\"}"),
         "missing status state"},
        // 9
        {"state Active", Document(kGoodJwk, "{\"state\":\"Active\"}"), "invalid status state"},
        {"state REVOKED", Document(kGoodJwk, "{\"state\":\"REVOKED\"}"), "invalid status state"},
        {"state empty", Document(kGoodJwk, "{\"state\":\"\"}"), "invalid status state"},
        {"state with trailing space", Document(kGoodJwk, "{\"state\":\"active \"}"),
         "invalid status state"},
        {"state one letter short", Document(kGoodJwk, "{\"state\":\"activ\"}"),
         "invalid status state"},
        {"state expired", Document(kGoodJwk, "{\"state\":\"expired\"}"), "invalid status state"},
        {"state cut to nothing", Document(kGoodJwk, "{\"state\":\"\\u0000active\"}"),
         "invalid status state"},
        // 11
        {"description null", Document(kGoodJwk, kActive, ",\"description\":null"),
         "invalid description"},
        {"description number", Document(kGoodJwk, kActive, ",\"description\":3"),
         "invalid description"},
        {"description object", Document(kGoodJwk, kActive, ",\"description\":{}"),
         "invalid description"},
        {"description array", Document(kGoodJwk, kActive, ",\"description\":[\"a\"]"),
         "invalid description"},
        {"description boolean", Document(kGoodJwk, kActive, ",\"description\":false"),
         "invalid description"},
    };
    for (const Case& c : cases) {
        const Result r = Parse(c.body);
        EXPECT_FALSE(r.ok) << c.name;
        EXPECT_EQ(r.error, c.message) << c.name;
    }
}

TEST(ParseKeyDocument, ErrorOutputIsReplacedNotAppended) {
    Bytes32 key{};
    std::string error = "an earlier, much longer message that must disappear entirely";
    EXPECT_FALSE(ParseKeyDocument("[]", kKid, key, nullptr, nullptr, &error));
    EXPECT_EQ(error, "invalid JSON");
}

TEST(ParseKeyDocument, OptionalOutputsMayBeMissing) {
    struct Case {
        const char* name;
        std::string body;
        bool ok;
    };
    const Case cases[] = {
        {"good", kGood, true},
        {"invalid JSON", "{", false},
        {"bad description", Document(kGoodJwk, kActive, ",\"description\":null"), false},
    };
    for (const Case& c : cases) {
        Bytes32 key{};
        EXPECT_EQ(ParseKeyDocument(c.body, kKid, key, nullptr, nullptr, nullptr), c.ok) << c.name;
    }
}

TEST(ParseKeyDocument, OutputsWrittenBeforeALaterFailureStay) {
    // The key is written at step 6, the state at step 10: both stay after the description fails.
    {
        const Result r = Parse(Document(kGoodJwk, "{\"state\":\"revoked\"}", ",\"description\":[]"));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "invalid description");
        EXPECT_EQ(r.key, KeyBytes());
        EXPECT_EQ(r.state, u"revoked");
        EXPECT_EQ(r.description, kUnsetText);
    }
    // A status failure after step 6 keeps the key and leaves state and description alone.
    {
        const Result r = Parse(Document(kGoodJwk, "{\"state\":\"paused\"}", ",\"description\":\"d\""));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "invalid status state");
        EXPECT_EQ(r.key, KeyBytes());
        EXPECT_EQ(r.state, kUnsetText);
        EXPECT_EQ(r.description, kUnsetText);
    }
    // A kid mismatch comes before the key is decoded: the key output is untouched.
    {
        const Result r = Parse(Document(Jwk("\"OKP\"", "\"Ed25519\"", Quoted(kX), "\"other\""),
                                        kActive, ",\"description\":\"d\""));
        EXPECT_FALSE(r.ok);
        Bytes32 untouched;
        untouched.fill(0x11);
        EXPECT_EQ(r.key, untouched);
        EXPECT_EQ(r.state, kUnsetText);
    }
}

// --- deep nesting on a small stack ---------------------------------------------------------

struct DeepCase {
    std::string name;
    std::string body;
    bool expectOk = false;
    bool ok = false;  // filled by the thread
    std::string error;
};

void* RunDeepCases(void* arg) {
    auto* cases = static_cast<std::vector<DeepCase>*>(arg);
    for (DeepCase& c : *cases) {
        Bytes32 key{};
        c.error.clear();
        c.ok = ParseKeyDocument(c.body, kKid, key, nullptr, nullptr, &c.error);
    }
    return nullptr;
}

std::string NestedArrays(std::size_t bytes) {
    return std::string(bytes, '[');
}

std::string NestedObjects(std::size_t bytes) {
    // {"a":{"a":{"a": ... repeated up to the size; never closed.
    std::string body;
    while (body.size() + 5 <= bytes) {
        body += "{\"a\":";
    }
    return body;
}

std::string Balanced(std::size_t levels) {
    return std::string(levels, '[') + std::string(levels, ']');
}

std::string BalancedObjects(std::size_t levels) {
    std::string body;
    for (std::size_t i = 0; i < levels; ++i) {
        body += "{\"a\":";
    }
    body += "1";
    body += std::string(levels, '}');
    return body;
}

TEST(ParseKeyDocument, DeepNestingOnA256KiBStack) {
    const std::string prefix = "{\"jwk\":" + kGoodJwk + ",\"status\":" + kActive + ",\"x\":";
    std::vector<DeepCase> cases = {
        {"65536 bytes of [", NestedArrays(65536), false, false, ""},
        {"65536 bytes of {\"a\":", NestedObjects(65536), false, false, ""},
        {"balanced arrays, 32768 levels", Balanced(32768), false, false, ""},
        {"balanced objects, 8000 levels", prefix + BalancedObjects(8000) + "}", false, false, ""},
        {"deep arrays inside a good document", prefix + Balanced(20000) + "}", false, false, ""},
        {"brackets in a string do not count",
         prefix + "\"" + std::string(60000, '[') + "\"}", true, false, ""},
        {"escaped quote keeps the string open",
         prefix + "\"\\\"" + std::string(60000, '{') + "\"}", true, false, ""},
        {"brackets after a NUL behind the root do not count",
         prefix + "1}" + std::string(1, '\0') + std::string(60000, '['), true, false, ""},
        {"40 levels of arrays", prefix + Balanced(40) + "}", true, false, ""},
        {"40 levels of objects", prefix + BalancedObjects(40) + "}", true, false, ""},
        {"256 levels in all", prefix + Balanced(255) + "}", true, false, ""},
        {"257 levels in all", prefix + Balanced(256) + "}", false, false, ""},
    };

    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attributes, &RunDeepCases, &cases), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attributes);

    for (const DeepCase& c : cases) {
        EXPECT_EQ(c.ok, c.expectOk) << c.name << ": " << c.error;
        if (!c.expectOk) {
            EXPECT_EQ(c.error, "invalid JSON") << c.name;
        }
    }
}

}  // namespace
