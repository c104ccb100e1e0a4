// Allocation failures, one at a time: a file is read clean, counting allocations, then once per
// allocation with exactly that one failing. Seen through the linker's --wrap (the malloc family),
// OpenSSL's hooks (set in main) and a replaced operator new. The runs are single-threaded.
#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "job_fixtures.h"
#include "quorvel/quorvel.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/der.h"
#include "verification/single_pass_reader.h"

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
int __real_posix_memalign(void** block, size_t alignment, size_t size);
void __real_free(void* block);
}

namespace {

// The injector never allocates: blocks allocated while armed and not yet freed.
void* g_live[1 << 14] = {};
std::size_t g_liveCount = 0;
bool g_armed = false;
long g_calls = 0, g_failAt = 0, g_failures = 0;  // failAt is 1-based; 0: none fails

bool Fails() {
    if (!g_armed || ++g_calls != g_failAt) return false;
    ++g_failures;
    return true;
}

void* Track(void* block) {
    if (block == nullptr || !g_armed) return block;
    if (g_liveCount == std::size(g_live)) std::abort();  // more than the array holds
    return g_live[g_liveCount++] = block;
}

void Untrack(void* block) {
    for (std::size_t i = 0; block != nullptr && i < g_liveCount; ++i) {
        if (g_live[i] == block) {
            g_live[i] = g_live[--g_liveCount];
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
void* __wrap_realloc(void* block, size_t size) {
    void* moved = Fails() ? nullptr : __real_realloc(block, size);
    if (moved != nullptr) Untrack(block), Track(moved);
    return moved;
}
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
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
// The other forms end in these (the sanitizers replace the nothrow new themselves).
void operator delete(void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }

namespace {

using quorvel_test::Bytes;

const quorvel_test::TestKey kKey = quorvel_test::KeyFromSeedByte(0x33);

struct LibraryOutcome {
    int status;
    quorvel_signature_info info;
    quorvel_verify_result result;
};

// The library's two ways through a real file, as the verification job takes them: the page's
// one scan with the digest, kept for the verdict, or the command line's scan and a second one
// with the digest. The readers' own path conversions may throw bad_alloc; the C library never
// does.
bool RunLibrary(const std::u16string& path, bool scan, LibraryOutcome& o) {
    std::memset(&o, 0xA5, sizeof o);
    SinglePassReader page(nullptr);
    SinglePassReader single;
    SignatureReader& reader = scan ? static_cast<SignatureReader&>(single) : page;
    Bytes32 publicKey{};
    std::memcpy(publicKey.data(), kKey.public_key.data(), publicKey.size());
    try {
        o.status = reader.ReadInfo(path, o.info);
        if (o.status == QUORVEL_OK) o.status = reader.Verify(path, publicKey, o.result);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

template <typename Record>
bool AllZero(const Record& record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    return std::all_of(bytes, bytes + sizeof record, [](unsigned char b) { return b == 0; });
}

// Memory running out anywhere is a read error or changes nothing: never an entry silently
// passed over. A read error zeroes the record of the stage that failed (the info, or the
// result after a complete info). Returns the number of allocations of the clean run.
long Walk(const std::string& name, const std::u16string& path, bool scan) {
    LibraryOutcome clean;
    EXPECT_TRUE(RunLibrary(path, scan, clean)) << name;
    long total = 0;
    for (long failAt = 0; failAt <= total; ++failAt) {  // 0: the clean run, which counts them
        SCOPED_TRACE(name + ", allocation " + std::to_string(failAt));
        g_calls = g_failures = 0;
        g_failAt = failAt;
        g_armed = true;
        LibraryOutcome o;
        const bool returned = RunLibrary(path, scan, o);
        g_armed = false;
        if (failAt == 0) total = g_calls;
        EXPECT_EQ(g_failures, failAt == 0 ? 0 : 1);
        EXPECT_EQ(g_liveCount, 0u) << "blocks not released";
        if (!returned) continue;
        if (o.status == QUORVEL_ERR_READ) {
            EXPECT_TRUE(AllZero(o.info) || (std::memcmp(&o.info, &clean.info, sizeof o.info) == 0 &&
                                            AllZero(o.result)));
        } else {
            EXPECT_EQ(std::memcmp(&o, &clean, sizeof o), 0);
        }
    }
    return total;
}

TEST(AllocationFailure, SignatureLibrary) {
    const Bytes image = quorvel_test::MakeUnsignedPe(quorvel_test::SignedPeOptions{});
    const Bytes payload = quorvel_test::MakeSignedPayload(
        kKey, quorvel_test::ReferenceImageDigest(image), "alloc.example");
    quorvel_test::SignerSpec signer;
    signer.unauthenticated.push_back(
        {quorvel_test::kQuorvelPayloadOid, {quorvel_test::DerOctetString(payload)}});
    const Bytes entry = quorvel_test::MakeQuorvelEntry(payload);
    const Bytes authenticode =
        quorvel_test::MakeAuthenticodeEntry(quorvel_test::MakeSignedData({signer}));
    const struct {
        const char* name;
        Bytes file;
        long decoderAllocations;  // at least: the decoder's failure points are reached
    } files[] = {
        {"Quorvel entry", quorvel_test::AppendCertificateTable(image, entry), 0},
        // Two payloads: the decoder's failure must not hide the second one.
        {"Quorvel entry and Authenticode payload",
         quorvel_test::AppendCertificateTable(image, quorvel_test::Concat({entry, authenticode})),
         10},
    };
    const job_test::TempDir dir;
    for (const auto& [name, file, decoderAllocations] : files) {
        quorvel_test::WriteFile(dir.File(name), file);
        for (const bool scan : {false, true}) {
            const std::string where = std::string(name) + (scan ? ", two scans" : ", one scan");
            EXPECT_GT(Walk(where, job_test::U16(dir.File(name)), scan), decoderAllocations)
                << where;
        }
    }
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
