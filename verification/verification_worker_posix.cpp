// Native worker threads: one detached std::thread per verification.
#include <exception>
#include <system_error>
#include <thread>

#include "worker_thread.h"

unsigned VerificationThreadProc(void* request) {
    ProcessVerificationRequest(static_cast<VerificationRequest*>(request));
    return 0;
}

bool StartWorkerThread(VerificationRequest* request) {
    try {
        std::thread(VerificationThreadProc, request).detach();
    } catch (const std::exception&) {
        // std::system_error when no thread can be made, std::bad_alloc when its state cannot.
        return false;
    }
    return true;
}
