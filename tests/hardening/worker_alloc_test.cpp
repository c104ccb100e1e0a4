// Allocation failures on the worker's road: the request and the heap outcome (non-throwing
// allocations), and every throwing allocation between starting the worker and the page closing.
// This binary replaces the global allocation functions with counting ones; inside a window,
// exactly one chosen call fails. Each case checks that no outcome was delivered, that a failed
// request means no thread, that every request is freed and that every block allocated in the
// window has been released once the worker is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "hardening_support.h"
#include "job_fixtures.h"
#include "quorvel_test/bytes.h"
#include "verification/verification_worker.h"
#include "worker_seams.h"

namespace {

// --- the counting allocator ----------------------------------------------------------------------

constexpr std::size_t kSlots = 1 << 14;
void* const kTombstone = reinterpret_cast<void*>(1);

enum class Kind { Nothrow, Throwing };

struct Window {
    std::atomic<bool> armed{false};
    std::atomic<long> nothrowCalls{0};
    std::atomic<long> throwingCalls{0};
    std::atomic<long> failNothrowAt{0};   // 1-based; 0: none
    std::atomic<long> failThrowingAt{0};  // 1-based; 0: none
    std::atomic<long> failures{0};
    // Blocks allocated while armed and not yet freed (freed at any time, armed or not).
    std::atomic_flag lock = ATOMIC_FLAG_INIT;
    void* live[kSlots] = {};
    std::size_t liveCount = 0;
    bool overflow = false;
};

Window g_window;

struct SpinLock {
    SpinLock() {
        while (g_window.lock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~SpinLock() { g_window.lock.clear(std::memory_order_release); }
};

std::size_t Hash(void* block) {
    return (reinterpret_cast<std::uintptr_t>(block) >> 4) * 2654435761u % kSlots;
}

void Track(void* block) {
    SpinLock guard;
    for (std::size_t i = 0, at = Hash(block); i < kSlots; ++i, at = (at + 1) % kSlots) {
        if (g_window.live[at] == nullptr || g_window.live[at] == kTombstone) {
            g_window.live[at] = block;
            ++g_window.liveCount;
            return;
        }
    }
    g_window.overflow = true;
}

void Untrack(void* block) {
    SpinLock guard;
    if (g_window.liveCount == 0) {
        return;
    }
    for (std::size_t i = 0, at = Hash(block); i < kSlots; ++i, at = (at + 1) % kSlots) {
        if (g_window.live[at] == nullptr) {
            return;
        }
        if (g_window.live[at] == block) {
            g_window.live[at] = kTombstone;
            --g_window.liveCount;
            return;
        }
    }
}

void* Allocate(std::size_t size, Kind kind) {
    bool tracked = false;
    if (g_window.armed.load()) {
        tracked = true;
        const long index = kind == Kind::Nothrow ? g_window.nothrowCalls.fetch_add(1) + 1
                                                 : g_window.throwingCalls.fetch_add(1) + 1;
        const long failAt = kind == Kind::Nothrow ? g_window.failNothrowAt.load()
                                                  : g_window.failThrowingAt.load();
        if (index == failAt) {
            g_window.failures.fetch_add(1);
            return nullptr;
        }
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr && tracked) {
        Track(block);
    }
    return block;
}

void Release(void* block) {
    if (block != nullptr) {
        Untrack(block);
        std::free(block);
    }
}

}  // namespace

void* operator new(std::size_t size) {
    void* block = Allocate(size, Kind::Throwing);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}
void* operator new[](std::size_t size) {
    void* block = Allocate(size, Kind::Throwing);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size, Kind::Nothrow);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size, Kind::Nothrow);
}
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }
void operator delete[](void* block, std::size_t) noexcept { Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(block); }

namespace {

using namespace std::chrono_literals;
using job_test::WaitUntil;

constexpr auto kWait = 20s;

// The page's side: counts deliveries and frees them, allocating nothing (it runs inside the
// window on the worker thread).
struct CountingPage : OutcomeReceiver {
    CountingPage() : OutcomeReceiver{&Receive} {}
    static bool Receive(OutcomeReceiver* self, VerificationOutcome* outcome) {
        auto* page = static_cast<CountingPage*>(self);
        page->rightStatus.store(outcome->statusText == u"Quorvel: no signature");
        page->deliveries.fetch_add(1);
        delete outcome;
        return true;
    }
    std::atomic<int> deliveries{0};
    std::atomic<bool> rightStatus{false};
};

struct CaseResult {
    bool requestMade = false;
    bool threadsBack = false;
    bool allFreed = false;
    bool escaped = false;
    int deliveries = 0;
    bool rightStatus = false;
    long threadsDuring = 0;
    std::size_t leftInWindow = 0;
    long failures = 0;
};

long Threads() {
    return hardening::ProcStatusField("Threads");
}

class WorkerAllocationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WaitUntil([] { return LiveVerificationRequestsForTesting() == 0; }, kWait));
        // Sanitizer runtimes start helper threads of their own with the first thread; one
        // joined thread first makes the count below include them.
        std::thread([] {}).join();
        WaitUntil([] { return false; }, 50ms);
        baseThreads_ = Threads();
        const std::string path = dir_.File("unsigned.exe");
        quorvel_test::WriteFile(path, job_test::UnsignedPe());
        path_ = job_test::U16(path);
    }

    // Starts a worker with the window armed, waits until it has given back its reference,
    // closes the page as WM_DESTROY does, and waits for the thread to be gone.
    CaseResult RunCase(long failNothrowAt, long failThrowingAt) {
        CountingPage page;
        VerificationRequest* slot = nullptr;
        {
            // Each case judges only its own blocks.
            SpinLock guard;
            std::fill(std::begin(g_window.live), std::end(g_window.live), nullptr);
            g_window.liveCount = 0;
            g_window.overflow = false;
        }
        g_window.nothrowCalls = 0;
        g_window.throwingCalls = 0;
        g_window.failures = 0;
        g_window.failNothrowAt = failNothrowAt;
        g_window.failThrowingAt = failThrowingAt;
        g_window.armed = true;
        CaseResult r;
        try {
            StartVerificationWorker(&page, &slot, path_);
        } catch (...) {
            r.escaped = true;
        }
        if (slot != nullptr) {
            // The worker has finished with the request when only the page's reference is left.
            WaitUntil([&] { return slot->refCount.load() == 1; }, kWait);
        }
        g_window.armed = false;
        // Read after the window closes (reading /proc allocates). Without a request no thread
        // can have started, so the count is then still the one from before.
        r.threadsDuring = Threads();
        r.failures = g_window.failures.load();
        r.requestMade = slot != nullptr;
        if (slot != nullptr) {
            slot->cancelled.exchange(1);
            ReleaseVerificationRequest(slot);
        }
        r.allFreed = WaitUntil([] { return LiveVerificationRequestsForTesting() == 0; }, kWait);
        r.threadsBack = WaitUntil([this] { return Threads() == baseThreads_; }, kWait);
        r.deliveries = page.deliveries.load();
        r.rightStatus = page.rightStatus.load();
        {
            SpinLock guard;
            r.leftInWindow = g_window.liveCount;
        }
        return r;
    }

    job_test::TempDir dir_;
    std::u16string path_;
    long baseThreads_ = 0;
};

TEST_F(WorkerAllocationTest, EachNonThrowingAllocationFailsInTurn) {
    const CaseResult clean = RunCase(0, 0);
    const long total = g_window.nothrowCalls.load();
    ASSERT_EQ(clean.deliveries, 1) << "the clean run must deliver its outcome";
    EXPECT_TRUE(clean.rightStatus);
    EXPECT_EQ(total, 2) << "the request and the heap outcome";
    EXPECT_EQ(clean.leftInWindow, 0u);

    for (long failAt = 1; failAt <= total; ++failAt) {
        const CaseResult r = RunCase(failAt, 0);
        const std::string where = "non-throwing allocation " + std::to_string(failAt) + " of " +
                                  std::to_string(total);
        EXPECT_EQ(r.failures, 1) << where;
        EXPECT_FALSE(r.escaped) << where;
        EXPECT_EQ(r.deliveries, 0) << where << ": nothing may be posted";
        EXPECT_TRUE(r.allFreed) << where << ": a request was not freed";
        EXPECT_TRUE(r.threadsBack) << where;
        EXPECT_EQ(r.leftInWindow, 0u) << where << ": a block was not released";
        EXPECT_FALSE(g_window.overflow) << where;
        if (failAt == 1) {
            // The request itself: no request, no thread.
            EXPECT_FALSE(r.requestMade) << where;
            EXPECT_EQ(r.threadsDuring, baseThreads_) << where << ": a thread was started";
        } else {
            EXPECT_TRUE(r.requestMade) << where;
        }
    }
    std::printf("[ alloc ] worker: %ld non-throwing allocations failed in turn\n", total);
}

TEST_F(WorkerAllocationTest, EachThrowingAllocationFailsInTurn) {
    const CaseResult clean = RunCase(0, 0);
    const long total = g_window.throwingCalls.load();
    ASSERT_EQ(clean.deliveries, 1);
    ASSERT_GT(total, 0);

    long withRequest = 0;
    for (long failAt = 1; failAt <= total; ++failAt) {
        const CaseResult r = RunCase(0, failAt);
        const std::string where =
            "throwing allocation " + std::to_string(failAt) + " of " + std::to_string(total);
        EXPECT_EQ(r.failures, 1) << where;
        EXPECT_FALSE(r.escaped) << where << ": an exception left StartVerificationWorker";
        // A job that ran out of memory has no outcome; the page keeps its set-up texts.
        EXPECT_EQ(r.deliveries, 0) << where;
        EXPECT_TRUE(r.allFreed) << where;
        EXPECT_TRUE(r.threadsBack) << where;
        EXPECT_EQ(r.leftInWindow, 0u) << where << ": a block was not released";
        if (!r.requestMade) {
            EXPECT_EQ(r.threadsDuring, baseThreads_) << where << ": a thread without a request";
        }
        withRequest += r.requestMade ? 1 : 0;
    }
    std::printf("[ alloc ] worker: %ld throwing allocations failed in turn (%ld after the request "
                "was made)\n",
                total, withRequest);
}

}  // namespace
