// The verification job end to end, one row per outcome: real files, the real signature library
// and key client, and the loopback HTTPS key server of the CTest fixture. The rules behind each
// outcome are checked where they live (signature library, key document, outcome texts).
#include "verification/verification_job.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <string>

#include "job_fixtures.h"
#include "quorvel_test/bytes.h"

namespace {

using namespace std::chrono_literals;
using job_test::KeyDocument;
using job_test::KeyPath;
using job_test::U16;
using keyserver::Listener;
using quorvel_test::Bytes;
using quorvel_test::TestKey;

class VerificationJobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = job_test::OpenKeyServer();
        caFile_ = server_.CaFile();
        options_.extraCaFile = caFile_.c_str();
    }

    std::u16string Write(const Bytes& bytes) {
        const std::string path = dir_.File("file-" + std::to_string(++files_) + ".exe");
        quorvel_test::WriteFile(path, bytes);
        return U16(path);
    }

    void Publish(const TestKey& key, const std::string& body, int status = 200, int delayMs = 0) {
        keyserver::Route route;
        route.body = body;
        route.status = status;
        route.headersDelayMs = delayMs;
        std::string error;
        ASSERT_TRUE(server_.PutRoute(KeyPath(key), route, &error)) << error;
    }

    VerificationOutcome Run(const std::u16string& path,
                            const std::atomic<std::uint8_t>* cancelled = nullptr) {
        return RunVerification(path, cancelled, &options_);
    }

    keyserver::Client server_;
    std::string caFile_;
    FetchOptions options_;
    job_test::TempDir dir_;
    int files_ = 0;
};

struct Row {
    const char* name;
    std::u16string status;
    std::u16string result;
    std::u16string domain;  // "=": the trusted listener's domain
    std::u16string description;
    OutcomeKind kind;
    bool statusIsPrefix = false;  // the rest is libcurl's text
};

void Expect(const VerificationOutcome& outcome, const Row& row, const std::u16string& domain) {
    SCOPED_TRACE(row.name);
    if (row.statusIsPrefix) {
        EXPECT_EQ(outcome.statusText.rfind(row.status, 0), 0u);
    } else {
        EXPECT_EQ(outcome.statusText, row.status);
    }
    EXPECT_EQ(outcome.resultText, row.result);
    EXPECT_EQ(outcome.domainText, row.domain == u"=" ? domain : row.domain);
    EXPECT_EQ(outcome.descriptionText, row.description);
    EXPECT_EQ(outcome.kind, row.kind);
}

TEST_F(VerificationJobTest, OneRunPerOutcome) {
    const std::string domain = server_.Domain(Listener::Trusted);
    const std::string closed = "127.0.0.1:" + std::to_string(job_test::ClosedPort());
    const std::u16string na = u"(not available)";
    const OutcomeKind failed = OutcomeKind::Failed;
    struct Case {
        Row row;
        std::function<std::u16string(const TestKey&)> file;  // publishes what the row needs
    };
    const Case cases[] = {
        {{"no file", u"Quorvel: unavailable", u"No file selected.", na, u"", OutcomeKind::Neutral},
         [](const TestKey&) { return std::u16string(); }},
        {{"missing file", u"Quorvel: unable to read file", u"The file could not be read.", na, u"",
          failed},
         [&](const TestKey&) { return U16(dir_.File("missing.exe")); }},
        // sysfs reports 4096 bytes and delivers a few: the read ends early.
        {{"shorter than its size", u"Quorvel: unable to read file", u"The file could not be read.",
          na, u"", failed},
         [](const TestKey&) { return std::u16string(u"/sys/devices/system/cpu/online"); }},
        {{"text file", u"Quorvel: not a PE file", u"The selected file is not a PE file.", na, u"",
          failed},
         [&](const TestKey&) { return Write(quorvel_test::FromText("text\n")); }},
        {{"unsigned PE", u"Quorvel: no signature", u"No Quorvel signature was found.", na, u"",
          failed},
         [&](const TestKey&) { return Write(job_test::UnsignedPe()); }},
        {{"malformed payload", u"Quorvel: invalid signature payload",
          u"The signature payload is invalid.", na, u"", failed},
         [&](const TestKey&) { return Write(job_test::PeWithMalformedPayload(domain)); }},
        {{"empty domain", u"Quorvel: key response invalid",
          u"The embedded key metadata is incomplete.", na, u"", failed},
         [&](const TestKey& key) { return Write(job_test::SignedPe(key, "")); }},
        {{"domain with user info", u"Quorvel: invalid signature payload",
          u"The signature payload is invalid.", U16("a@" + closed), u"", failed},
         [&](const TestKey& key) { return Write(job_test::SignedPe(key, "a@" + closed)); }},
        {{"nothing listens", u"Quorvel: key fetch failed (Failed to connect to 127.0.0.1 port " +
                                  U16(closed.substr(10)),
          u"Unable to fetch the signing key.", U16(closed), u"", failed, true},
         [&](const TestKey& key) { return Write(job_test::SignedPe(key, closed)); }},
        {{"HTTP 201", u"Quorvel: key fetch failed (HTTP 201)",
          u"The signing key server returned an unexpected response.", u"=", u"", failed},
         [&](const TestKey& key) {
             Publish(key, KeyDocument(key, "active", "ignored"), 201);
             return Write(job_test::SignedPe(key, domain));
         }},
        {{"kid mismatch", u"Quorvel: key response invalid (kid mismatch)",
          u"The signing key response is invalid.", u"=", u"", failed},
         [&](const TestKey& key) {
             Publish(key, KeyDocument(key.public_key, "other", "active", "d"));
             return Write(job_test::SignedPe(key, domain));
         }},
        {{"verified", u"Quorvel: verified", u"The signature validated successfully.", u"=",
          u"Schl\u00fcssel", OutcomeKind::Verified},
         [&](const TestKey& key) {
             Publish(key, KeyDocument(key, "active", "Schl\xc3\xbcssel"));
             const std::string path = dir_.File("sign\xc3\xa9-\xf0\x9f\x94\x91.exe");
             quorvel_test::WriteFile(path, job_test::SignedPe(key, domain));
             return U16(path);
         }},
        {{"tampered", u"Quorvel: signature invalid",
          u"The signature does not match the file contents.", u"=", u"Old key", failed},
         [&](const TestKey& key) {
             Publish(key, KeyDocument(key, "revoked", "Old key"));  // revocation comes after
             return Write(job_test::Tampered(job_test::SignedPe(key, domain)));
         }},
        {{"revoked", u"Quorvel: revoked", u"The signing key is revoked.", u"=", u"Old key", failed},
         [&](const TestKey& key) {
             Publish(key, KeyDocument(key, "revoked", "Old key"));
             return Write(job_test::SignedPe(key, domain));
         }},
        // The document names the key id but publishes the signer's key, whose thumbprint differs.
        {{"key is not the key id's", u"Quorvel: verification failed", u"Validation failed.", u"=",
          u"Swapped", failed},
         [&](const TestKey& key) {
             const TestKey signer = job_test::UniqueKey("signer");
             Publish(key, KeyDocument(signer.public_key, job_test::KeyIdText(key), "active",
                                      "Swapped"));
             return Write(job_test::SignedPeNamingOtherKey(signer, key, domain));
         }},
    };
    for (const Case& c : cases) {
        const TestKey key = job_test::UniqueKey("job");
        const std::u16string path = c.file(key);
        Expect(Run(path), c.row, U16(domain));
        EXPECT_EQ(ReadDomainPreview(path), c.row.domain == u"=" ? U16(domain) : c.row.domain)
            << c.row.name;
    }
}

// The second read judges what the file holds by then; the lookup's domain and description stay.
TEST_F(VerificationJobTest, FileDeletedDuringTheLookup) {
    const TestKey key = job_test::UniqueKey("changed");
    const std::string domain = server_.Domain(Listener::Trusted);
    const std::u16string path = Write(job_test::SignedPe(key, domain));
    Publish(key, KeyDocument(key, "active", "Slow key"), 200, 2000);
    auto job = std::async(std::launch::async, [&] { return Run(path); });
    ASSERT_TRUE(job_test::WaitForRequest(server_, KeyPath(key), 15s));
    std::filesystem::remove(dir_.File("file-1.exe"));
    Expect(job.get(),
           {"deleted", u"Quorvel: unable to read file", u"The file could not be read.", u"=",
            u"Slow key", OutcomeKind::Failed},
           U16(domain));
}

// Cancellation counts only after a failed fetch, and then empties everything.
TEST_F(VerificationJobTest, CancelledOnlyWhenTheFetchFailed) {
    const std::atomic<std::uint8_t> cancelled{1};
    const TestKey key = job_test::UniqueKey("cancel");
    const std::string closed = "127.0.0.1:" + std::to_string(job_test::ClosedPort());
    Expect(Run(Write(job_test::SignedPe(key, closed)), &cancelled),
           {"cancelled", u"", u"", u"", u"", OutcomeKind::Neutral}, u"");
    const std::string domain = server_.Domain(Listener::Trusted);
    Publish(key, KeyDocument(key, "active", nullptr));
    EXPECT_EQ(Run(Write(job_test::SignedPe(key, domain)), &cancelled).statusText,
              u"Quorvel: verified");
}

}  // namespace
