// The image digest over a 64 MiB image in memory, beside OpenSSL's and libsodium's SHA-256 of
// the same buffer. Bytes per second are the figures to compare: the digest should reach
// OpenSSL's rate (it hashes all but a few hundred bytes of the image through the platform's
// SHA-256), while libsodium's portable SHA-256 shows what the processor's SHA instructions
// save.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <array>
#include <cstdint>

#include "quorvel_internal.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"
#include "sha256.h"

namespace {

constexpr uint32_t kImageBytes = 64U << 20;

// One signed-looking image for all benchmarks of this file: two sections, a Quorvel entry at
// the end.
const quorvel_test::Bytes& Image() {
    static const quorvel_test::Bytes image = [] {
        using namespace quorvel_test;
        const Bytes table =
            MakeQuorvelEntry(MakePayload(PatternSignature(1), PatternKeyId(1), "bench.example"));
        return PeBuilder()
            .AddSection(".text", kImageBytes / 4 * 3, 0x11)
            .AddSection(".data", kImageBytes / 4 - 0x1000, 0x22)
            .SetCertificateTable(table)
            .Build()
            .bytes;
    }();
    return image;
}

void SetBytes(benchmark::State& state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

void BM_ImageDigest(benchmark::State& state) {
    const quorvel_test::Bytes& image = Image();
    std::array<unsigned char, 32> digest{};
    for (auto _ : state) {
        if (quorvel_image_digest(image.data(), image.size(), digest.data()) != QUORVEL_OK) {
            state.SkipWithError("the image digest failed");
            break;
        }
        benchmark::DoNotOptimize(digest);
    }
    SetBytes(state, image.size());
}
BENCHMARK(BM_ImageDigest)->Unit(benchmark::kMillisecond);

void BM_Sha256OpenSsl(benchmark::State& state) {
    const quorvel_test::Bytes& image = Image();
    std::array<unsigned char, 32> digest{};
    for (auto _ : state) {
        unsigned int written = 0;
        if (EVP_Digest(image.data(), image.size(), digest.data(), &written, EVP_sha256(),
                       nullptr) != 1) {
            state.SkipWithError("EVP_Digest failed");
            break;
        }
        benchmark::DoNotOptimize(digest);
    }
    SetBytes(state, image.size());
}
BENCHMARK(BM_Sha256OpenSsl)->Unit(benchmark::kMillisecond);

void BM_Sha256Sodium(benchmark::State& state) {
    const quorvel_test::Bytes& image = Image();
    std::array<unsigned char, 32> digest{};
    for (auto _ : state) {
        crypto_hash_sha256(digest.data(), image.data(), image.size());
        benchmark::DoNotOptimize(digest);
    }
    SetBytes(state, image.size());
}
BENCHMARK(BM_Sha256Sodium)->Unit(benchmark::kMillisecond);

// The seam's libsodium fallback over the digest's four ranges: what a failed provider costs.
void BM_Sha256PortableFallback(benchmark::State& state) {
    const quorvel_test::Bytes& image = Image();
    const size_t quarter = image.size() / 4;
    const quorvel_byte_range ranges[] = {{image.data(), quarter},
                                         {image.data() + quarter, quarter},
                                         {image.data() + 2 * quarter, quarter},
                                         {image.data() + 3 * quarter, image.size() - 3 * quarter}};
    std::array<unsigned char, 32> digest{};
    for (auto _ : state) {
        quorvel_sha256_ranges_portable(ranges, 4, digest.data());
        benchmark::DoNotOptimize(digest);
    }
    SetBytes(state, image.size());
}
BENCHMARK(BM_Sha256PortableFallback)->Unit(benchmark::kMillisecond);

// The digest of a small image: the fixed cost of setting up the provider per call.
void BM_ImageDigestSmallImage(benchmark::State& state) {
    using namespace quorvel_test;
    const Bytes image = PeBuilder().AddSection(".text", 0x200, 1).Build().bytes;
    std::array<unsigned char, 32> digest{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(quorvel_image_digest(image.data(), image.size(), digest.data()));
        benchmark::DoNotOptimize(digest);
    }
    SetBytes(state, image.size());
}
BENCHMARK(BM_ImageDigestSmallImage);

}  // namespace
