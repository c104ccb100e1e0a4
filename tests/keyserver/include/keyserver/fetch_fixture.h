// A GoogleTest fixture for suites that fetch from the loopback key server through HttpGet:
// one Client for the whole suite, its test CA as the fetch's extra bundle, and timed fetches
// whose outputs start at sentinels, so that a test can tell whether a fetch touched them.
// Link quorvel_keyserver_fetch_fixture to use it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>

#include "keyclient/http_get.h"
#include "keyserver/keyserver_client.h"

namespace keyserver {

// BodySentinel, StatusSentinel and ErrorSentinel: what a Fetch's outputs hold before the call.
template <const char* BodySentinel, long StatusSentinel, const char* ErrorSentinel>
class FetchFixture : public ::testing::Test {
public:
    // One HttpGet call: its result, its three outputs and how long it took.
    struct Fetch {
        bool ok = false;
        std::string body = BodySentinel;
        long status = StatusSentinel;
        std::string error = ErrorSentinel;
        double seconds = 0;
    };

protected:
    static void SetUpTestSuite() {
        server_ = new Client;
        opened_ = server_->Open(&openError_);
        if (opened_) {
            caFile_ = server_->CaFile();
        }
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(opened_) << openError_; }

    static Client& Server() { return *server_; }

    // A key-document path that no other test uses.
    static std::string FreshPath(const char* tag) {
        return "/.well-known/vantors/v1/" + UniqueName(tag);
    }

    // Options that trust the server's test CA besides the system's.
    static FetchOptions WithTestCa() {
        FetchOptions options;
        options.extraCaFile = caFile_.c_str();
        return options;
    }

    static double SecondsSince(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    // HttpGet of url, with the test CA unless withCa is false.
    static Fetch Get(const std::string& url, bool withCa = true) {
        Fetch f;
        const FetchOptions options = WithTestCa();
        const auto start = std::chrono::steady_clock::now();
        f.ok = HttpGet(url, &f.body, &f.status, &f.error, withCa ? &options : nullptr);
        f.seconds = SecondsSince(start);
        return f;
    }

    // Get of path on the trusted listener.
    static Fetch GetPath(std::string_view path) {
        return Get(Server().Url(Listener::Trusted, path));
    }

private:
    static inline Client* server_ = nullptr;
    static inline bool opened_ = false;
    static inline std::string openError_;
    static inline std::string caFile_;
};

}  // namespace keyserver
