// The worker thread: one delivery per job, the shared request freed exactly once whoever lets go
// last, cancellation by a closing page, and the failures to start. Under ASan a leaked outcome
// or request fails here; under TSan a race does.
#include "verification/verification_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "job_fixtures.h"
#include "worker_seams.h"

namespace {

using job_test::WaitUntil;
constexpr auto kWait = std::chrono::seconds(20);

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

class VerificationWorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(WaitUntil([] { return LiveVerificationRequestsForTesting() == 0; }, kWait));
    }
    void TearDown() override { RefuseWorkerThreadStartForTesting(false); }
    job_test::TempDir dir_;
};

TEST_F(VerificationWorkerTest, EachWorkerDeliversOnceAndThePageFreesLast) {
    quorvel_test::WriteFile(dir_.File("text.exe"), quorvel_test::FromText("text"));
    const std::u16string inputs[] = {job_test::U16(dir_.File("text.exe")), u""};
    const OutcomeKind kinds[] = {OutcomeKind::Failed, OutcomeKind::Neutral};
    constexpr std::size_t kWorkers = 8;
    std::vector<std::unique_ptr<TestPage>> pages;
    std::vector<VerificationRequest*> requests(kWorkers, nullptr);
    for (std::size_t i = 0; i < kWorkers; ++i) {
        pages.push_back(std::make_unique<TestPage>(i != 0));  // the first page refuses
        StartVerificationWorker(pages.back().get(), &requests[i], inputs[i % 2]);
        ASSERT_NE(requests[i], nullptr) << "worker " << i;
        EXPECT_EQ(requests[i]->path, inputs[i % 2]);
    }
    for (std::size_t i = 0; i < kWorkers; ++i) {
        ASSERT_TRUE(WaitUntil([&] { return requests[i]->refCount.load() == 1; }, kWait))
            << "worker " << i;
        EXPECT_EQ(pages[i]->deliveries.load(), 1) << "worker " << i;
        EXPECT_EQ(pages[i]->kind.load(), kinds[i % 2]) << "worker " << i;
        EXPECT_EQ(requests[i]->cancelled.load(), 0);
    }
    EXPECT_EQ(LiveVerificationRequestsForTesting(), kWorkers);
    for (VerificationRequest*& request : requests) ClosePage(request);
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0u);
}

TEST_F(VerificationWorkerTest, PagesClosingFirstGetNothingAndTheWorkerFrees) {
    // The silent listener holds each fetch until the connect time limit fails it.
    const std::string domain = job_test::OpenKeyServer().Domain(keyserver::Listener::Silent);
    quorvel_test::WriteFile(dir_.File("held.exe"),
                            job_test::SignedPe(job_test::UniqueKey("held"), domain));
    constexpr std::size_t kWorkers = 4;
    std::vector<std::unique_ptr<TestPage>> pages;
    for (std::size_t i = 0; i < kWorkers; ++i) {
        pages.push_back(std::make_unique<TestPage>());
        VerificationRequest* request = nullptr;
        StartVerificationWorker(pages.back().get(), &request, job_test::U16(dir_.File("held.exe")));
        ASSERT_NE(request, nullptr);
        ClosePage(request);  // the page is gone while the fetch is under way
    }
    EXPECT_EQ(LiveVerificationRequestsForTesting(), kWorkers) << "the workers still hold them";
    EXPECT_TRUE(WaitUntil([] { return LiveVerificationRequestsForTesting() == 0; }, kWait));
    for (const auto& page : pages) EXPECT_EQ(page->deliveries.load(), 0);
}

TEST_F(VerificationWorkerTest, NothingStartsWithoutASlotOrAThread) {
    TestPage page;
    StartVerificationWorker(&page, nullptr, u"anything");
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0u);
    ReleaseVerificationRequest(nullptr);

    RefuseWorkerThreadStartForTesting(true);
    VerificationRequest* request = nullptr;
    StartVerificationWorker(&page, &request, u"");
    EXPECT_EQ(request, nullptr) << "the page's request is null again";
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0u) << "and the request has been freed";
    RefuseWorkerThreadStartForTesting(false);

    // No page window: the job runs, nothing is delivered, the request is freed.
    StartVerificationWorker(nullptr, &request, u"");
    ASSERT_NE(request, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return request->refCount.load() == 1; }, kWait));
    ClosePage(request);
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0u);
    EXPECT_EQ(page.deliveries.load(), 0);
}

}  // namespace
