// The once-only libcurl initialisation on POSIX systems.
#include "curl_global_once.h"

#include <pthread.h>

#include <atomic>

#include <curl/curl.h>

#include "openssl_start.h"

namespace {

pthread_once_t g_curlInitOnce = PTHREAD_ONCE_INIT;
std::atomic<int> g_curlInitRuns{0};
bool g_curlReady = false;  // written once inside pthread_once

void RunCurlGlobalInit() {
    // libcurl sets OpenSSL up without looking at the result, and a set-up that ran out of memory
    // leaves OpenSSL half made for libcurl's next call into it. OpenSSL's checked set-up comes
    // first; when it failed, libcurl is not started.
    g_curlReady =
        quorvel_openssl_start() != nullptr && curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
    g_curlInitRuns.fetch_add(1);
}

}  // namespace

bool EnsureCurlGlobalInit() {
    return pthread_once(&g_curlInitOnce, RunCurlGlobalInit) == 0 && g_curlReady;
}

int CurlGlobalInitRunCount() {
    return g_curlInitRuns.load();
}
