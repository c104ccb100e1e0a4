// The key directory client's CPU work per verification: the base64url decoder and the key
// document parser on a typical document and on one of the largest size the fetch accepts.
#include <benchmark/benchmark.h>

#include <string>

#include "keyclient/base64url.h"
#include "keyclient/http_get.h"
#include "keyclient/key_document.h"
#include "quorvel_test/signing.h"

namespace {

struct Document {
    std::string body;
    std::string kid;
};

Document MakeDocument(size_t description_bytes) {
    const quorvel_test::TestKey key = quorvel_test::KeyFromSeedByte(0x21);
    const quorvel_test::KeyId kid = quorvel_test::JwkThumbprint(key.public_key);
    Document document;
    document.kid = quorvel_test::Base64Url(kid.data(), kid.size());
    document.body = "{\"jwk\":{\"kty\":\"OKP\",\"crv\":\"Ed25519\",\"x\":\"" +
                    quorvel_test::Base64Url(key.public_key.data(), key.public_key.size()) +
                    "\",\"kid\":\"" + document.kid +
                    "\"},\"status\":{\"state\":\"active\"},\"description\":\"";
    std::string description = "Release signing key of Example Software Ltd (2026)";
    // Grow the description with mixed ASCII and two-, three- and four-byte UTF-8 text.
    const std::string filler = " caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91 key";
    while (description.size() + filler.size() < description_bytes) {
        description += filler;
    }
    document.body += description + "\"}";
    return document;
}

void BM_Base64UrlDecode(benchmark::State& state) {
    const std::string text = "47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU";
    Bytes32 value{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(Base64UrlDecode(text, value));
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_Base64UrlDecode);

void ParseBenchmark(benchmark::State& state, const Document& document) {
    Bytes32 key{};
    std::u16string key_state;
    std::u16string description;
    std::string error;
    if (!ParseKeyDocument(document.body, document.kid, key, &key_state, &description, &error)) {
        state.SkipWithError(("the document does not parse: " + error).c_str());
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ParseKeyDocument(document.body, document.kid, key, &key_state, &description, &error));
        benchmark::DoNotOptimize(key);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(document.body.size()));
    state.counters["body_bytes"] = static_cast<double>(document.body.size());
}

void BM_ParseKeyDocumentTypical(benchmark::State& state) {
    static const Document document = MakeDocument(0);
    ParseBenchmark(state, document);
}
BENCHMARK(BM_ParseKeyDocumentTypical);

void BM_ParseKeyDocument64KiB(benchmark::State& state) {
    static const Document document = MakeDocument(kMaxResponseBytes - 256);
    ParseBenchmark(state, document);
}
BENCHMARK(BM_ParseKeyDocument64KiB)->Unit(benchmark::kMicrosecond);

}  // namespace
