#include "alloc_injector.h"

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
int __real_posix_memalign(void** block, size_t alignment, size_t size);
void __real_free(void* block);
}

namespace {

using namespace alloc_injector;

void* g_live[1 << 14] = {};        // the own blocks allocated while armed and not yet freed
unsigned char g_sources[1 << 20];  // in a program: where each allocation came from (a Source)
bool g_programArmed = false;       // armed as a program (then OpenSSL's leaks are not checked)

bool Fails(Source source) {
    if (!armed) return false;
    if (g_programArmed && static_cast<std::size_t>(calls) < sizeof g_sources)
        g_sources[calls] = source;
    if (++calls != failAt) return false;
    ++failures;
    return true;
}

void* Track(void* block) {
    if (block == nullptr || !armed) return block;
    if (liveBlocks == std::size(g_live)) std::abort();  // more than the array holds
    return g_live[liveBlocks++] = block;
}

void Untrack(void* block) {
    for (std::size_t i = 0; block != nullptr && i < liveBlocks; ++i) {
        if (g_live[i] == block) {
            g_live[i] = g_live[--liveBlocks];
            return;
        }
    }
}

void* Allocate(std::size_t size) {
    return Fails(kOwn) ? nullptr : Track(__real_malloc(size ? size : 1));
}
void Release(void* block) {
    Untrack(block);
    __real_free(block);
}

// OpenSSL's and libcurl's blocks fail in turn but are not tracked: both keep state across calls.
// OpenSSL (3.0) leaks on some of its own failure paths, parts of a set-up that ran out of
// memory: in a program LeakSanitizer leaves its blocks alone.
void* OpenSslBlock(void* block) {
#ifdef __SANITIZE_ADDRESS__
    if (block != nullptr && g_programArmed) __lsan_ignore_object(block);
#endif
    return block;
}
void* CryptoMalloc(size_t size, const char*, int) {
    return Fails(kOpenSsl) ? nullptr : OpenSslBlock(__real_malloc(size));
}
void* CryptoRealloc(void* block, size_t size, const char*, int) {
    return Fails(kOpenSsl) ? nullptr : OpenSslBlock(__real_realloc(block, size));
}
void CryptoFree(void* block, const char*, int) { __real_free(block); }

void* CurlMalloc(size_t size) { return Fails(kCurl) ? nullptr : __real_malloc(size); }
void* CurlCalloc(size_t count, size_t size) {
    return Fails(kCurl) ? nullptr : __real_calloc(count, size);
}
void* CurlRealloc(void* block, size_t size) {
    return Fails(kCurl) ? nullptr : __real_realloc(block, size);
}
char* CurlStrdup(const char* text) {
    const std::size_t size = std::strlen(text) + 1;
    void* copy = CurlMalloc(size);
    return copy != nullptr ? static_cast<char*>(std::memcpy(copy, text, size)) : nullptr;
}

void WriteReport() {
    armed = false;
    if (std::FILE* report = std::fopen(std::getenv("QUORVEL_ALLOC_REPORT"), "w")) {
        std::fprintf(report, "%ld %ld %zu\n", calls, failures, liveBlocks);
        std::fwrite(g_sources, 1, std::min(static_cast<std::size_t>(calls), sizeof g_sources),
                    report);
        std::fclose(report);
    }
}

// Before the program's own static initialisers and main.
__attribute__((constructor(101))) void ArmProgram() {
    const char* failAt = std::getenv("QUORVEL_FAIL_ALLOCATION");
    if (failAt == nullptr || std::getenv("QUORVEL_ALLOC_REPORT") == nullptr) return;
    if (!InstallOpenSslHooks()) std::abort();
    g_programArmed = true;
    std::atexit(WriteReport);
    Arm(std::atol(failAt));
}

}  // namespace

bool alloc_injector::InstallOpenSslHooks() {
    return CRYPTO_set_mem_functions(&CryptoMalloc, &CryptoRealloc, &CryptoFree) == 1;
}

extern "C" {
void* __wrap_malloc(size_t size) { return Allocate(size); }
void* __wrap_calloc(size_t count, size_t size) {
    return Fails(kOwn) ? nullptr : Track(__real_calloc(count, size));
}
void* __wrap_realloc(void* block, size_t size) {
    void* moved = Fails(kOwn) ? nullptr : __real_realloc(block, size);
    if (moved != nullptr) Untrack(block), Track(moved);
    return moved;
}
int __wrap_posix_memalign(void** block, size_t alignment, size_t size) {
    const int result = Fails(kOwn) ? ENOMEM : __real_posix_memalign(block, alignment, size);
    Track(result == 0 ? *block : nullptr);
    return result;
}
void __wrap_free(void* block) { Release(block); }
CURLcode __wrap_curl_global_init(long flags) {
    return curl_global_init_mem(flags, CurlMalloc, __real_free, CurlRealloc, CurlStrdup,
                                CurlCalloc);
}
}

void* operator new(std::size_t size) {
    void* block = Allocate(size);
    return block != nullptr ? block : throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
// The other forms end in these (the sanitizers replace the nothrow new themselves).
void operator delete(void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }
