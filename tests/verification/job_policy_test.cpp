// The job's order around the key lookup, with a reader and a lookup that stand in for the file
// and the network: the required domains come before any lookup, and a missing offline document
// ends the job with its own case.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "verification/key_lookup.h"
#include "verification/signature_reader.h"
#include "verification/verification_job.h"

namespace {

// A payload for domain whose signature always verifies.
class PayloadReader : public SignatureReader {
  public:
    explicit PayloadReader(std::string domain) : domain_(std::move(domain)) {}
    int ReadInfo(const std::u16string&, quorvel_signature_info& info) override {
        info = {};
        std::memcpy(info.domain, domain_.data(), domain_.size());
        info.domain_length = domain_.size();
        return QUORVEL_OK;
    }
    int Verify(const std::u16string&, const Bytes32&, quorvel_verify_result&) override {
        ++verifies;
        return QUORVEL_OK;
    }
    int verifies = 0;

  private:
    std::string domain_;
};

class FixedLookup : public KeyLookup {
  public:
    explicit FixedLookup(KeyLookupStatus status) { result_.status = status; }
    KeyLookupResult Lookup(const std::string&, const std::string&) override {
        ++calls;
        return result_;
    }
    int calls = 0;

  private:
    KeyLookupResult result_;
};

TEST(JobPolicy, OnlyARequiredDomainIsLookedUp) {
    struct Row {
        const char* name;
        std::string domain;
        std::vector<std::string> required;
        bool accepted;
    };
    const Row rows[] = {
        {"nothing required", "signer.example", {}, true},
        {"required in other letter case", "signer.example", {"Signer.Example"}, true},
        {"the second of two", "signer.example", {"a.example", "signer.example"}, true},
        {"another domain", "signer.example", {"other.example"}, false},
        {"same host, another port", "signer.example", {"signer.example:443"}, false},
        {"shown as UTF-16",
         "b\xc3\xbc"
         "cher.example",
         {"other.example"},
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PayloadReader reader(row.domain);
        FixedLookup keys(KeyLookupStatus::Found);
        const VerificationOutcome outcome =
            RunVerification(u"file.exe", reader, keys, row.required, nullptr);
        EXPECT_EQ(keys.calls, row.accepted ? 1 : 0);
        if (row.accepted) {
            EXPECT_EQ(outcome.statusText, u"Quorvel: verified");
            continue;
        }
        const std::u16string shown =
            row.domain == "signer.example" ? u"signer.example" : u"b\u00fccher.example";
        EXPECT_EQ(outcome.statusText, u"Quorvel: unexpected signer (" + shown + u")");
        EXPECT_EQ(outcome.resultText,
                  u"The file is signed by " + shown + u", which is not a required domain.");
        EXPECT_EQ(outcome.domainText, shown);
        EXPECT_EQ(outcome.kind, OutcomeKind::Failed);
        EXPECT_EQ(reader.verifies, 0);
    }
}

TEST(JobPolicy, NoKeyDocumentOfflineEndsBeforeVerifying) {
    PayloadReader reader("signer.example");
    FixedLookup keys(KeyLookupStatus::NotAvailableOffline);
    const VerificationOutcome outcome = RunVerification(u"file.exe", reader, keys, {}, nullptr);
    EXPECT_EQ(outcome.statusText, u"Quorvel: key document not available offline");
    EXPECT_EQ(outcome.resultText,
              u"No key document was given for this domain and key, and fetching is turned off.");
    EXPECT_EQ(outcome.domainText, u"signer.example");
    EXPECT_EQ(outcome.kind, OutcomeKind::Failed);
    EXPECT_EQ(reader.verifies, 0);
}

}  // namespace
