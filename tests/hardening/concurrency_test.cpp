// Jobs and workers side by side, for ThreadSanitizer as much as for the results: several jobs
// fetching at once must each get their own answer, and pages that close while their workers
// still wait on the network must get nothing, while the pages that stay open get their outcome.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "job_fixtures.h"
#include "keyserver/keyserver_client.h"
#include "quorvel_test/bytes.h"
#include "verification/verification_job.h"
#include "verification/verification_worker.h"
#include "worker_seams.h"

namespace {

using namespace std::chrono_literals;
using keyserver::Listener;

constexpr auto kWait = 30s;

TEST(Concurrency, ParallelJobsEachGetTheirOwnOutcome) {
    keyserver::Client server = job_test::OpenKeyServer();
    ASSERT_FALSE(server.StateDir().empty());
    job_test::TempDir dir;
    const std::string domain = server.Domain(Listener::Trusted);

    const quorvel_test::TestKey good = job_test::UniqueKey("parallel-good");
    const quorvel_test::TestKey absent = job_test::UniqueKey("parallel-absent");
    keyserver::Route route;
    route.body = job_test::KeyDocument(good, "active", "parallel");
    route.chunkSizes = {64};  // several writes, several callbacks per fetch
    std::string error;
    ASSERT_TRUE(server.PutRoute(job_test::KeyPath(good), route, &error)) << error;

    struct File {
        std::u16string path;
        std::u16string status;
    };
    auto write = [&](const char* name, const quorvel_test::Bytes& bytes) {
        const std::string path = dir.File(name);
        quorvel_test::WriteFile(path, bytes);
        return job_test::U16(path);
    };
    const std::vector<File> files = {
        {write("good.exe", job_test::SignedPe(good, domain)), u"Quorvel: verified"},
        {write("absent.exe", job_test::SignedPe(absent, domain)),
         u"Quorvel: key fetch failed (HTTP 404)"},
        {write("tampered.exe", job_test::Tampered(job_test::SignedPe(good, domain))),
         u"Quorvel: signature invalid"},
        {write("unsigned.exe", job_test::UnsignedPe()), u"Quorvel: no signature"},
    };

    const std::string ca = server.CaFile();
    constexpr int kThreads = 4;
    constexpr int kRunsPerThread = 12;
    std::atomic<int> wrong{0};
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            FetchOptions options;
            options.extraCaFile = ca.c_str();
            for (int i = 0; i < kRunsPerThread; ++i) {
                const File& file = files[static_cast<std::size_t>(t + i) % files.size()];
                const VerificationOutcome outcome = RunVerification(file.path, nullptr, &options);
                if (outcome.statusText != file.status) {
                    wrong.fetch_add(1);
                }
                done.fetch_add(1);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(done.load(), kThreads * kRunsPerThread);
    EXPECT_EQ(wrong.load(), 0);
}

// A page that records what reaches it; thread-safe, since workers deliver from their threads.
struct Page : OutcomeReceiver {
    Page() : OutcomeReceiver{&Receive} {}
    static bool Receive(OutcomeReceiver* self, VerificationOutcome* outcome) {
        auto* page = static_cast<Page*>(self);
        if (outcome->statusText.rfind(u"Quorvel: key fetch failed (", 0) == 0) {
            page->fetchFailed.fetch_add(1);
        }
        page->deliveries.fetch_add(1);
        delete outcome;
        return true;
    }
    std::atomic<int> deliveries{0};
    std::atomic<int> fetchFailed{0};
};

TEST(Concurrency, PagesClosingWhileTheirWorkersWaitGetNothing) {
    keyserver::Client server = job_test::OpenKeyServer();
    ASSERT_FALSE(server.StateDir().empty());
    ASSERT_TRUE(job_test::WaitUntil([] { return LiveVerificationRequestsForTesting() == 0; }, kWait));
    job_test::TempDir dir;
    // The silent listener accepts and never answers: each fetch ends at the connection limit,
    // long after the pages below have closed.
    const std::string path = dir.File("silent.exe");
    quorvel_test::WriteFile(path, job_test::SignedPe(job_test::UniqueKey("silent"),
                                                     server.Domain(Listener::Silent)));
    const std::u16string widePath = job_test::U16(path);

    constexpr int kPages = 16;
    std::vector<std::unique_ptr<Page>> pages;
    std::vector<VerificationRequest*> requests(kPages, nullptr);
    for (int i = 0; i < kPages; ++i) {
        pages.push_back(std::make_unique<Page>());
        StartVerificationWorker(pages.back().get(), &requests[static_cast<std::size_t>(i)],
                                widePath);
        ASSERT_NE(requests[static_cast<std::size_t>(i)], nullptr) << "page " << i;
    }
    // Every other page closes at once, from another thread than the one that started them.
    std::thread closer([&] {
        for (std::size_t i = 0; i < requests.size(); i += 2) {
            requests[i]->cancelled.exchange(1);
            ReleaseVerificationRequest(requests[i]);
            requests[i] = nullptr;
        }
    });
    closer.join();

    // The open pages get their failed fetch; then they close too.
    for (std::size_t i = 1; i < requests.size(); i += 2) {
        EXPECT_TRUE(job_test::WaitUntil([&] { return pages[i]->deliveries.load() == 1; }, kWait))
            << "open page " << i;
        requests[i]->cancelled.exchange(1);
        ReleaseVerificationRequest(requests[i]);
        requests[i] = nullptr;
    }
    EXPECT_TRUE(job_test::WaitUntil([] { return LiveVerificationRequestsForTesting() == 0; }, kWait));
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (i % 2 == 0) {
            EXPECT_EQ(pages[i]->deliveries.load(), 0) << "closed page " << i;
        } else {
            EXPECT_EQ(pages[i]->deliveries.load(), 1) << "open page " << i;
            EXPECT_EQ(pages[i]->fetchFailed.load(), 1) << "open page " << i;
        }
    }
}

}  // namespace
