// The verification job end to end, one row per outcome: real files, the real signature library
// and key client, and the loopback HTTPS key server of the CTest fixture. The texts themselves
// are checked with the outcome table; here each run must end in its row's case.
#include "verification/verification_job.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>

#include "job_fixtures.h"
#include "verification/outcome_texts.h"

namespace {

using namespace std::chrono_literals;
using job_test::KeyDocument;
using job_test::U16;
using keyserver::Listener;
using quorvel_test::Bytes;
using quorvel_test::TestKey;
using Setter = std::function<void(VerificationOutcome&)>;

Setter Case(OutcomeCase c) {
    return [c](VerificationOutcome& o) { SetOutcomeCase(o, c); };
}

class VerificationJobTest : public ::testing::Test {
  protected:
    void SetUp() override { options_.extraCaFile = caFile_.c_str(); }

    std::u16string Write(const Bytes& bytes, const std::string& name = "") {
        const std::string path =
            dir_.File(name.empty() ? "file-" + std::to_string(++files_) + ".exe" : name);
        quorvel_test::WriteFile(path, bytes);
        return U16(path);
    }
    void Publish(const TestKey& key, const std::string& body, int status = 200, int delayMs = 0) {
        keyserver::Route route;
        route.body = body;
        route.status = status;
        route.headersDelayMs = delayMs;
        std::string error;
        EXPECT_TRUE(server_.PutRoute(job_test::KeyPath(key), route, &error)) << error;
    }
    // The outcome a run must produce: the domain and description known by then, then the case.
    static VerificationOutcome Expected(const Setter& set, const std::u16string& domain,
                                        const std::u16string& description) {
        VerificationOutcome outcome{u"", u"", domain, description, OutcomeKind::Neutral};
        set(outcome);
        return outcome;
    }
    static void ExpectSame(const VerificationOutcome& got, const VerificationOutcome& want,
                           const char* name) {
        EXPECT_EQ(got.statusText, want.statusText) << name;
        EXPECT_EQ(got.resultText, want.resultText) << name;
        EXPECT_EQ(got.domainText, want.domainText) << name;
        EXPECT_EQ(got.descriptionText, want.descriptionText) << name;
        EXPECT_EQ(got.kind, want.kind) << name;
    }

    keyserver::Client server_ = job_test::OpenKeyServer();
    std::string caFile_ = server_.CaFile();
    std::string domain_ = server_.Domain(Listener::Trusted);
    FetchOptions options_;
    job_test::TempDir dir_;
    int files_ = 0;
};

TEST_F(VerificationJobTest, OneRunPerOutcome) {
    using enum OutcomeCase;
    const std::string closed = server_.Domain(Listener::Closed);
    const std::u16string here = U16(domain_);
    const struct {
        const char* name;
        Setter expected;
        std::u16string domain, description;
        std::function<std::u16string(const TestKey&)> file;  // publishes what the row needs
    } rows[] = {
        // clang-format off
        {"no file", Case(NoFileSelected), u"", u"", [](const TestKey&) { return std::u16string(); }},
        {"missing file", Case(FileUnreadable), u"", u"", [&](const TestKey&) { return U16(dir_.File("missing")); }},
        // sysfs reports 4096 bytes and delivers a few: the read ends early.
        {"shorter than its size", Case(FileUnreadable), u"", u"", [](const TestKey&) { return std::u16string(u"/sys/devices/system/cpu/online"); }},
        {"text file", Case(NotPeFile), u"", u"", [&](const TestKey&) { return Write(quorvel_test::FromText("text\n")); }},
        {"unsigned PE", Case(NoSignature), u"", u"", [&](const TestKey&) { return Write(job_test::UnsignedPe()); }},
        {"malformed payload", Case(InvalidPayload), u"", u"", [&](const TestKey&) { return Write(job_test::PeWithMalformedPayload(domain_)); }},
        {"empty domain", Case(MetadataIncomplete), u"", u"", [&](const TestKey& key) { return Write(job_test::SignedPe(key, "")); }},
        {"domain with user info", Case(UnfetchableDomain), U16("a@" + domain_), u"", [&](const TestKey& key) { return Write(job_test::SignedPe(key, "a@" + domain_)); }},
        {"nothing listens", [](VerificationOutcome& o) { SetFetchFailed(o, ""); }, U16(closed), u"", [&](const TestKey& key) { return Write(job_test::SignedPe(key, closed)); }},
        {"HTTP 201", [](VerificationOutcome& o) { SetUnexpectedHttpStatus(o, 201); }, here, u"",
         [&](const TestKey& key) { return Publish(key, KeyDocument(key, "active", "ignored"), 201), Write(job_test::SignedPe(key, domain_)); }},
        {"kid mismatch", [](VerificationOutcome& o) { SetKeyResponseInvalid(o, "kid mismatch"); }, here, u"",
         [&](const TestKey& key) { return Publish(key, KeyDocument(key.public_key, "other", "active", "d")), Write(job_test::SignedPe(key, domain_)); }},
        {"verified", Case(Verified), here, u"Schl\u00fcssel", [&](const TestKey& key) {
             return Publish(key, KeyDocument(key, "active", "Schl\xc3\xbcssel")), Write(job_test::SignedPe(key, domain_), "sign\xc3\xa9-\xf0\x9f\x94\x91.exe"); }},
        // The digest is judged before the key's state.
        {"tampered, revoked key", Case(SignatureInvalid), here, u"Old key",
         [&](const TestKey& key) { return Publish(key, KeyDocument(key, "revoked", "Old key")), Write(job_test::Tampered(job_test::SignedPe(key, domain_))); }},
        {"revoked", Case(Revoked), here, u"Old key",
         [&](const TestKey& key) { return Publish(key, KeyDocument(key, "revoked", "Old key")), Write(job_test::SignedPe(key, domain_)); }},
        // The document names the key id but publishes the signer's key, whose thumbprint differs.
        {"key is not the key id's", Case(VerificationFailed), here, u"Swapped", [&](const TestKey& key) {
             const TestKey signer = job_test::UniqueKey("signer");
             Publish(key, KeyDocument(signer.public_key, job_test::KeyIdText(key), "active", "Swapped"));
             return Write(job_test::SignedPeNamingOtherKey(signer, key, domain_)); }},
        // clang-format on
    };
    for (const auto& row : rows) {
        const std::u16string path = row.file(job_test::UniqueKey("job"));
        VerificationOutcome got = RunVerification(path, nullptr, &options_);
        const VerificationOutcome want = Expected(row.expected, row.domain, row.description);
        if (std::string(row.name) == "nothing listens") {  // the rest of the line is libcurl's
            ASSERT_EQ(
                got.statusText.rfind(want.statusText.substr(0, want.statusText.size() - 1), 0), 0u);
            got.statusText = want.statusText;
        }
        ExpectSame(got, want, row.name);
        EXPECT_EQ(ReadDomainPreview(path), row.domain.empty() ? kDomainNotAvailable : row.domain)
            << row.name;
    }
}

// The second read judges what the file holds by then; the lookup's domain and description stay.
TEST_F(VerificationJobTest, FileDeletedDuringTheLookup) {
    const TestKey key = job_test::UniqueKey("changed");
    const std::u16string path = Write(job_test::SignedPe(key, domain_), "deleted.exe");
    Publish(key, KeyDocument(key, "active", "Slow key"), 200, 2000);
    auto job =
        std::async(std::launch::async, [&] { return RunVerification(path, nullptr, &options_); });
    ASSERT_TRUE(job_test::WaitUntil(
        [&] { return !server_.RequestsFor(job_test::KeyPath(key)).empty(); }, 15s));
    std::filesystem::remove(dir_.File("deleted.exe"));
    ExpectSame(job.get(),
               Expected(Case(OutcomeCase::FileUnreadableAtVerify), U16(domain_), u"Slow key"),
               "deleted");
}

// Cancellation counts only after a failed fetch, and then empties everything.
TEST_F(VerificationJobTest, CancelledOnlyWhenTheFetchFailed) {
    const std::atomic<std::uint8_t> cancelled{1};
    const TestKey key = job_test::UniqueKey("cancel");
    const std::u16string failing = Write(job_test::SignedPe(key, server_.Domain(Listener::Closed)));
    ExpectSame(RunVerification(failing, &cancelled, &options_),
               Expected(Case(OutcomeCase::Cancelled), u"", u""), "cancelled");
    Publish(key, KeyDocument(key, "active", nullptr));
    const std::u16string good = Write(job_test::SignedPe(key, domain_));
    EXPECT_EQ(RunVerification(good, &cancelled, &options_).kind, OutcomeKind::Verified);
    const std::atomic<std::uint8_t> notCancelled{0};
    EXPECT_EQ(RunVerification(failing, &notCancelled, &options_).kind, OutcomeKind::Failed);
}

}  // namespace
