// Real files, key documents and servers for the tests of the verification job and the CLI.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "keyserver/keyserver_client.h"
#include "quorvel_test/bytes.h"
#include "quorvel_test/signing.h"

namespace job_test {

// A fresh directory for this test process, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(std::string_view name) const;

  private:
    std::string path_;
};

// A signing key no other test process uses at the same time, so that its key document path
// is this test's alone.
quorvel_test::TestKey UniqueKey(std::string_view tag);

// The key id text of key: base64url of its JWK thumbprint.
std::string KeyIdText(const quorvel_test::TestKey& key);

// "/.well-known/vantors/v1/" + the key id text.
std::string KeyPath(const std::string& keyIdText);
std::string KeyPath(const quorvel_test::TestKey& key);

// A key document for publicKey that names kid. description null: no description member.
std::string KeyDocument(const quorvel_test::PublicKey& publicKey, const std::string& kid,
                        std::string_view state, const char* description);
// The same for key itself, naming its own key id.
std::string KeyDocument(const quorvel_test::TestKey& key, std::string_view state,
                        const char* description);

// A small PE image without a certificate table, and the same signed by key for domain.
quorvel_test::Bytes UnsignedPe();
quorvel_test::Bytes SignedPe(const quorvel_test::TestKey& key, std::string_view domain);

// The signed image with one byte of its section data changed: the digest no longer matches.
quorvel_test::Bytes Tampered(quorvel_test::Bytes signedImage);

// A signed image whose payload carries a signature made by signer but names the key id of
// named: the signature verifies under signer's key, whose thumbprint is not the key id.
quorvel_test::Bytes SignedPeNamingOtherKey(const quorvel_test::TestKey& signer,
                                           const quorvel_test::TestKey& named,
                                           std::string_view domain);

// An image whose certificate table holds a Quorvel entry with a payload of the wrong length.
quorvel_test::Bytes PeWithMalformedPayload(std::string_view domain);

// The UTF-16 form of a UTF-8 test string.
std::u16string U16(std::string_view utf8);

// Opens the key server of the CTest fixture; fails the current test when it cannot.
keyserver::Client OpenKeyServer();

// Waits (at most timeout) until the server has logged a request for path.
bool WaitForRequest(const keyserver::Client& server, const std::string& path,
                    std::chrono::milliseconds timeout);

// Polls condition every few milliseconds until it holds or timeout passes.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A plain TCP server on 127.0.0.1 that counts the connections it accepts and holds each one
// open until Release() (or its destruction) closes them all, which a TLS client sees as a
// failed handshake.
class LoopbackListener {
  public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int port() const { return port_; }
    std::string Domain() const;  // "127.0.0.1:PORT"
    std::size_t Connections() const { return connections_.load(); }
    void Release();  // closes every accepted connection, now and from now on

  private:
    void AcceptLoop();

    int listenSocket_ = -1;
    int port_ = 0;
    std::atomic<std::size_t> connections_{0};
    std::atomic<bool> release_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens (bound, then closed again).
int ClosedPort();

}  // namespace job_test
