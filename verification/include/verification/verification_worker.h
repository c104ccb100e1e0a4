// The worker thread that runs one verification for a property page, and the request that the
// page and the worker share.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "verification/outcome_delivery.h"

struct VerificationRequest {
    std::atomic<std::uint32_t> refCount;  // holders: the page and the worker thread
    PageWindow pageWindow;                // where the outcome is delivered
    std::u16string path;                  // the worker's own copy of the file's path
    std::atomic<std::uint8_t> cancelled;  // set to 1 by the page when its window is destroyed
};

// Creates the request and the worker thread and stores the request in *requestSlot (the page's
// reference). Does nothing when requestSlot is null or the request cannot be allocated; leaves
// *requestSlot null when the thread cannot be started. An empty path still runs the job, whose
// outcome then tells the page that no file was selected instead of leaving it at "checking".
void StartVerificationWorker(PageWindow pageWindow, VerificationRequest** requestSlot,
                             const std::u16string& path);

// Gives back one holder's reference; the last one frees the request and its path.
void ReleaseVerificationRequest(VerificationRequest* request);
