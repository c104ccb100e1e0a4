// Real files, key documents and the loopback key server for the tests of the verification job,
// the CLI and the hardening harness.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "common/text_conversion.h"
#include "keyserver/keyserver_client.h"
#include "quorvel_test/bytes.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"

namespace job_test {

using quorvel_test::Bytes;
using quorvel_test::TestKey;

// A fresh directory, removed with its contents on destruction.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(std::string_view name) const { return path_ + "/" + std::string(name); }

  private:
    std::string path_;
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

// A key document for publicKey naming kid; description null: no description member.
inline std::string KeyDocument(const quorvel_test::PublicKey& publicKey, const std::string& kid,
                               std::string_view state, const char* description) {
    std::string document = R"({"jwk":{"kty":"OKP","crv":"Ed25519","x":")" +
                           quorvel_test::Base64Url(publicKey.data(), publicKey.size()) +
                           R"(","kid":")" + kid + R"("},"status":{"state":")" + std::string(state) +
                           R"("})";
    if (description != nullptr) document += R"(,"description":")" + std::string(description) + "\"";
    return document + "}";
}
inline std::string KeyDocument(const TestKey& key, std::string_view state,
                               const char* description) {
    return KeyDocument(key.public_key, KeyIdText(key), state, description);
}

inline Bytes UnsignedPe() { return quorvel_test::MakeUnsignedPe(quorvel_test::SignedPeOptions{}); }
inline Bytes SignedPe(const TestKey& key, std::string_view domain) {
    return quorvel_test::SignPe(UnsignedPe(), key, domain, quorvel_test::Container::kQuorvelEntry);
}

// One byte of section data just before the certificate table flipped: the digest no longer matches.
inline Bytes Tampered(Bytes image) {
    image.at(quorvel_test::ReadLayout(image).table_offset - 1) ^= 0x01;
    return image;
}

// Signed by signer but naming the key id of named.
inline Bytes SignedPeNamingOtherKey(const TestKey& signer, const TestKey& named,
                                    std::string_view domain) {
    const Bytes image = UnsignedPe();
    const Bytes payload = quorvel_test::MakePayload(
        quorvel_test::SignDigest(signer, quorvel_test::ReferenceImageDigest(image)),
        quorvel_test::JwkThumbprint(named.public_key), domain);
    return quorvel_test::AppendCertificateTable(image, quorvel_test::MakeQuorvelEntry(payload));
}

// A Quorvel entry whose payload has the wrong length.
inline Bytes PeWithMalformedPayload(std::string_view domain) {
    quorvel_test::QuorvelEntryFields fields;
    fields.payload_length = 351;
    const Bytes payload = quorvel_test::MakePayload(quorvel_test::PatternSignature(1),
                                                    quorvel_test::PatternKeyId(2), domain);
    return quorvel_test::AppendCertificateTable(UnsignedPe(),
                                                quorvel_test::MakeQuorvelEntry(payload, fields));
}

inline std::u16string U16(std::string_view utf8) { return Utf8ToWide(std::string(utf8).c_str()); }

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
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace job_test
