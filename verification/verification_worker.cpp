#include "verification/verification_worker.h"

#include <atomic>
#include <new>
#include <utility>

#include "worker_seams.h"
#include "worker_thread.h"

namespace {

std::atomic<bool> g_refuseThreadStart{false};
std::atomic<std::size_t> g_liveRequests{0};

VerificationRequest* NewRequest(PageWindow pageWindow, const std::u16string& path) {
    auto* request = new (std::nothrow) VerificationRequest();
    if (request == nullptr) {
        return nullptr;
    }
    g_liveRequests.fetch_add(1);
    try {
        request->path = path;
    } catch (...) {
        delete request;
        g_liveRequests.fetch_sub(1);
        return nullptr;
    }
    request->refCount.store(1);
    request->pageWindow = pageWindow;
    request->cancelled.exchange(0);
    return request;
}

// The outcome leaves the worker only when the page still wants it and it says something.
void Deliver(VerificationRequest& request, VerificationOutcome& outcome) {
    if (request.cancelled.load() != 0 || request.pageWindow == nullptr ||
        outcome.statusText.empty()) {
        return;
    }
    auto* posted = new (std::nothrow) VerificationOutcome();
    if (posted == nullptr) {
        return;
    }
    *posted = std::move(outcome);
    if (!DeliverOutcome(request.pageWindow, posted)) {
        delete posted;  // nobody received it
    }
}

}  // namespace

void StartVerificationWorker(PageWindow pageWindow, VerificationRequest** requestSlot,
                             const std::u16string& path) {
    if (requestSlot == nullptr) {
        return;
    }
    VerificationRequest* request = NewRequest(pageWindow, path);
    if (request == nullptr) {
        return;
    }
    *requestSlot = request;
    request->refCount.fetch_add(1);  // one for the page, one for the thread
    if (g_refuseThreadStart.load() || !StartWorkerThread(request)) {
        *requestSlot = nullptr;
        ReleaseVerificationRequest(request);
        ReleaseVerificationRequest(request);
    }
}

void ReleaseVerificationRequest(VerificationRequest* request) {
    if (request == nullptr) {
        return;
    }
    if (request->refCount.fetch_sub(1) == 1) {
        delete request;
        g_liveRequests.fetch_sub(1);
    }
}

void ProcessVerificationRequest(VerificationRequest* request) {
    if (request == nullptr) {
        return;
    }
    try {
        VerificationOutcome outcome = RunVerification(request->path, &request->cancelled);
        Deliver(*request, outcome);
    } catch (...) {
        // Out of memory for a text: the page keeps the texts it showed at set-up.
    }
    ReleaseVerificationRequest(request);
}

void RefuseWorkerThreadStartForTesting(bool refuse) { g_refuseThreadStart.store(refuse); }

std::size_t LiveVerificationRequestsForTesting() { return g_liveRequests.load(); }
