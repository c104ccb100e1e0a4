// Allocation failures inside the signature library, one at a time, in the manner of curl's
// torture tests: the library's own heap calls reach it through the linker's --wrap, OpenSSL's
// (the PKCS#7 decoder's and the digest's) through CRYPTO_set_mem_functions. Each run first counts the
// allocations of one call, then repeats the call once per allocation with exactly that one
// failing, and checks the status, the record, the stream's single close and that every block
// allocated during the call has been released.
#include <gtest/gtest.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hardening_support.h"
#include "quorvel/quorvel.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/bytes.h"
#include "quorvel_test/der.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
int __real_posix_memalign(void** block, size_t alignment, size_t size);
void __real_free(void* block);
}

namespace {

// --- the injector ------------------------------------------------------------------------------
// Single-threaded: the tests arm it only around one library call on this thread. It never
// allocates itself; live blocks are kept in a fixed open-addressing table.

constexpr std::size_t kTableSlots = 1 << 15;
void* const kTombstone = reinterpret_cast<void*>(1);

struct BlockTable {
    void* slots[kTableSlots] = {};
    std::size_t live = 0;
    bool overflow = false;

    static std::size_t Hash(void* block) {
        return (reinterpret_cast<std::uintptr_t>(block) >> 4) * 2654435761u % kTableSlots;
    }
    void Add(void* block) {
        for (std::size_t i = 0, at = Hash(block); i < kTableSlots; ++i, at = (at + 1) % kTableSlots) {
            if (slots[at] == nullptr || slots[at] == kTombstone) {
                slots[at] = block;
                ++live;
                return;
            }
        }
        overflow = true;
    }
    void Remove(void* block) {
        for (std::size_t i = 0, at = Hash(block); i < kTableSlots; ++i, at = (at + 1) % kTableSlots) {
            if (slots[at] == nullptr) {
                return;
            }
            if (slots[at] == block) {
                slots[at] = kTombstone;
                --live;
                return;
            }
        }
    }
    void Clear() {
        std::memset(slots, 0, sizeof slots);
        live = 0;
        overflow = false;
    }
};

struct Injector {
    bool armed = false;
    long failAt = 0;  // 1-based index of the allocation that fails; 0: none
    long calls = 0;   // allocations seen while armed, both sources
    long libraryCalls = 0;
    long opensslCalls = 0;
    long failures = 0;
    long failedIndexSource = 0;  // 1: the library, 2: OpenSSL
    BlockTable library;
    BlockTable openssl;
};

Injector g_injector;
bool g_opensslHooked = false;

// True when this allocation is to fail.
bool NextFails(int source) {
    if (!g_injector.armed) {
        return false;
    }
    ++g_injector.calls;
    (source == 1 ? g_injector.libraryCalls : g_injector.opensslCalls) += 1;
    if (g_injector.calls == g_injector.failAt) {
        ++g_injector.failures;
        g_injector.failedIndexSource = source;
        return true;
    }
    return false;
}

void* CryptoMalloc(size_t size, const char*, int) {
    if (NextFails(2)) {
        return nullptr;
    }
    void* block = __real_malloc(size);
    if (block != nullptr && g_injector.armed) {
        g_injector.openssl.Add(block);
    }
    return block;
}

void* CryptoRealloc(void* block, size_t size, const char*, int) {
    if (size == 0) {
        g_injector.openssl.Remove(block);
        __real_free(block);
        return nullptr;
    }
    if (NextFails(2)) {
        return nullptr;
    }
    void* moved = __real_realloc(block, size);
    if (moved != nullptr) {
        g_injector.openssl.Remove(block);
        if (g_injector.armed) {
            g_injector.openssl.Add(moved);
        }
    }
    return moved;
}

void CryptoFree(void* block, const char*, int) {
    if (block != nullptr) {
        g_injector.openssl.Remove(block);
    }
    __real_free(block);
}

}  // namespace

extern "C" {

// Every reference to malloc and friends in this executable's own objects (the library among
// them) lands here.
void* __wrap_malloc(size_t size) {
    if (NextFails(1)) {
        return nullptr;
    }
    void* block = __real_malloc(size);
    if (block != nullptr && g_injector.armed) {
        g_injector.library.Add(block);
    }
    return block;
}

void* __wrap_calloc(size_t count, size_t size) {
    if (NextFails(1)) {
        return nullptr;
    }
    void* block = __real_calloc(count, size);
    if (block != nullptr && g_injector.armed) {
        g_injector.library.Add(block);
    }
    return block;
}

void* __wrap_realloc(void* block, size_t size) {
    if (NextFails(1)) {
        return nullptr;
    }
    void* moved = __real_realloc(block, size);
    if (moved != nullptr) {
        g_injector.library.Remove(block);
        if (g_injector.armed) {
            g_injector.library.Add(moved);
        }
    }
    return moved;
}

// Large image blocks are aligned for huge pages.
int __wrap_posix_memalign(void** block, size_t alignment, size_t size) {
    if (NextFails(1)) {
        return ENOMEM;
    }
    const int result = __real_posix_memalign(block, alignment, size);
    if (result == 0 && g_injector.armed) {
        g_injector.library.Add(*block);
    }
    return result;
}

void __wrap_free(void* block) {
    if (block != nullptr) {
        g_injector.library.Remove(block);
    }
    __real_free(block);
}

}  // extern "C"

namespace {

using quorvel_test::Bytes;

constexpr char kDomain[] = "alloc.example";

const quorvel_test::TestKey& Key() {
    static const quorvel_test::TestKey key = quorvel_test::KeyFromSeedByte(0x33);
    return key;
}

bool AllZero(const void* record, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(record);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

enum class Operation { ReadInfo, Verify };

struct CallResult {
    int status = 0;
    int closes = 0;
    bool recordZero = false;
    bool domainRight = false;
    std::size_t libraryLeft = 0;
    std::size_t opensslLeft = 0;
};

// One library call with the injector armed for failAt (0: count only).
CallResult Call(Operation operation, const Bytes& image, long failAt) {
    hardening::MemoryStream stream;
    stream.data = image.data();
    stream.size = image.size();
    quorvel_signature_info info;
    quorvel_verify_result result;
    std::memset(&info, 0xA5, sizeof info);
    std::memset(&result, 0xA5, sizeof result);

    g_injector.library.Clear();
    g_injector.openssl.Clear();
    g_injector.calls = g_injector.libraryCalls = g_injector.opensslCalls = 0;
    g_injector.failures = 0;
    g_injector.failedIndexSource = 0;
    g_injector.failAt = failAt;
    g_injector.armed = true;
    CallResult r;
    if (operation == Operation::ReadInfo) {
        r.status = quorvel_read_signature_info(&stream, hardening::MemoryStreamIo(), &info);
    } else {
        r.status = quorvel_verify_file(&stream, hardening::MemoryStreamIo(),
                                       Key().public_key.data(), &result);
    }
    g_injector.armed = false;

    r.closes = stream.closeCalls;
    r.libraryLeft = g_injector.library.live;
    r.opensslLeft = g_injector.openssl.live;
    if (operation == Operation::ReadInfo) {
        r.recordZero = AllZero(&info, sizeof info);
        r.domainRight = std::strcmp(info.domain, kDomain) == 0;
    } else {
        r.recordZero = AllZero(&result, sizeof result);
        r.domainRight = std::strcmp(result.domain, kDomain) == 0;
    }
    return r;
}

const char* Name(Operation operation) {
    return operation == Operation::ReadInfo ? "quorvel_read_signature_info"
                                            : "quorvel_verify_file";
}

struct Sweep {
    long points = 0;                 // allocations made to fail
    long libraryAllocations = 0;     // of a clean call: the library's own
    long opensslAllocations = 0;     // of a clean call: OpenSSL's
    std::size_t opensslKept = 0;     // most OpenSSL blocks still live after one call
    std::map<int, long> statuses;    // status -> how many failure points ended with it
};

// Counts the allocations of a clean call, then fails each in turn. expectedWhenImageFails is
// the status when the first allocation (the image block) fails; allowed lists the statuses
// that any other failing allocation may end with.
Sweep RunSweep(const char* fileName, Operation operation, const Bytes& image,
               const std::vector<int>& allowed) {
    Sweep sweep;
    const CallResult clean = Call(operation, image, 0);
    const long total = g_injector.calls;
    sweep.libraryAllocations = g_injector.libraryCalls;
    sweep.opensslAllocations = g_injector.opensslCalls;
    EXPECT_EQ(clean.status, QUORVEL_OK) << fileName << ", " << Name(operation);
    EXPECT_EQ(clean.closes, 1) << fileName;
    EXPECT_EQ(clean.libraryLeft, 0u) << fileName << ": the library kept a block";
    EXPECT_GE(total, 1) << fileName << ": the image block was not counted";

    for (long failAt = 1; failAt <= total; ++failAt) {
        const CallResult r = Call(operation, image, failAt);
        const std::string where = std::string(fileName) + ", " + Name(operation) +
                                  ", allocation " + std::to_string(failAt) + " of " +
                                  std::to_string(total) +
                                  (g_injector.failedIndexSource == 2 ? " (OpenSSL)" : " (library)");
        ++sweep.points;
        sweep.statuses[r.status] += 1;
        sweep.opensslKept = std::max(sweep.opensslKept, r.opensslLeft);
        EXPECT_EQ(g_injector.failures, 1) << where;
        EXPECT_EQ(r.closes, 1) << where << ": close must be called exactly once";
        EXPECT_EQ(r.libraryLeft, 0u) << where << ": a block of the library was not released";
        EXPECT_FALSE(g_injector.library.overflow) << where;
        if (failAt == 1) {
            EXPECT_EQ(g_injector.failedIndexSource, 1) << where;
            EXPECT_EQ(r.status, QUORVEL_ERR_READ) << where << ": the image block";
            EXPECT_TRUE(r.recordZero) << where;
            continue;
        }
        bool known = false;
        for (const int status : allowed) {
            known = known || status == r.status;
        }
        EXPECT_TRUE(known) << where << ": status " << r.status;
        if (r.status == QUORVEL_OK) {
            EXPECT_TRUE(r.domainRight) << where << ": a success must carry the true payload";
        } else {
            EXPECT_TRUE(r.recordZero) << where << ": a failure leaves the record zero";
        }
    }
    std::printf("[ alloc ] %s, %s: %ld allocations (%ld library, %ld OpenSSL) failed in turn;",
                fileName, Name(operation), total, sweep.libraryAllocations,
                sweep.opensslAllocations);
    for (const auto& [status, count] : sweep.statuses) {
        std::printf(" status %d x%ld", status, count);
    }
    std::printf("; OpenSSL blocks made during a call and still live after it: at most %zu\n",
                sweep.opensslKept);
    return sweep;
}

Bytes UnsignedImage() {
    return quorvel_test::MakeUnsignedPe(quorvel_test::SignedPeOptions{});
}

TEST(SignatureAllocationFailure, QuorvelEntryFileHasOnlyTheImageBlock) {
    const Bytes image =
        quorvel_test::SignPe(UnsignedImage(), Key(), kDomain, quorvel_test::Container::kQuorvelEntry);
    // Reading needs nothing but the image block.
    const Sweep read = RunSweep("Quorvel entry", Operation::ReadInfo, image, {});
    EXPECT_EQ(read.points, 1) << "one heap block for the whole file";
    EXPECT_EQ(read.statuses.at(QUORVEL_ERR_READ), 1);
    // Verifying also hashes; when the platform hash cannot get its memory, the digest is
    // computed another way and the verdict stands.
    const Sweep verify = RunSweep("Quorvel entry", Operation::Verify, image, {QUORVEL_OK});
    EXPECT_EQ(verify.libraryAllocations, 1) << "one heap block for the whole file";
    EXPECT_EQ(verify.statuses.at(QUORVEL_ERR_READ), 1);
}

TEST(SignatureAllocationFailure, LargeFileImageBlockFailsAsReadError) {
    // 4 MiB: the one block is as large as the file.
    quorvel_test::SignedPeOptions options;
    options.approximate_size = 4u << 20;
    const Bytes image = quorvel_test::SignPe(quorvel_test::MakeUnsignedPe(options), Key(), kDomain,
                                             quorvel_test::Container::kQuorvelEntry);
    const CallResult r = Call(Operation::Verify, image, 1);
    EXPECT_EQ(r.status, QUORVEL_ERR_READ);
    EXPECT_EQ(r.closes, 1);
    EXPECT_TRUE(r.recordZero);
    EXPECT_EQ(Call(Operation::Verify, image, 0).status, QUORVEL_OK);
}

TEST(SignatureAllocationFailure, AuthenticodeFileEveryAllocationOfTheDecoder) {
    if (!g_opensslHooked) {
        GTEST_SKIP() << "OpenSSL had allocated before main; its allocations cannot be reached";
    }
    const Bytes image =
        quorvel_test::SignPe(UnsignedImage(), Key(), kDomain, quorvel_test::Container::kAuthenticode);
    for (const Operation operation : {Operation::ReadInfo, Operation::Verify}) {
        // A decoder that runs out of memory says so: a read error, never "no signature".
        const Sweep sweep = RunSweep("Authenticode", operation, image,
                                     {QUORVEL_ERR_READ, QUORVEL_OK});
        EXPECT_GT(sweep.points, 10) << Name(operation) << ": the decoder's allocations were not seen";
    }
}

TEST(SignatureAllocationFailure, TwoPayloadFileUnderDecoderFailures) {
    if (!g_opensslHooked) {
        GTEST_SKIP() << "OpenSSL had allocated before main; its allocations cannot be reached";
    }
    // A Quorvel entry and an Authenticode payload: invalid. When the decoder fails for want of
    // memory the file is not judged at all: a read error, never the Quorvel entry alone.
    const Bytes unsignedImage = UnsignedImage();
    const Bytes payload = quorvel_test::MakeSignedPayload(
        Key(), quorvel_test::ReferenceImageDigest(unsignedImage), kDomain);
    quorvel_test::SignerSpec signer;
    signer.unauthenticated.push_back(
        {quorvel_test::kQuorvelPayloadOid, {quorvel_test::DerOctetString(payload)}});
    Bytes table = quorvel_test::MakeQuorvelEntry(payload);
    quorvel_test::Append(table, quorvel_test::MakeAuthenticodeEntry(quorvel_test::MakeSignedData({signer})));
    const Bytes image = quorvel_test::AppendCertificateTable(unsignedImage, table);
    ASSERT_EQ(Call(Operation::ReadInfo, image, 0).status, QUORVEL_ERR_INVALID_PAYLOAD);

    long points = 0;
    std::map<int, long> statuses;
    const long total = (Call(Operation::ReadInfo, image, 0), g_injector.calls);
    for (long failAt = 1; failAt <= total; ++failAt) {
        const CallResult r = Call(Operation::ReadInfo, image, failAt);
        ++points;
        statuses[r.status] += 1;
        EXPECT_EQ(r.closes, 1) << "allocation " << failAt;
        EXPECT_EQ(r.libraryLeft, 0u) << "allocation " << failAt;
        if (failAt == 1) {
            EXPECT_EQ(r.status, QUORVEL_ERR_READ);
        } else {
            EXPECT_TRUE(r.status == QUORVEL_ERR_INVALID_PAYLOAD || r.status == QUORVEL_ERR_READ)
                << "allocation " << failAt << ": status " << r.status;
        }
    }
    std::printf("[ alloc ] two payloads, quorvel_read_signature_info: %ld failure points;", points);
    for (const auto& [status, count] : statuses) {
        std::printf(" status %d x%ld", status, count);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    // Must come before OpenSSL's first allocation, which is why this binary has its own main.
    g_opensslHooked = CRYPTO_set_mem_functions(&CryptoMalloc, &CryptoRealloc, &CryptoFree) == 1;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
