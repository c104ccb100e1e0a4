// A DLL that carries its own copy of the verification worker, as the shell extension does, so
// that a test can unload it while the worker still runs.
#include <windows.h>

#include <string>

#include "verification/verification_worker.h"

// Starts a worker for path without a page window and lets go of the page's reference at once,
// like a page that is closed right after it opened. 1 when the worker was started.
extern "C" __declspec(dllexport) int StartWorkerInModule(const wchar_t* path) {
    if (path == nullptr) {
        return 0;
    }
    const std::wstring wide(path);
    VerificationRequest* request = nullptr;
    StartVerificationWorker(nullptr, &request, std::u16string(wide.begin(), wide.end()));
    if (request == nullptr) {
        return 0;
    }
    request->cancelled.exchange(1);
    ReleaseVerificationRequest(request);
    return 1;
}
