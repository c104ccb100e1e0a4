// Real files, key documents and the loopback key server for the tests of the verification job,
// the CLI and the hardening harness.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>

#include "common/text_conversion.h"
#include "keyserver/keyserver_client.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"

namespace job_test {

using quorvel_test::TestKey;

// A fresh directory, removed with its contents on destruction.
struct TempDir {
    std::string path = (std::filesystem::temp_directory_path() / "quorvel-XXXXXX").string();
    TempDir() { EXPECT_NE(mkdtemp(path.data()), nullptr) << path; }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string File(std::string_view name) const { return path + "/" + std::string(name); }
};

// A key no other test process uses at the same time, so its key document path is this test's.
inline TestKey UniqueKey(std::string_view tag) {
    const std::string name = keyserver::UniqueName(tag);
    const auto digest =
        quorvel_test::Sha256(reinterpret_cast<const unsigned char*>(name.data()), name.size());
    quorvel_test::Seed seed{};
    std::copy(digest.begin(), digest.end(), seed.begin());
    return quorvel_test::KeyFromSeed(seed);
}

inline std::string KeyIdText(const TestKey& key) {
    const quorvel_test::KeyId id = quorvel_test::JwkThumbprint(key.public_key);
    return quorvel_test::Base64Url(id.data(), id.size());
}
inline std::string KeyPath(const TestKey& key) {
    return "/.well-known/vantors/v1/" + KeyIdText(key);
}

// The key's document; description null: no description member; kid empty: the key's own id.
inline std::string KeyDocument(const TestKey& key, std::string_view state, const char* description,
                               std::string kid = "") {
    std::string document = R"({"jwk":{"kty":"OKP","crv":"Ed25519","x":")" +
                           quorvel_test::Base64Url(key.public_key.data(), key.public_key.size()) +
                           R"(","kid":")" + (kid.empty() ? KeyIdText(key) : kid) +
                           R"("},"status":{"state":")" + std::string(state) + R"("})";
    if (description != nullptr) document += R"(,"description":")" + std::string(description) + "\"";
    return document + "}";
}

inline quorvel_test::Bytes UnsignedPe() {
    return quorvel_test::MakeUnsignedPe(quorvel_test::SignedPeOptions{});
}
inline quorvel_test::Bytes SignedPe(const TestKey& key, std::string_view domain) {
    return quorvel_test::SignPe(UnsignedPe(), key, domain, quorvel_test::Container::kQuorvelEntry);
}

inline std::u16string U16(std::string_view utf8) { return Utf8ToWide(std::string(utf8).c_str()); }

// A file of size bytes: the unsigned PE, zeros up to 8 KiB, table, then a hole to the end.
inline std::u16string WriteLargePe(const std::string& path, uint64_t size,
                                   const quorvel_test::Bytes& table) {
    quorvel_test::Bytes image = UnsignedPe();
    image.resize(8192);
    quorvel_test::WriteFile(path, quorvel_test::AppendCertificateTable(image, table));
    std::filesystem::resize_file(path, size);
    return U16(path);
}

// The key server of the CTest fixture; fails the current test when it is not there.
inline keyserver::Client OpenKeyServer() {
    keyserver::Client client;
    std::string error;
    if (!client.Open(&error)) ADD_FAILURE() << "key server not available: " << error;
    return client;
}

// Polls condition every 10 ms until it holds or timeout passes.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout) {
    for (auto left = timeout; !condition(); left -= std::chrono::milliseconds(10)) {
        if (left.count() <= 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace job_test
