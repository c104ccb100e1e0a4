// The key lookups the command-line verifier composes: the once-per-run cache and the saved key
// documents, with the domain comparison they and the required domains share. (That concurrent
// askers wait for the one lookup is shown end to end: 200 files on 8 threads, one request.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "verification/caching_key_lookup.h"
#include "verification/domain_name.h"
#include "verification/offline_key_lookup.h"

namespace {

const std::string kKidA(43, 'A');
const std::string kKidB(43, 'B');

// A key document for kid, padded with white space to size bytes when size is given; x is a
// valid 32-byte key, which the parser does not hash.
std::string Document(const std::string& kid, const char* state = "active", std::size_t size = 0) {
    std::string document =
        R"({"jwk":{"kty":"OKP","crv":"Ed25519","x":"11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo",)"
        R"("kid":")" +
        kid + R"("},"status":{"state":")" + state + R"("},"description":")" + kid.substr(0, 1) +
        R"("})";
    document.resize(std::max(size, document.size()), ' ');
    return document;
}

// Answers every address with a FetchFailed that names it, and counts the calls.
class CountingLookup : public KeyLookup {
  public:
    KeyLookupResult Lookup(const std::string& domain, const std::string& keyIdText) override {
        ++calls;
        KeyLookupResult result;
        result.error = domain + "/" + keyIdText;
        return result;
    }
    int calls = 0;
};

TEST(DomainName, RequiredDomainsIgnoreAsciiCaseOnlyAndThePortCounts) {
    struct Row {
        const char* domain;
        std::vector<std::string> required;
        bool accepted;
    };
    // clang-format off
    const Row rows[] = {
        {"signer.example", {}, true},  // nothing required: any signer
        {"Signer.EXAMPLE", {"other.example", "signer.example"}, true},
        {"@[", {"`{"}, false},  // the neighbours of A and Z are not letters
        {"signer.example:8443", {"SIGNER.example:8443"}, true},
        {"signer.example:8443", {"signer.example"}, false},
        {"b\xc3\x9c" "cher.example", {"b\xc3\xbc" "cher.example"}, false},  // no Unicode folding
    };
    // clang-format on
    for (const Row& row : rows) {
        EXPECT_EQ(IsRequiredDomain(row.domain, row.required), row.accepted) << row.domain;
    }
}

TEST(CachingKeyLookup, OneLookupPerAddressAndFailuresAreKept) {
    CountingLookup source;
    CachingKeyLookup cache(source);
    const std::pair<std::string, std::string> lookups[] = {
        {"a.example", kKidA}, {"a.example", kKidA}, {"b.example", kKidA}, {"a.example", kKidB}};
    for (const auto& [domain, kid] : lookups) {
        EXPECT_EQ(cache.Lookup(domain, kid).error, domain + "/" + kid) << "its own result";
    }
    EXPECT_EQ(source.calls, 3) << "the repeated address is asked once";
}

TEST(OfflineKeyLookup, ADocumentSpeaksOnlyForItsDomainAndItsKeyId) {
    struct Row {
        const char* name;
        std::vector<SavedKeyDocument> documents;
        KeyLookupStatus status;
        std::string error;  // with a fallback that names the address it is asked for
        std::u16string state;
    };
    using enum KeyLookupStatus;
    const std::string signer = "signer.example";
    const std::string fetched = signer + "/" + kKidA;
    const std::string tooLarge = "Vantor response exceeded the maximum allowed size";
    // clang-format off
    const Row rows[] = {
        {"domain in other case", {{"Signer.EXAMPLE", Document(kKidA)}}, Found, "", u"active"},
        {"revoked", {{signer, Document(kKidA, "revoked")}}, Found, "", u"revoked"},
        {"other domain, same key", {{"other.example", Document(kKidA)}}, FetchFailed, fetched, u""},
        {"another key id", {{signer, Document(kKidB)}}, FetchFailed, fetched, u""},
        {"65536 bytes", {{signer, Document(kKidA, "active", 65536)}}, Found, "", u"active"},
        {"65537 bytes: too large for every key id",
         {{signer, Document(kKidB, "active", 65537)}}, FetchFailed, tooLarge, u""},
        {"invalid JSON stands for every key id", {{signer, "{"}}, DocumentInvalid,
         "invalid JSON", u""},
        {"the document naming the key wins over an unreadable one",
         {{signer, "{"}, {signer, Document(kKidA)}}, Found, "", u"active"},
        {"a bad document naming the key is that key's answer",
         {{signer, Document(kKidA, "gone")}, {signer, Document(kKidA)}},
         DocumentInvalid, "invalid status state", u""},
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
    const KeyLookupResult offline =
        OfflineKeyLookup({{signer, Document(kKidB)}}, nullptr).Lookup(signer, kKidA);
    EXPECT_EQ(offline.status, NotAvailableOffline) << "no fallback: never fetched";
}

}  // namespace
