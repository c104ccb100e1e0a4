// The verification job end to end, one row per outcome (the texts are the outcome table's), with
// real files and the loopback HTTPS key server; then the worker thread: one delivery per job, the
// request freed once by whoever lets go last, the failures to start. ASan and TSan watch here.
#include "verification/verification_job.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <tuple>

#include "job_fixtures.h"
#include "verification/outcome_texts.h"
#include "verification/verification_worker.h"
#include "worker_seams.h"

namespace {

using job_test::KeyDocument;
using job_test::SignedPe;
using job_test::U16;
using keyserver::Listener;
using quorvel_test::TestKey;
using Setter = std::function<void(VerificationOutcome&)>;

constexpr auto kWait = std::chrono::seconds(20);

Setter Case(OutcomeCase c) {
    return [c](VerificationOutcome& o) { SetOutcomeCase(o, c); };
}

// The outcome a run must produce: the domain and description known by then, then the case.
void ExpectOutcome(const VerificationOutcome& got, const Setter& set, const std::u16string& domain,
                   const std::u16string& description, const char* name) {
    VerificationOutcome w{u"", u"", domain, description, OutcomeKind::Neutral};
    set(w);
    EXPECT_EQ(
        std::tie(got.statusText, got.resultText, got.domainText, got.descriptionText, got.kind),
        std::tie(w.statusText, w.resultText, w.domainText, w.descriptionText, w.kind))
        << name;
}

class VerificationJobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        options_.extraCaFile = caFile_.c_str();
        ASSERT_TRUE(
            job_test::WaitUntil([] { return LiveVerificationRequestsForTesting() == 0; }, kWait));
    }
    void TearDown() override { RefuseWorkerThreadStartForTesting(false); }
    std::u16string Write(const quorvel_test::Bytes& bytes, const std::string& name = "") {
        const std::string path =
            dir_.File(name.empty() ? "file-" + std::to_string(++files_) + ".exe" : name);
        quorvel_test::WriteFile(path, bytes);
        return U16(path);
    }
    void Publish(const TestKey& key, const std::string& body, int status = 200) {
        keyserver::Route route;
        route.body = body;
        route.status = status;
        std::string error;
        EXPECT_TRUE(server_.PutRoute(job_test::KeyPath(key), route, &error)) << error;
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
        {"empty domain", Case(MetadataIncomplete), u"", u"", [&](const TestKey& key) { return Write(SignedPe(key, "")); }},
        {"domain with user info", Case(UnfetchableDomain), U16("a@" + domain_), u"", [&](const TestKey& key) { return Write(SignedPe(key, "a@" + domain_)); }},
        {"nothing listens", [](VerificationOutcome& o) { SetFetchFailed(o, ""); }, U16(closed), u"", [&](const TestKey& key) { return Write(SignedPe(key, closed)); }},
        {"HTTP 201", [](VerificationOutcome& o) { SetUnexpectedHttpStatus(o, 201); }, here, u"",
         [&](const TestKey& key) { return Publish(key, KeyDocument(key, "active", "ignored"), 201), Write(SignedPe(key, domain_)); }},
        {"kid mismatch", [](VerificationOutcome& o) { SetKeyResponseInvalid(o, "kid mismatch"); }, here, u"",
         [&](const TestKey& key) { return Publish(key, KeyDocument(key, "active", "d", "other")), Write(SignedPe(key, domain_)); }},
        {"verified", Case(Verified), here, u"Schl\u00fcssel", [&](const TestKey& key) {
             return Publish(key, KeyDocument(key, "active", "Schl\xc3\xbcssel")), Write(SignedPe(key, domain_), "sign\xc3\xa9-\xf0\x9f\x94\x91.exe"); }},
        {"revoked", Case(Revoked), here, u"Old key", [&](const TestKey& key) { return Publish(key, KeyDocument(key, "revoked", "Old key")), Write(SignedPe(key, domain_)); }},
        // clang-format on
    };
    for (const auto& row : rows) {
        const std::u16string path = row.file(job_test::UniqueKey("job"));
        VerificationOutcome got = RunVerification(path, nullptr, &options_);
        // Where nothing listens, the rest of the status line is libcurl's.
        if (std::string(row.name) == "nothing listens")
            got.statusText = got.statusText.substr(0, 27) + u")";
        ExpectOutcome(got, row.expected, row.domain, row.description, row.name);
        EXPECT_EQ(ReadDomainPreview(path), row.domain.empty() ? kDomainNotAvailable : row.domain)
            << row.name;
    }

    // Cancellation counts only after a failed fetch, and then empties everything.
    const std::atomic<std::uint8_t> cancelled{1}, notCancelled{0};
    const TestKey key = job_test::UniqueKey("cancel");
    const std::u16string failing = Write(SignedPe(key, server_.Domain(Listener::Closed)));
    ExpectOutcome(RunVerification(failing, &cancelled, &options_), Case(OutcomeCase::Cancelled),
                  u"", u"", "cancelled");
    EXPECT_EQ(RunVerification(failing, &notCancelled, &options_).kind, OutcomeKind::Failed);
    Publish(key, KeyDocument(key, "active", nullptr));
    EXPECT_EQ(RunVerification(Write(SignedPe(key, domain_)), &cancelled, &options_).kind,
              OutcomeKind::Verified);
}

// Records what it is given; a page that refuses leaves the outcome to the worker to free.
struct TestPage : OutcomeReceiver {
    explicit TestPage(bool accept = true) : OutcomeReceiver{&Receive}, accepts(accept) {}
    static bool Receive(OutcomeReceiver* self, VerificationOutcome* outcome) {
        auto* page = static_cast<TestPage*>(self);
        page->kind.store(outcome->kind);
        page->deliveries.fetch_add(1);
        if (page->accepts) delete outcome;
        return page->accepts;
    }
    bool accepts;
    std::atomic<int> deliveries{0};
    std::atomic<OutcomeKind> kind{OutcomeKind::Verified};
};

// A page that refuses its outcome, one that takes it, none (no page window), and one that closes
// while the silent listener holds its fetch: one delivery where a page waits for it, and the
// request freed by whoever lets go last.
TEST_F(VerificationJobTest, WorkerDeliversOnceAndTheLastToLetGoFrees) {
    TestPage refusing(false), taking, closing;
    TestPage* const pages[] = {&refusing, &taking, nullptr, &closing};
    const std::u16string inputs[] = {
        Write(quorvel_test::FromText("text")), u"", u"",
        Write(SignedPe(job_test::UniqueKey("held"), server_.Domain(Listener::Silent)))};
    VerificationRequest* requests[4] = {};
    for (std::size_t i = 0; i < 4; ++i) {
        StartVerificationWorker(pages[i], &requests[i], inputs[i]);
        ASSERT_NE(requests[i], nullptr) << "worker " << i;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        const bool held = i == 3;  // still fetching
        ASSERT_TRUE(held ||
                    job_test::WaitUntil([&] { return requests[i]->refCount.load() == 1; }, kWait))
            << i;
        EXPECT_EQ(requests[i]->cancelled.load(), 0) << "worker " << i;
        if (!held && pages[i] != nullptr) {
            EXPECT_EQ(pages[i]->deliveries.load(), 1) << "worker " << i;
            EXPECT_EQ(pages[i]->kind.load(), i == 0 ? OutcomeKind::Failed : OutcomeKind::Neutral)
                << "worker " << i;
        }
        requests[i]->cancelled.exchange(1);  // the page closes
        ReleaseVerificationRequest(requests[i]);
    }
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 1u) << "the worker holds the fetching one";
    EXPECT_TRUE(
        job_test::WaitUntil([] { return LiveVerificationRequestsForTesting() == 0; }, kWait));
    EXPECT_EQ(closing.deliveries.load(), 0);

    // No slot, or no thread: nothing starts, the page's request is null again, nothing leaks.
    StartVerificationWorker(&closing, nullptr, u"anything");
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0u);
    ReleaseVerificationRequest(nullptr);
    RefuseWorkerThreadStartForTesting(true);
    VerificationRequest* refused = nullptr;
    StartVerificationWorker(&closing, &refused, u"");
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0u);
    EXPECT_EQ(closing.deliveries.load(), 0);
}

}  // namespace
