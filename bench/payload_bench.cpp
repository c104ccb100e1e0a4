// The payload search in a certificate table holding an Authenticode signature: a typical one
// (one signer, the payload attribute) and large ones whose first signer also carries a big
// unrelated attribute, as a signature with a long countersignature chain or embedded
// timestamps would. The search decodes the whole PKCS#7 message, so its time follows the
// table's size.
#include <benchmark/benchmark.h>

#include <string>

#include "quorvel_internal.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"
#include "quorvel_test/pe_builder.h"

namespace {

// filler_bytes: size of an unrelated unauthenticated attribute value next to the payload.
quorvel_test::Bytes MakeSignedImage(size_t filler_bytes) {
    using namespace quorvel_test;
    const Bytes payload = MakePayload(PatternSignature(5), PatternKeyId(5), "bench.example");
    std::vector<AttributeSpec> attributes = {{kQuorvelPayloadOid, {DerOctetString(payload)}}};
    if (filler_bytes > 0) {
        attributes.push_back(
            {"1.3.6.1.4.1.311.3.3.1", {DerOctetString(Bytes(filler_bytes, 0x5C))}});
    }
    const Bytes table = MakeAuthenticodeEntry(MakeSignedData({SignerSpec{attributes}}));
    return PeBuilder()
        .AddSection(".text", 0x10000, 1)
        .AddSection(".data", 0x4000, 2)
        .SetCertificateTable(table)
        .Build()
        .bytes;
}

void BM_FindPayloadAuthenticode(benchmark::State& state) {
    const quorvel_test::Bytes image = MakeSignedImage(static_cast<size_t>(state.range(0)));
    const quorvel_test::PeLayout layout = quorvel_test::ReadLayout(image);
    quorvel_payload payload{};
    if (quorvel_find_payload(image.data(), image.size(), &payload) != QUORVEL_OK) {
        state.SkipWithError("no payload found");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(quorvel_find_payload(image.data(), image.size(), &payload));
        benchmark::DoNotOptimize(payload);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(layout.table_size));
    state.counters["table_bytes"] = static_cast<double>(layout.table_size);
}
BENCHMARK(BM_FindPayloadAuthenticode)
    ->Arg(0)
    ->Arg(64 << 10)
    ->Arg(1 << 20)
    ->Arg(16 << 20)
    ->Unit(benchmark::kMicrosecond);

// The library's own entry, for comparison: a few header checks.
void BM_FindPayloadQuorvelEntry(benchmark::State& state) {
    using namespace quorvel_test;
    const Bytes table =
        MakeQuorvelEntry(MakePayload(PatternSignature(5), PatternKeyId(5), "bench.example"));
    const Bytes image =
        PeBuilder().AddSection(".text", 0x10000, 1).SetCertificateTable(table).Build().bytes;
    quorvel_payload payload{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(quorvel_find_payload(image.data(), image.size(), &payload));
        benchmark::DoNotOptimize(payload);
    }
}
BENCHMARK(BM_FindPayloadQuorvelEntry);

}  // namespace
