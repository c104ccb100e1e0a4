// libcurl's process-wide initialisation, run once and never undone.
#pragma once

// Runs curl_global_init(CURL_GLOBAL_ALL) on the first call in the process; concurrent first
// callers wait until it has run, later calls return at once.
void EnsureCurlGlobalInit();

// How many times the initialisation above has run in this process (0 or 1); for tests.
int CurlGlobalInitRunCount();
