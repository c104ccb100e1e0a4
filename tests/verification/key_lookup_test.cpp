// The key lookups the command-line verifier composes: the once-per-run cache and the saved key
// documents, with the domain comparison they share.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "verification/caching_key_lookup.h"
#include "verification/domain_name.h"
#include "verification/offline_key_lookup.h"

namespace {

const std::string kKidA(43, 'A');
const std::string kKidB(43, 'B');

// A key document for kid; x is a valid 32-byte key, which the parser does not hash.
std::string Document(const std::string& kid, const std::string& description,
                     const char* state = "active") {
    return R"({"jwk":{"kty":"OKP","crv":"Ed25519","x":"11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo",)"
           R"("kid":")" +
           kid + R"("},"status":{"state":")" + state + R"("},"description":")" + description +
           R"("})";
}

std::string PaddedTo(std::string document, std::size_t size) {
    document.resize(size, ' ');  // white space may follow the root value
    return document;
}

// Answers every address with a FetchFailed that names it, and counts the calls.
class CountingLookup : public KeyLookup {
  public:
    KeyLookupResult Lookup(const std::string& domain, const std::string& keyIdText) override {
        calls.fetch_add(1);
        KeyLookupResult result;
        result.error = domain + "/" + keyIdText;
        return result;
    }
    std::atomic<int> calls{0};
};

TEST(DomainName, AsciiCaseOnlyAndThePortCounts) {
    struct Row {
        const char* a;
        const char* b;
        bool same;
    };
    const Row rows[] = {
        {"Signer.EXAMPLE", "signer.example", true},
        {"AZ", "az", true},
        {"@[", "`{", false},  // the neighbours of A and Z are not letters
        {"signer.example:8443", "SIGNER.example:8443", true},
        {"signer.example:8443", "signer.example", false},
        {"signer.example", "signer.exampl", false},
        {"b\xc3\x9c"
         "cher.example",
         "b\xc3\xbc"
         "cher.example",
         false},  // no Unicode folding
    };
    for (const Row& row : rows) {
        EXPECT_EQ(SameDomainName(row.a, row.b), row.same) << row.a << " / " << row.b;
    }
}

TEST(CachingKeyLookup, OneLookupPerAddressAndFailuresAreKept) {
    struct Row {
        const char* name;
        std::vector<std::pair<std::string, std::string>> lookups;
        int calls;
    };
    const Row rows[] = {
        {"same address three times",
         {{"a.example", kKidA}, {"a.example", kKidA}, {"a.example", kKidA}},
         1},
        {"same key id, two domains", {{"a.example", kKidA}, {"b.example", kKidA}}, 2},
        {"two key ids, one domain", {{"a.example", kKidA}, {"a.example", kKidB}}, 2},
        {"the address is the URL: letter case counts",
         {{"a.example", kKidA}, {"A.example", kKidA}},
         2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CountingLookup source;
        CachingKeyLookup cache(source);
        for (const auto& [domain, kid] : row.lookups) {
            const KeyLookupResult result = cache.Lookup(domain, kid);
            EXPECT_EQ(result.status, KeyLookupStatus::FetchFailed);
            EXPECT_EQ(result.error, domain + "/" + kid) << "the address's own result";
        }
        EXPECT_EQ(source.calls.load(), row.calls);
    }
}

// Holds every lookup until released, so that concurrent askers meet while it runs.
class GatedLookup : public CountingLookup {
  public:
    KeyLookupResult Lookup(const std::string& domain, const std::string& keyIdText) override {
        std::unique_lock<std::mutex> lock(mutex_);
        open_.wait(lock, [&] { return released_; });
        lock.unlock();
        return CountingLookup::Lookup(domain, keyIdText);
    }
    void Release() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            released_ = true;
        }
        open_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable open_;
    bool released_ = false;
};

TEST(CachingKeyLookup, ConcurrentAskersWaitForTheOneLookup) {
    constexpr int kThreads = 8;
    GatedLookup source;
    CachingKeyLookup cache(source);
    std::atomic<int> asking{0};
    std::vector<std::string> errors(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            asking.fetch_add(1);
            errors[static_cast<std::size_t>(i)] = cache.Lookup("a.example", kKidA).error;
        });
    }
    while (asking.load() < kThreads) {
        std::this_thread::yield();
    }
    // Without the cache every thread would now be inside the source, held at its gate.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    source.Release();
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(source.calls.load(), 1);
    for (const std::string& error : errors) {
        EXPECT_EQ(error, "a.example/" + kKidA);
    }
}

TEST(OfflineKeyLookup, ADocumentSpeaksOnlyForItsDomainAndItsKeyId) {
    struct Row {
        const char* name;
        std::vector<SavedKeyDocument> documents;
        bool withFallback;
        KeyLookupStatus status;
        std::string error;
        std::u16string description;
        int fallbackCalls;
    };
    const std::string tooLarge = "Vantor response exceeded the maximum allowed size";
    const Row rows[] = {
        {"domain in other letter case",
         {{"Signer.EXAMPLE", Document(kKidA, "one")}},
         false,
         KeyLookupStatus::Found,
         "",
         u"one",
         0},
        {"the port is part of the domain",
         {{"signer.example:8443", Document(kKidA, "one")}},
         false,
         KeyLookupStatus::NotAvailableOffline,
         "",
         u"",
         0},
        {"another domain with the same key",
         {{"other.example", Document(kKidA, "one")}},
         false,
         KeyLookupStatus::NotAvailableOffline,
         "",
         u"",
         0},
        {"a document for another key id",
         {{"signer.example", Document(kKidB, "one")}},
         false,
         KeyLookupStatus::NotAvailableOffline,
         "",
         u"",
         0},
        {"no document for the address: fetched",
         {{"signer.example", Document(kKidB, "one")}},
         true,
         KeyLookupStatus::FetchFailed,
         "signer.example/" + kKidA,
         u"",
         1},
        {"65536 bytes: accepted",
         {{"signer.example", PaddedTo(Document(kKidA, "one"), 65536)}},
         false,
         KeyLookupStatus::Found,
         "",
         u"one",
         0},
        {"65537 bytes: too large, for every key id",
         {{"signer.example", PaddedTo(Document(kKidB, "one"), 65537)}},
         true,
         KeyLookupStatus::FetchFailed,
         tooLarge,
         u"",
         0},
        {"invalid JSON stands for every key id",
         {{"signer.example", "{"}},
         true,
         KeyLookupStatus::DocumentInvalid,
         "invalid JSON",
         u"",
         0},
        {"the document naming the key wins over an unreadable one",
         {{"signer.example", "{"}, {"signer.example", Document(kKidA, "two")}},
         false,
         KeyLookupStatus::Found,
         "",
         u"two",
         0},
        {"a bad document naming the key is that key's answer",
         {{"signer.example", Document(kKidA, "one", "gone")},
          {"signer.example", Document(kKidA, "two")}},
         false,
         KeyLookupStatus::DocumentInvalid,
         "invalid status state",
         u"",
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CountingLookup fallback;
        OfflineKeyLookup lookup(row.documents, row.withFallback ? &fallback : nullptr);
        const KeyLookupResult result = lookup.Lookup("signer.example", kKidA);
        EXPECT_EQ(result.status, row.status);
        EXPECT_EQ(result.error, row.error);
        EXPECT_EQ(result.description, row.description);
        EXPECT_EQ(fallback.calls.load(), row.fallbackCalls);
    }
}

TEST(OfflineKeyLookup, ARevokedDocumentGivesItsState) {
    OfflineKeyLookup lookup({{"signer.example", Document(kKidA, "one", "revoked")}}, nullptr);
    const KeyLookupResult result = lookup.Lookup("signer.example", kKidA);
    EXPECT_EQ(result.status, KeyLookupStatus::Found);
    EXPECT_EQ(result.state, u"revoked");
}

}  // namespace
