// Native worker threads: one detached std::thread per verification.
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
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}
