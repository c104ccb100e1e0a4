#include "job_fixtures.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "common/text_conversion.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"

namespace job_test {

using quorvel_test::Bytes;
using quorvel_test::TestKey;

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quorvel-job-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(std::string_view name) const { return path_ + "/" + std::string(name); }

TestKey UniqueKey(std::string_view tag) {
    const std::string name = keyserver::UniqueName(tag);
    const quorvel_test::Digest seed =
        quorvel_test::Sha256(reinterpret_cast<const unsigned char*>(name.data()), name.size());
    quorvel_test::Seed bytes{};
    std::copy(seed.begin(), seed.end(), bytes.begin());
    return quorvel_test::KeyFromSeed(bytes);
}

std::string KeyIdText(const TestKey& key) {
    const quorvel_test::KeyId id = quorvel_test::JwkThumbprint(key.public_key);
    return quorvel_test::Base64Url(id.data(), id.size());
}

std::string KeyPath(const std::string& keyIdText) { return "/.well-known/vantors/v1/" + keyIdText; }

std::string KeyPath(const TestKey& key) { return KeyPath(KeyIdText(key)); }

std::string KeyDocument(const quorvel_test::PublicKey& publicKey, const std::string& kid,
                        std::string_view state, const char* description) {
    std::string document = R"({"jwk":{"kty":"OKP","crv":"Ed25519","x":")" +
                           quorvel_test::Base64Url(publicKey.data(), publicKey.size()) +
                           R"(","kid":")" + kid + R"("},"status":{"state":")" + std::string(state) +
                           R"("})";
    if (description != nullptr) {
        document += R"(,"description":")" + std::string(description) + "\"";
    }
    return document + "}";
}

std::string KeyDocument(const TestKey& key, std::string_view state, const char* description) {
    return KeyDocument(key.public_key, KeyIdText(key), state, description);
}

Bytes UnsignedPe() { return quorvel_test::MakeUnsignedPe(quorvel_test::SignedPeOptions{}); }

Bytes SignedPe(const TestKey& key, std::string_view domain) {
    return quorvel_test::SignPe(UnsignedPe(), key, domain, quorvel_test::Container::kQuorvelEntry);
}

Bytes Tampered(Bytes signedImage) {
    // The last byte before the certificate table is section data that the digest covers.
    const quorvel_test::PeLayout layout = quorvel_test::ReadLayout(signedImage);
    if (layout.table_offset == 0) {
        throw std::runtime_error("image without certificate table");
    }
    signedImage.at(layout.table_offset - 1) ^= 0x01;
    return signedImage;
}

Bytes SignedPeNamingOtherKey(const TestKey& signer, const TestKey& named, std::string_view domain) {
    const Bytes image = UnsignedPe();
    const quorvel_test::Digest digest = quorvel_test::ReferenceImageDigest(image);
    const Bytes payload =
        quorvel_test::MakePayload(quorvel_test::SignDigest(signer, digest),
                                  quorvel_test::JwkThumbprint(named.public_key), domain);
    return quorvel_test::AppendCertificateTable(image, quorvel_test::MakeQuorvelEntry(payload));
}

Bytes PeWithMalformedPayload(std::string_view domain) {
    const Bytes payload = quorvel_test::MakePayload(quorvel_test::PatternSignature(1),
                                                    quorvel_test::PatternKeyId(2), domain);
    quorvel_test::QuorvelEntryFields fields;
    fields.payload_length = 351;
    return quorvel_test::AppendCertificateTable(UnsignedPe(),
                                                quorvel_test::MakeQuorvelEntry(payload, fields));
}

std::u16string U16(std::string_view utf8) { return Utf8ToWide(std::string(utf8).c_str()); }

keyserver::Client OpenKeyServer() {
    keyserver::Client client;
    std::string error;
    if (!client.Open(&error)) {
        ADD_FAILURE() << "key server not available: " << error;
    }
    return client;
}

bool WaitForRequest(const keyserver::Client& server, const std::string& path,
                    std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return !server.RequestsFor(path).empty(); }, timeout);
}

LoopbackListener::LoopbackListener() {
    listenSocket_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listenSocket_ < 0) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(listenSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenSocket_, 64) != 0 ||
        getsockname(listenSocket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listenSocket_);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { AcceptLoop(); });
}

LoopbackListener::~LoopbackListener() {
    stop_.store(true);
    thread_.join();
    close(listenSocket_);
}

std::string LoopbackListener::Domain() const { return "127.0.0.1:" + std::to_string(port_); }

void LoopbackListener::Release() { release_.store(true); }

void LoopbackListener::AcceptLoop() {
    std::vector<int> held;
    while (!stop_.load()) {
        pollfd waiting{listenSocket_, POLLIN, 0};
        if (poll(&waiting, 1, 20) > 0) {
            const int connection = accept(listenSocket_, nullptr, nullptr);
            if (connection >= 0) {
                connections_.fetch_add(1);
                held.push_back(connection);
            }
        }
        if (release_.load()) {
            for (int connection : held) {
                close(connection);
            }
            held.clear();
        }
    }
    for (int connection : held) {
        close(connection);
    }
}

int ClosedPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

}  // namespace job_test
