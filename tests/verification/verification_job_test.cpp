// The verification job end to end, one row per outcome: real files, the real signature library
// and key client, and the loopback HTTPS key server of the CTest fixture. The texts themselves
// are checked with the outcome table; here each run must end in its row's case. Then the worker
// thread: one delivery per job, the shared request freed exactly once whoever lets go last,
// cancellation by a closing page, and the failures to start. Under ASan a leaked outcome or
// request fails here; under TSan a race does.
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

auto Fields(const VerificationOutcome& o) {
    return std::tie(o.statusText, o.resultText, o.domainText, o.descriptionText, o.kind);
}
// The outcome a run must produce: the domain and description known by then, then the case.
void ExpectOutcome(const VerificationOutcome& got, const Setter& set, const std::u16string& domain,
                   const std::u16string& description, const char* name) {
    VerificationOutcome want{u"", u"", domain, description, OutcomeKind::Neutral};
    set(want);
    EXPECT_EQ(Fields(got), Fields(want)) << name;
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
        if (std::string(row.name) == "nothing listens") {  // the rest of the line is libcurl's
            const std::u16string start = u"Quorvel: key fetch failed (";
            ASSERT_EQ(got.statusText.rfind(start, 0), 0u) << testing::PrintToString(got.statusText);
            got.statusText = start + u")";
        }
        ExpectOutcome(got, row.expected, row.domain, row.description, row.name);
        EXPECT_EQ(ReadDomainPreview(path), row.domain.empty() ? kDomainNotAvailable : row.domain)
            << row.name;
    }
}

// Cancellation counts only after a failed fetch, and then empties everything.
TEST_F(VerificationJobTest, CancelledOnlyWhenTheFetchFailed) {
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

struct TestPage : OutcomeReceiver {
    explicit TestPage(bool accept = true) : OutcomeReceiver{&Receive}, accepts(accept) {}
    static bool Receive(OutcomeReceiver* self, VerificationOutcome* outcome) {
        auto* page = static_cast<TestPage*>(self);
        page->kind.store(outcome->kind);
        page->deliveries.fetch_add(1);
        if (page->accepts) delete outcome;
        return page->accepts;  // refused: the worker keeps the outcome and must free it
    }
    bool accepts;
    std::atomic<int> deliveries{0};
    std::atomic<OutcomeKind> kind{OutcomeKind::Verified};
};

void ClosePage(VerificationRequest*& request) {
    request->cancelled.exchange(1);
    ReleaseVerificationRequest(request);
    request = nullptr;
}

// A page that refuses its outcome, one that takes it, and none (no page window): one delivery
// each where there is a page, and the request lives until the page lets go.
TEST_F(VerificationJobTest, WorkerDeliversOnceAndThePageFreesLast) {
    TestPage refusing(false), taking;
    TestPage* const pages[] = {&refusing, &taking, nullptr};
    const std::u16string inputs[] = {Write(quorvel_test::FromText("text")), u"", u""};
    const OutcomeKind kinds[] = {OutcomeKind::Failed, OutcomeKind::Neutral, OutcomeKind::Neutral};
    VerificationRequest* requests[3] = {};
    for (std::size_t i = 0; i < 3; ++i) {
        StartVerificationWorker(pages[i], &requests[i], inputs[i]);
        ASSERT_NE(requests[i], nullptr) << "worker " << i;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(job_test::WaitUntil([&] { return requests[i]->refCount.load() == 1; }, kWait))
            << "worker " << i;
        EXPECT_EQ(requests[i]->cancelled.load(), 0);
        if (pages[i] == nullptr) continue;
        EXPECT_EQ(pages[i]->deliveries.load(), 1) << "worker " << i;
        EXPECT_EQ(pages[i]->kind.load(), kinds[i]) << "worker " << i;
    }
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 3u);
    for (VerificationRequest*& request : requests) ClosePage(request);
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0u);

    // No slot, or no thread: nothing starts, the page's request is null again, nothing leaks.
    TestPage idle;
    StartVerificationWorker(&idle, nullptr, u"anything");
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0u);
    ReleaseVerificationRequest(nullptr);
    RefuseWorkerThreadStartForTesting(true);
    VerificationRequest* refused = nullptr;
    StartVerificationWorker(&idle, &refused, u"");
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0u);
    EXPECT_EQ(idle.deliveries.load(), 0);
}

TEST_F(VerificationJobTest, WorkerFreesAndDeliversNothingWhenThePageClosesFirst) {
    // The silent listener holds the fetch until the connect time limit fails it.
    const std::u16string held =
        Write(SignedPe(job_test::UniqueKey("held"), server_.Domain(Listener::Silent)));
    TestPage page;
    VerificationRequest* request = nullptr;
    StartVerificationWorker(&page, &request, held);
    ASSERT_NE(request, nullptr);
    ClosePage(request);  // the page is gone while the fetch is under way
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 1u) << "the worker still holds it";
    EXPECT_TRUE(
        job_test::WaitUntil([] { return LiveVerificationRequestsForTesting() == 0; }, kWait));
    EXPECT_EQ(page.deliveries.load(), 0);
}

}  // namespace
