// Allocation failures, one at a time, across a few end-to-end scenarios: each scenario runs
// once clean, counting the allocations, then once per allocation with exactly that one failing,
// and checks the documented outcome and that every block allocated during the run was released.
// Allocations are seen through the linker's --wrap (the malloc family), OpenSSL's allocation
// hooks (set in main, before it allocates) and a replaced global operator new.
#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "job_fixtures.h"
#include "quorvel/quorvel.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/der.h"
#include "verification/single_pass_reader.h"
#include "verification/verification_worker.h"
#include "verification/whole_file_reader.h"
#include "worker_seams.h"

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
int __real_posix_memalign(void** block, size_t alignment, size_t size);
void __real_free(void* block);
}

namespace {

// The injector never allocates: live blocks sit in a fixed open-addressing table.
constexpr std::size_t kSlots = 1 << 15;
void* const kTombstone = reinterpret_cast<void*>(1);

struct Injector {
    std::atomic<bool> armed{false};
    std::atomic<long> calls{0};
    std::atomic<long> failAt{0};  // 1-based; 0: none fails
    std::atomic<long> failures{0};
    std::atomic_flag lock = ATOMIC_FLAG_INIT;
    void* live[kSlots] = {};
    std::atomic<std::size_t> liveCount{0};
} g_injector;

struct Guard {
    Guard() {
        while (g_injector.lock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~Guard() { g_injector.lock.clear(std::memory_order_release); }
};

std::size_t Hash(void* block) {
    return (reinterpret_cast<std::uintptr_t>(block) >> 4) * 2654435761u % kSlots;
}

bool Fails() {
    if (!g_injector.armed.load() || g_injector.calls.fetch_add(1) + 1 != g_injector.failAt.load()) {
        return false;
    }
    g_injector.failures.fetch_add(1);
    return true;
}

void* Track(void* block) {
    if (block == nullptr || !g_injector.armed.load()) {
        return block;
    }
    Guard guard;
    for (std::size_t i = 0, at = Hash(block); i < kSlots; ++i, at = (at + 1) % kSlots) {
        if (g_injector.live[at] == nullptr || g_injector.live[at] == kTombstone) {
            g_injector.live[at] = block;
            g_injector.liveCount.fetch_add(1);
            return block;
        }
    }
    std::abort();  // more live blocks than the table holds
}

void Untrack(void* block) {
    Guard guard;
    for (std::size_t i = 0, at = Hash(block); block != nullptr && i < kSlots;
         ++i, at = (at + 1) % kSlots) {
        if (g_injector.live[at] == nullptr) {
            return;
        }
        if (g_injector.live[at] == block) {
            g_injector.live[at] = kTombstone;
            g_injector.liveCount.fetch_sub(1);
            return;
        }
    }
}

void* Allocate(std::size_t size) {
    return Fails() ? nullptr : Track(__real_malloc(size ? size : 1));
}
void Release(void* block) {
    Untrack(block);
    __real_free(block);
}
void* Reallocate(void* block, std::size_t size) {
    void* moved = Fails() ? nullptr : __real_realloc(block, size);
    if (moved != nullptr) {
        Untrack(block);
        Track(moved);
    }
    return moved;
}

// OpenSSL's blocks fail in turn but are not tracked: it keeps caches of its own across calls.
void* CryptoMalloc(size_t size, const char*, int) {
    return Fails() ? nullptr : __real_malloc(size);
}
void* CryptoRealloc(void* block, size_t size, const char*, int) {
    return Fails() ? nullptr : __real_realloc(block, size);
}
void CryptoFree(void* block, const char*, int) { __real_free(block); }

}  // namespace

extern "C" {
void* __wrap_malloc(size_t size) { return Allocate(size); }
void* __wrap_calloc(size_t count, size_t size) {
    return Fails() ? nullptr : Track(__real_calloc(count, size));
}
void* __wrap_realloc(void* block, size_t size) { return Reallocate(block, size); }
int __wrap_posix_memalign(void** block, size_t alignment, size_t size) {
    const int result = Fails() ? ENOMEM : __real_posix_memalign(block, alignment, size);
    Track(result == 0 ? *block : nullptr);
    return result;
}
void __wrap_free(void* block) { Release(block); }
}

void* operator new(std::size_t size) {
    void* block = Allocate(size);
    return block != nullptr ? block : throw std::bad_alloc();
}
// The other forms of new and delete end in these.
void operator delete(void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }

namespace {

using quorvel_test::Bytes;
constexpr char kDomain[] = "alloc.example";

const quorvel_test::TestKey& Key() {
    static const quorvel_test::TestKey key = quorvel_test::KeyFromSeedByte(0x33);
    return key;
}

// One run of a scenario with allocation failAt failing (0: none); returns whether the outcome
// is one the scenario documents for that failure.
using Scenario = std::function<bool(long failAt)>;

long Walk(const char* name, const Scenario& scenario) {
    long total = 0;
    for (long failAt = 0; failAt <= total; ++failAt) {  // 0: the clean run, which counts them
        g_injector.calls = 0;
        g_injector.failures = 0;
        g_injector.failAt = failAt;
        g_injector.armed = true;
        EXPECT_TRUE(scenario(failAt)) << name << ", allocation " << failAt << " of " << total;
        if (failAt == 0) {
            total = g_injector.calls.load();
            EXPECT_GT(total, 0) << name;
        } else {
            EXPECT_EQ(g_injector.failures.load(), 1) << name << ", allocation " << failAt;
        }
        EXPECT_TRUE(job_test::WaitUntil([] { return g_injector.liveCount.load() == 0; },
                                        std::chrono::seconds(5)))
            << name << ", allocation " << failAt << ": " << g_injector.liveCount.load()
            << " blocks not released";
    }
    return total;
}

struct LibraryOutcome {
    int status;
    quorvel_signature_info info;
    quorvel_verify_result result;
};

// The library's two ways through a real file, as the verification job takes them: the
// whole-file reads (information, then verification) or the scan and its check.
LibraryOutcome RunLibrary(const std::u16string& path, bool scan) {
    LibraryOutcome o;
    std::memset(&o, 0xA5, sizeof o);
    WholeFileReader whole;
    SinglePassReader single;
    SignatureReader& reader = scan ? static_cast<SignatureReader&>(single) : whole;
    Bytes32 publicKey{};
    std::memcpy(publicKey.data(), Key().public_key.data(), publicKey.size());
    o.status = reader.ReadInfo(path, o.info);
    if (o.status == QUORVEL_OK) o.status = reader.Verify(path, publicKey, o.result);
    return o;
}

template <typename Record>
bool AllZero(const Record& record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    return std::all_of(bytes, bytes + sizeof record, [](unsigned char b) { return b == 0; });
}

// Memory running out anywhere is a read error (or the readers' bad_alloc), or changes nothing:
// never an entry silently passed over. A read error zeroes the record of the stage that failed (the
// info, or the result after a complete info).
Scenario SameVerdictOrReadError(const std::u16string& path, bool scan) {
    g_injector.armed = false;
    const LibraryOutcome clean = RunLibrary(path, scan);
    return [path, scan, clean](long) {
        LibraryOutcome o;
        try {
            o = RunLibrary(path, scan);
        } catch (const std::bad_alloc&) {  // the readers' own path conversions; the C library never
                                           // throws
            g_injector.armed = false;
            return true;
        }
        g_injector.armed = false;
        if (o.status == QUORVEL_ERR_READ) {
            return AllZero(o.info) ||
                   (std::memcmp(&o.info, &clean.info, sizeof o.info) == 0 && AllZero(o.result));
        }
        return std::memcmp(&o, &clean, sizeof o) == 0;
    };
}

TEST(AllocationFailure, SignatureLibrary) {
    const Bytes image = quorvel_test::MakeUnsignedPe(quorvel_test::SignedPeOptions{});
    const Bytes payload =
        quorvel_test::MakeSignedPayload(Key(), quorvel_test::ReferenceImageDigest(image), kDomain);
    quorvel_test::SignerSpec signer;
    signer.unauthenticated.push_back(
        {quorvel_test::kQuorvelPayloadOid, {quorvel_test::DerOctetString(payload)}});
    const Bytes authenticode =
        quorvel_test::MakeAuthenticodeEntry(quorvel_test::MakeSignedData({signer}));
    const struct {
        const char* name;
        Bytes file;
        long decoderAllocations;  // at least: the decoder's failure points are reached
    } files[] = {
        {"Quorvel entry",
         quorvel_test::AppendCertificateTable(image, quorvel_test::MakeQuorvelEntry(payload)), 0},
        // Two payloads: the decoder's failure must not hide the second one.
        {"Quorvel entry and Authenticode payload",
         quorvel_test::AppendCertificateTable(
             image, quorvel_test::Concat({quorvel_test::MakeQuorvelEntry(payload), authenticode})),
         10},
    };
    const job_test::TempDir dir;
    for (const auto& [name, file, decoderAllocations] : files) {
        quorvel_test::WriteFile(dir.File(name), file);
        for (const bool scan : {false, true}) {
            const std::string where = std::string(name) + (scan ? ", scan" : ", whole file");
            EXPECT_GT(
                Walk(where.c_str(), SameVerdictOrReadError(job_test::U16(dir.File(name)), scan)),
                decoderAllocations);
        }
    }
}

// The worker end to end on an unsigned file: at most one delivery, and a delivered outcome is
// the file's, or a read failure when the library got no memory; nothing else, no exception, and
// the request freed.
TEST(AllocationFailure, Worker) {
    job_test::TempDir dir;
    quorvel_test::WriteFile(dir.File("unsigned.exe"), job_test::UnsignedPe());
    const std::u16string path = job_test::U16(dir.File("unsigned.exe"));
    struct Page : OutcomeReceiver {
        Page() : OutcomeReceiver{&Receive} {}
        static bool Receive(OutcomeReceiver* self, VerificationOutcome* outcome) {
            auto* page = static_cast<Page*>(self);
            page->wrong = page->wrong || (outcome->statusText != u"Quorvel: no signature" &&
                                          outcome->statusText != u"Quorvel: unable to read file");
            page->deliveries.fetch_add(1);
            delete outcome;
            return true;
        }
        std::atomic<int> deliveries{0};
        std::atomic<bool> wrong{false};
    };
    Walk("worker", [&](long failAt) {
        Page page;
        VerificationRequest* request = nullptr;
        bool escaped = false;
        try {
            StartVerificationWorker(&page, &request, path);
        } catch (...) {
            escaped = true;
        }
        if (request != nullptr) {
            job_test::WaitUntil([&] { return request->refCount.load() == 1; },
                                std::chrono::seconds(20));
        }
        g_injector.armed = false;
        const bool made = request != nullptr;
        if (made) {
            request->cancelled.exchange(1);
            ReleaseVerificationRequest(request);
        }
        // Without a request (its own allocation or the thread's failed) nothing is delivered.
        const int deliveries = page.deliveries.load();
        return !escaped && LiveVerificationRequestsForTesting() == 0 && deliveries <= 1 &&
               (made || deliveries == 0) && (failAt != 0 || deliveries == 1) && !page.wrong.load();
    });
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything makes OpenSSL allocate: its hooks can be set only while it has not.
    if (CRYPTO_set_mem_functions(&CryptoMalloc, &CryptoRealloc, &CryptoFree) != 1) {
        std::fprintf(stderr, "OpenSSL allocated before main; its allocations cannot be reached\n");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
