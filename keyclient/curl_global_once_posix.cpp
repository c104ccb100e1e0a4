// The once-only libcurl initialisation on POSIX systems.
#include "curl_global_once.h"

#include <pthread.h>

#include <atomic>

#include <curl/curl.h>

namespace {

pthread_once_t g_curlInitOnce = PTHREAD_ONCE_INIT;
std::atomic<int> g_curlInitRuns{0};

void RunCurlGlobalInit() {
    // The result is not used: a failed global initialisation shows up as a failed transfer.
    curl_global_init(CURL_GLOBAL_ALL);
    g_curlInitRuns.fetch_add(1);
}

}  // namespace

void EnsureCurlGlobalInit() {
    pthread_once(&g_curlInitOnce, RunCurlGlobalInit);
}

int CurlGlobalInitRunCount() {
    return g_curlInitRuns.load();
}
