// libcurl's process-wide initialisation, run once and never undone.
#pragma once

// Runs curl_global_init(CURL_GLOBAL_ALL) on the first call in the process; concurrent first
// callers wait until it has run, later calls return at once. False when it failed (memory ran
// out inside libcurl's or its TLS library's set-up): then libcurl is not to be used at all, not
// even through curl_easy_init, which would try the set-up again on a TLS library left half made.
bool EnsureCurlGlobalInit();

// How many times the initialisation above has run in this process (0 or 1); for tests.
int CurlGlobalInitRunCount();
