// Which payload domains may become the host of the key document URL, the domain comparison the
// required domains and the saved key documents share, and the saved key documents themselves.
// (The once-per-run cache is shown end to end: 200 files on 8 threads, one request.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "verification/domain_check.h"
#include "verification/domain_name.h"
#include "verification/offline_key_lookup.h"

namespace {

const std::string kKidA(43, 'A'), kKidB(43, 'B');

// A key document for kid, padded with white space to size bytes when size is given; x is a
// valid 32-byte key, which the parser does not hash.
std::string Document(const std::string& kid, const char* state = "active", std::size_t size = 0) {
    // clang-format off
    std::string document = R"({"jwk":{"kty":"OKP","crv":"Ed25519","x":"11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo","kid":")" +
        kid + R"("},"status":{"state":")" + state + R"("},"description":")" + kid.substr(0, 1) + R"("})";
    // clang-format on
    document.resize(std::max(size, document.size()), ' ');
    return document;
}

// Answers every address with a FetchFailed that names it, and counts the calls.
struct CountingLookup : KeyLookup {
    KeyLookupResult Lookup(const std::string& domain, const std::string& keyIdText) override {
        ++calls;
        KeyLookupResult result;
        result.error = domain + "/" + keyIdText;
        return result;
    }
    int calls = 0;
};

TEST(DomainCheck, TableOfDomains) {
    const struct {
        const char* why;
        std::string domain;
        bool fetchable;
    } rows[] = {
        // clang-format off
        {"plain name", "Key-Server-01.example-2.org", true},
        {"one letter", "a", true},
        {"trailing root dot", "example.com.", true},
        {"two trailing dots", "example.com..", false},
        {"non-ASCII labels", "b\xc3\xbc" "cher.\xf0\x9f\x94\x91", true},
        {"255 bytes of name", std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." + std::string(63, 'd'), true},
        {"port of one digit", "example.com:1", true},
        {"port of five digits", "127.0.0.1:65535", true},
        {"port of six digits", "example.com:655350", false},
        {"empty port", "example.com:", false},
        {"port with a letter", "example.com:44a", false},
        {"port without host", ":443", false},
        {"IPv6 loopback", "[::1]", true},
        {"IPv6 with port", "[::1]:8443", true},
        {"IPv6 with embedded IPv4", "[::ffff:192.0.2.1]", true},
        {"IPv6 zone id", "[fe80::1%25eth0]", false},
        {"IPv6 without colon", "[1234]", false},
        {"IPv6 last character outside hex", "[::g]", false},
        {"IPv6 unclosed", "[::1", false},
        {"empty", "", false},
        {"dot only", ".", false},
        {"leading dot", ".example.com", false},
        {"empty label", "example..com", false},
        {"embedded NUL", std::string("example.com\0evil", 16), false},
        // clang-format on
    };
    for (const auto& row : rows) {
        EXPECT_EQ(IsFetchableDomain(row.domain), row.fetchable)
            << row.why << ": \"" << row.domain << "\"";
    }
}

TEST(DomainCheck, EveryAsciiByteInsideAName) {
    for (int byte = 1; byte < 0x80; ++byte) {
        const bool allowed = std::isalnum(byte) || byte == '-' || byte == '.';
        EXPECT_EQ(IsFetchableDomain(std::string("ab") + static_cast<char>(byte) + "cd.example"),
                  allowed)
            << "byte 0x" << std::hex << byte;
    }
}

TEST(DomainName, RequiredDomainsIgnoreAsciiCaseOnlyAndThePortCounts) {
    // clang-format off
    const struct { const char* domain; std::vector<std::string> required; bool accepted; } rows[] = {
        {"Signer.EXAMPLE", {"other.example", "signer.example"}, true},
        {"@[", {"`{"}, false},  // the neighbours of A and Z are not letters
        {"signer.example:8443", {"SIGNER.example:8443"}, true},
        {"signer.example:8443", {"signer.example"}, false},
        {"b\xc3\x9c" "cher.example", {"b\xc3\xbc" "cher.example"}, false},  // no Unicode folding
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(IsRequiredDomain(row.domain, row.required), row.accepted) << row.domain;
    }
}

TEST(OfflineKeyLookup, ADocumentSpeaksOnlyForItsDomainAndItsKeyId) {
    // clang-format off
    // The error with a fallback that names the address it is asked for.
    struct Row { const char* name; std::vector<SavedKeyDocument> documents; KeyLookupStatus status; std::string error; std::u16string state; };
    using enum KeyLookupStatus;
    const std::string signer = "signer.example", fetched = signer + "/" + kKidA, tooLarge = "Vantor response exceeded the maximum allowed size";
    const Row rows[] = {
        {"domain in other case", {{"Signer.EXAMPLE", Document(kKidA)}}, Found, "", u"active"},
        {"revoked", {{signer, Document(kKidA, "revoked")}}, Found, "", u"revoked"},
        {"other domain, same key", {{"other.example", Document(kKidA)}}, FetchFailed, fetched, u""},
        {"another key id", {{signer, Document(kKidB)}}, FetchFailed, fetched, u""},
        {"65536 bytes", {{signer, Document(kKidA, "active", 65536)}}, Found, "", u"active"},
        {"65537 bytes: too large for every key id", {{signer, Document(kKidB, "active", 65537)}}, FetchFailed, tooLarge, u""},
        {"invalid JSON stands for every key id", {{signer, "{"}}, DocumentInvalid, "invalid JSON", u""},
        {"the document naming the key wins over an unreadable one", {{signer, "{"}, {signer, Document(kKidA)}}, Found, "", u"active"},
        {"a bad document naming the key is that key's answer", {{signer, Document(kKidA, "gone")}, {signer, Document(kKidA)}}, DocumentInvalid, "invalid status state", u""},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CountingLookup fallback;
        const KeyLookupResult result =
            OfflineKeyLookup(row.documents, &fallback).Lookup(signer, kKidA);
        EXPECT_EQ(result.status, row.status);
        EXPECT_EQ(result.error, row.error);
        EXPECT_EQ(result.state, row.state);
        EXPECT_EQ(result.description, row.status == Found ? u"A" : u"");
        EXPECT_EQ(fallback.calls, row.error == fetched ? 1 : 0);
    }
}

}  // namespace
