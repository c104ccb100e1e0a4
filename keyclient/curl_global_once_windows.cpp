// The once-only libcurl initialisation on Windows, with the system's one-time initialisation.
#include "curl_global_once.h"

// curl.h brings winsock2.h, which must come before windows.h.
#include <curl/curl.h>

#include <windows.h>

namespace {

INIT_ONCE g_curlInitOnce = INIT_ONCE_STATIC_INIT;
volatile LONG g_curlInitRuns = 0;
bool g_curlReady = false;  // written once, before InitOnceComplete

}  // namespace

bool EnsureCurlGlobalInit() {
    BOOL pending = FALSE;
    // Synchronous mode: a concurrent first caller blocks here until the winner completes.
    if (!InitOnceBeginInitialize(&g_curlInitOnce, 0, &pending, nullptr)) {
        return false;
    }
    if (!pending) {
        return g_curlReady;  // already done by an earlier call
    }
    g_curlReady = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
    InterlockedIncrement(&g_curlInitRuns);
    InitOnceComplete(&g_curlInitOnce, 0, nullptr);
    return g_curlReady;
}

int CurlGlobalInitRunCount() {
    return static_cast<int>(InterlockedCompareExchange(&g_curlInitRuns, 0, 0));
}
