// Memory running out anywhere on the way of a file with an Authenticode entry, one allocation
// at a time (the library's through the linker's --wrap, OpenSSL's through its allocation
// hooks): both the whole-file reads and the scan end as QUORVEL_ERR_READ, or with exactly the
// verdict and record of a call that had its memory. Never an entry silently passed over.
#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "memory_stream.h"
#include "quorvel/quorvel.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/der.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"
#include "random_stream.h"

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
}

namespace {

bool g_armed = false;
long g_calls = 0;   // allocations while armed
long g_failAt = 0;  // 1-based; 0: none fails

bool Fails() { return g_armed && ++g_calls == g_failAt; }
void* CryptoMalloc(size_t size, const char*, int) {
    return Fails() ? nullptr : __real_malloc(size);
}
void* CryptoRealloc(void* block, size_t size, const char*, int) {
    return size != 0 && Fails() ? nullptr : __real_realloc(block, size);
}
void CryptoFree(void* block, const char*, int) { std::free(block); }

}  // namespace

extern "C" {
void* __wrap_malloc(size_t size) { return Fails() ? nullptr : __real_malloc(size); }
void* __wrap_calloc(size_t count, size_t size) {
    return Fails() ? nullptr : __real_calloc(count, size);
}
void* __wrap_realloc(void* block, size_t size) {
    return Fails() ? nullptr : __real_realloc(block, size);
}
}

namespace quorvel_test {
namespace {

struct Outcome {
    int status;
    quorvel_signature_info info;
    quorvel_verify_result result;
};

// The whole-file reads (scan false) or the scan, as the verification job makes them.
Outcome RunOnce(const Bytes& file, const TestKey& key, bool scan, long failAt) {
    Outcome o{};
    g_calls = 0;
    g_failAt = failAt;
    g_armed = true;
    if (scan) {
        RandomStream stream{file};
        quorvel_file_scan record;
        o.status = quorvel_scan_file(&stream, &kRandomIo, QUORVEL_SCAN_DIGEST, &record);
        o.info = record.info;
        const int checked = quorvel_check_scan(&record, key.public_key.data(), &o.result);
        o.status = o.status == QUORVEL_OK ? checked : o.status;
    } else {
        o.status = ReadInfo(file, &o.info);
        if (o.status == QUORVEL_OK) o.status = VerifyBytes(file, key.public_key, &o.result);
    }
    g_armed = false;
    return o;
}

TEST(DecoderAllocationFailure, EndsAsReadErrorOnBothPaths) {
    const TestKey key = KeyFromSeedByte(0x61);
    const Bytes image = MakeUnsignedPe({});
    const Bytes payload = MakeSignedPayload(key, ReferenceImageDigest(image), "oom.example");
    SignerSpec signer;
    signer.unauthenticated.push_back({kQuorvelPayloadOid, {DerOctetString(payload)}});
    const Bytes authenticode = MakeAuthenticodeEntry(MakeSignedData({signer}));
    const struct {
        const char* name;
        Bytes file;
        int status;
    } files[] = {
        {"Authenticode payload", AppendCertificateTable(image, authenticode), QUORVEL_OK},
        {"Quorvel entry and Authenticode payload",
         AppendCertificateTable(image, Concat({MakeQuorvelEntry(payload), authenticode})),
         QUORVEL_ERR_INVALID_PAYLOAD},
    };
    for (const auto& [name, file, status] : files) {
        for (const bool scan : {false, true}) {
            const Outcome clean = RunOnce(file, key, scan, 0);
            ASSERT_EQ(clean.status, status) << name;
            const long total = g_calls;
            long readErrors = 0;
            for (long failAt = 1; failAt <= total; ++failAt) {
                const Outcome o = RunOnce(file, key, scan, failAt);
                const std::string where = std::string(name) + (scan ? ", scan" : ", whole file") +
                                          ", allocation " + std::to_string(failAt);
                if (o.status == QUORVEL_ERR_READ) {
                    ++readErrors;
                    continue;
                }
                EXPECT_EQ(o.status, clean.status) << where;
                EXPECT_EQ(std::memcmp(&o.info, &clean.info, sizeof o.info), 0) << where;
                EXPECT_EQ(std::memcmp(&o.result, &clean.result, sizeof o.result), 0) << where;
            }
            EXPECT_GT(readErrors, 10) << name << ": the decoder's allocations were not reached";
        }
    }
}

}  // namespace
}  // namespace quorvel_test

int main(int argc, char** argv) {
    // Before OpenSSL's first allocation, which is why this test has its own main.
    if (CRYPTO_set_mem_functions(CryptoMalloc, CryptoRealloc, CryptoFree) != 1) {
        std::fprintf(stderr, "OpenSSL allocated before main: its allocations cannot be failed\n");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
