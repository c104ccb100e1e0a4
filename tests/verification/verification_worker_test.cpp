// The worker thread: delivery, ownership of the outcome and of the shared request, and the
// failure of the thread start. The worker has no FetchOptions, so these tests use outcomes
// that need no trusted TLS.
#include "verification/verification_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "job_fixtures.h"
#include "quorvel_test/bytes.h"
#include "worker_seams.h"

namespace {

using namespace std::chrono_literals;
using job_test::U16;
using job_test::WaitUntil;

constexpr auto kWait = 20s;

// The page's side of the hand-over: counts deliveries, keeps a copy of the last outcome and
// frees the delivered one, or refuses it as a window that is gone would.
struct TestPage : OutcomeReceiver {
    explicit TestPage(bool accept = true) : OutcomeReceiver{&Receive}, accepts(accept) {}

    static bool Receive(OutcomeReceiver* self, VerificationOutcome* outcome) {
        auto* page = static_cast<TestPage*>(self);
        {
            const std::lock_guard<std::mutex> lock(page->mutex);
            page->last = *outcome;
        }
        page->deliveries.fetch_add(1);
        if (!page->accepts) {
            return false;  // the worker keeps the outcome and must free it
        }
        delete outcome;
        return true;
    }

    VerificationOutcome Last() {
        const std::lock_guard<std::mutex> lock(mutex);
        return last;
    }

    bool accepts;
    std::atomic<int> deliveries{0};
    std::mutex mutex;
    VerificationOutcome last;
};

class VerificationWorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Workers of earlier tests in this process have all finished.
        ASSERT_TRUE(WaitUntil([] { return LiveVerificationRequestsForTesting() == 0; }, kWait));
    }

    void TearDown() override { RefuseWorkerThreadStartForTesting(false); }

    std::u16string Write(std::string_view name, const quorvel_test::Bytes& bytes) const {
        const std::string path = dir_.File(name);
        quorvel_test::WriteFile(path, bytes);
        return U16(path);
    }

    // What the page does when its window is destroyed.
    static void ClosePage(VerificationRequest*& request) {
        request->cancelled.exchange(1);
        ReleaseVerificationRequest(request);
        request = nullptr;
    }

    static bool AllRequestsFreed() {
        return WaitUntil([] { return LiveVerificationRequestsForTesting() == 0; }, kWait);
    }

    job_test::TempDir dir_;
};

TEST_F(VerificationWorkerTest, DeliversTheOutcomeOnceToThePage) {
    TestPage page;
    VerificationRequest* request = nullptr;
    StartVerificationWorker(&page, &request, Write("plain.exe", job_test::UnsignedPe()));
    ASSERT_NE(request, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return page.deliveries.load() == 1; }, kWait));
    const VerificationOutcome outcome = page.Last();
    EXPECT_EQ(outcome.statusText, u"Quorvel: no signature");
    EXPECT_EQ(outcome.resultText, u"No Quorvel signature was found.");
    EXPECT_EQ(outcome.domainText, u"(not available)");
    EXPECT_EQ(outcome.kind, OutcomeKind::Failed);
    ClosePage(request);
    EXPECT_TRUE(AllRequestsFreed());
    EXPECT_EQ(page.deliveries.load(), 1);
}

TEST_F(VerificationWorkerTest, EmptyPathRunsTheJobAndDeliversNoFileSelected) {
    TestPage page;
    VerificationRequest* request = nullptr;
    StartVerificationWorker(&page, &request, u"");
    ASSERT_NE(request, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return page.deliveries.load() == 1; }, kWait));
    const VerificationOutcome outcome = page.Last();
    EXPECT_EQ(outcome.statusText, u"Quorvel: unavailable");
    EXPECT_EQ(outcome.resultText, u"No file selected.");
    EXPECT_EQ(outcome.domainText, u"(not available)");
    EXPECT_EQ(outcome.kind, OutcomeKind::Neutral);
    ClosePage(request);
    EXPECT_TRUE(AllRequestsFreed());
}

// Run under the sanitizer build: an outcome that the worker failed to free is a leak there.
TEST_F(VerificationWorkerTest, RefusedDeliveryIsFreedByTheWorker) {
    TestPage page(/*accept=*/false);
    VerificationRequest* request = nullptr;
    StartVerificationWorker(&page, &request, Write("text.exe", quorvel_test::FromText("text")));
    ASSERT_NE(request, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return page.deliveries.load() == 1; }, kWait));
    EXPECT_EQ(page.Last().statusText, u"Quorvel: not a PE file");
    ClosePage(request);
    EXPECT_TRUE(AllRequestsFreed());
}

TEST_F(VerificationWorkerTest, RequestFreedByTheWorkerWhenThePageLetsGoFirst) {
    job_test::LoopbackListener listener;  // holds the fetch until released
    const std::u16string path =
        Write("held.exe", job_test::SignedPe(job_test::UniqueKey("page-first"), listener.Domain()));
    TestPage page;
    VerificationRequest* request = nullptr;
    StartVerificationWorker(&page, &request, path);
    ASSERT_NE(request, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return listener.Connections() == 1; }, kWait));

    ClosePage(request);  // the page is gone while the fetch is under way
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 1U) << "the worker still holds it";
    listener.Release();  // the fetch fails; the job ends as Cancelled
    EXPECT_TRUE(AllRequestsFreed());
    EXPECT_EQ(page.deliveries.load(), 0) << "a cancelled job delivers nothing";
}

TEST_F(VerificationWorkerTest, RequestFreedByThePageWhenTheWorkerLetsGoFirst) {
    TestPage page;
    VerificationRequest* request = nullptr;
    StartVerificationWorker(&page, &request, Write("plain.exe", job_test::UnsignedPe()));
    ASSERT_NE(request, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return request->refCount.load() == 1; }, kWait))
        << "the worker gives its reference back when it is done";
    EXPECT_EQ(page.deliveries.load(), 1);
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 1U);
    EXPECT_EQ(request->cancelled.load(), 0);
    ClosePage(request);
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0U);
}

TEST_F(VerificationWorkerTest, SixtyFourWorkersEachDeliverExactlyOnce) {
    constexpr int kWorkers = 64;
    const std::u16string inputs[] = {
        Write("unsigned.exe", job_test::UnsignedPe()),
        Write("text.exe", quorvel_test::FromText("text")),
        U16(dir_.File("missing.exe")),
        u"",
    };
    const std::u16string statuses[] = {u"Quorvel: no signature", u"Quorvel: not a PE file",
                                       u"Quorvel: unable to read file", u"Quorvel: unavailable"};
    std::vector<std::unique_ptr<TestPage>> pages;
    std::vector<VerificationRequest*> requests(kWorkers, nullptr);
    for (int i = 0; i < kWorkers; ++i) {
        pages.push_back(std::make_unique<TestPage>());
        StartVerificationWorker(pages.back().get(), &requests[static_cast<std::size_t>(i)],
                                inputs[i % 4]);
        ASSERT_NE(requests[static_cast<std::size_t>(i)], nullptr) << "worker " << i;
    }
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const auto& page : pages) {
                if (page->deliveries.load() == 0) {
                    return false;
                }
            }
            return true;
        },
        kWait));
    for (VerificationRequest*& request : requests) {
        ClosePage(request);
    }
    ASSERT_TRUE(AllRequestsFreed()) << "every worker has finished";
    for (int i = 0; i < kWorkers; ++i) {
        TestPage& page = *pages[static_cast<std::size_t>(i)];
        EXPECT_EQ(page.deliveries.load(), 1) << "worker " << i;
        EXPECT_EQ(page.Last().statusText, statuses[i % 4]) << "worker " << i;
    }
}

// Pages that close at once race their workers for the last reference; under the sanitizer
// build a request freed twice or used after its free fails here.
TEST_F(VerificationWorkerTest, PagesClosingWhileTheirWorkersFinishFreeEachRequestOnce) {
    constexpr int kWorkers = 64;
    const std::u16string path = Write("plain.exe", job_test::UnsignedPe());
    std::vector<std::unique_ptr<TestPage>> pages;
    for (int i = 0; i < kWorkers; ++i) {
        pages.push_back(std::make_unique<TestPage>());
        VerificationRequest* request = nullptr;
        StartVerificationWorker(pages.back().get(), &request, i % 2 == 0 ? path : u"");
        ASSERT_NE(request, nullptr) << "worker " << i;
        ClosePage(request);
    }
    ASSERT_TRUE(AllRequestsFreed());
    for (int i = 0; i < kWorkers; ++i) {
        EXPECT_LE(pages[static_cast<std::size_t>(i)]->deliveries.load(), 1) << "worker " << i;
    }
}

TEST_F(VerificationWorkerTest, RefusedThreadStartLeavesNoRequest) {
    RefuseWorkerThreadStartForTesting(true);
    TestPage page;
    VerificationRequest* request = nullptr;
    StartVerificationWorker(&page, &request, Write("plain.exe", job_test::UnsignedPe()));
    EXPECT_EQ(request, nullptr) << "the page's request is null again";
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0U) << "and the request has been freed";
    EXPECT_EQ(page.deliveries.load(), 0);
}

TEST_F(VerificationWorkerTest, NoRequestSlotStartsNothing) {
    TestPage page;
    StartVerificationWorker(&page, nullptr, u"anything");
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0U);
}

TEST_F(VerificationWorkerTest, NoPageWindowDeliversNothingAndFreesTheRequest) {
    VerificationRequest* request = nullptr;
    StartVerificationWorker(nullptr, &request, Write("plain.exe", job_test::UnsignedPe()));
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->path, U16(dir_.File("plain.exe")));
    ASSERT_TRUE(WaitUntil([&] { return request->refCount.load() == 1; }, kWait));
    ClosePage(request);
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0U);
}

TEST_F(VerificationWorkerTest, ReleasingNullIsHarmless) {
    ReleaseVerificationRequest(nullptr);
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0U);
}

}  // namespace
