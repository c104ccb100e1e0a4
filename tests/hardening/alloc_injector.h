// One allocation failure at a time, for the library walk and the whole-program sweep. Allocations
// are seen through the linker's --wrap of the malloc family (the project's code and what is
// compiled into it), OpenSSL's allocation hooks, libcurl's (set by wrapping curl_global_init) and
// a replaced operator new. The injector never allocates; counting is not atomic, for
// single-threaded runs.
//
// A program linked with it (tests/hardening/CMakeLists.txt) is armed before its first allocation
// when QUORVEL_FAIL_ALLOCATION and QUORVEL_ALLOC_REPORT are set: allocation QUORVEL_FAIL_ALLOCATION
// fails (0: none), and at exit the file QUORVEL_ALLOC_REPORT receives "CALLS FAILURES LIVEBLOCKS"
// and a line, then one byte (a Source) per allocation.
#pragma once

#include <cstddef>

namespace alloc_injector {

enum Source : unsigned char { kOwn = 1, kOpenSsl = 2, kCurl = 3 };

inline bool armed = false;
inline long calls = 0, failAt = 0, failures = 0;  // failAt is 1-based; 0: none fails
inline std::size_t liveBlocks = 0;  // own blocks allocated while armed and not yet freed

// Before OpenSSL allocates: false when it has allocated already.
bool InstallOpenSslHooks();

inline void Arm(long failAtCall) {
    calls = failures = 0;
    failAt = failAtCall;
    armed = true;
}

}  // namespace alloc_injector
