// The HTTPS fetch: one table of server behaviours (tests/keyserver), each an answer or an error.
#include "keyclient/http_get.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "curl_global_once.h"
#include "keyserver/keyserver_client.h"
#include "response_buffer.h"

namespace {

using keyserver::Listener;

constexpr char kUntouched[] = "untouched";
constexpr char kDocuments[] = "/.well-known/vantors/v1/";

// libcurl passes size 1, but a size times count that wraps around must not slip past the limit
// (the fetch table below has the limit's boundary pair).
TEST(WriteResponseChunk, RefusesAWrappingChunkAndNoData) {
    ResponseBuffer buffer;
    char data[] = "d";
    EXPECT_EQ(WriteResponseChunk(data, ~std::size_t{0} / 2 + 1, 2, &buffer), 0u);
    EXPECT_TRUE(buffer.exceeded);
    EXPECT_EQ(WriteResponseChunk(nullptr, 1, 1, &buffer), 0u);
}

// One HttpGet call: its result, its three outputs (which start untouched) and its duration.
struct Fetch {
    bool ok = false;
    std::string body = kUntouched, error = kUntouched;
    long status = -1;
    double seconds = 0;
};

class HttpGetTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server_.Open(&error_)) << error_; }

    std::string Serve(const keyserver::Route& route) {
        const std::string name = keyserver::UniqueName("fetch");
        EXPECT_TRUE(server_.PutRoute(kDocuments + name, route, &error_)) << error_;
        return name;
    }

    // HttpGet of the key document name from listener, with the test CA as the extra bundle.
    Fetch Get(Listener listener, const std::string& name) const {
        const std::string ca = server_.CaFile();
        const FetchOptions options{.extraCaFile = ca.c_str()};
        Fetch f;
        const auto start = std::chrono::steady_clock::now();
        f.ok = HttpGet(BuildKeyDocumentUrl(server_.Domain(listener), name), &f.body, &f.status,
                       &f.error, &options);
        f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return f;
    }

    keyserver::Client server_;
    std::string error_;
};

TEST_F(HttpGetTest, ServerBehaviours) {
    using enum Listener;
    const std::string location = BuildKeyDocumentUrl(server_.Domain(Trusted), "not-served");
    const std::string page(3000, 'p');
    struct Row {
        const char* name;
        Listener listener;
        keyserver::Route route;
        const char* error;  // nullptr: the route's status and body are the answer
    } const rows[] = {
        {"65536 bytes", Trusted, {.body = std::string(65536, 'k')}, nullptr},
        {"404 with its page, bytes as sent", Trusted, {404, std::string("\0\x01\xFF", 3)}, nullptr},
        {"302 is an answer, not followed", Trusted, {.status = 302, .location = location}, nullptr},
        {"65537 bytes", Trusted, {.body = std::string(65537, 'k')}, kResponseTooLargeMessage},
        {"endless chunked", Trusted, {.body = "{}", .endless = true}, kResponseTooLargeMessage},
        {"reset after 1000 of 3000 bytes", Trusted, {.body = page, .resetAfterBytes = 1000}, ""},
        {"self-signed certificate", Untrusted, {}, "SSL certificate problem: self-signed"},
        {"another host's certificate", WrongHost, {}, "SSL: no alternative certificate"},
        {"connection refused", Closed, {}, "Failed to connect to 127.0.0.1 port"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool answer = row.error == nullptr;
        const Fetch f = Get(row.listener, Serve(row.route));
        EXPECT_EQ(f.ok, answer) << f.error;
        EXPECT_EQ(f.status, answer ? row.route.status : -1);
        EXPECT_TRUE(f.body == (answer ? row.route.body : kUntouched)) << "the body differs";
        EXPECT_EQ(f.error == kUntouched || f.error.empty(), answer) << f.error;
        EXPECT_EQ(f.error.rfind(answer ? kUntouched : row.error, 0), 0u) << f.error;
    }
}

// Each time limit once, both at the same moment, as the process's first fetches (so libcurl is
// initialised once for two concurrent first callers). The total limit's text carries its time.
TEST_F(HttpGetTest, TimeLimitsOnTwoThreadsAtOnce) {
    const std::string slow = Serve({.headersDelayMs = 20000});
    Fetch total, connect;
    std::thread connectThread([&] { connect = Get(Listener::Silent, "handshake-never-ends"); });
    total = Get(Listener::Trusted, slow);
    connectThread.join();
    EXPECT_EQ(CurlGlobalInitRunCount(), 1);
    EXPECT_FALSE(total.ok);
    EXPECT_EQ(total.error.rfind("Operation timed out after 5", 0), 0u) << total.error;
    EXPECT_FALSE(connect.ok);
    EXPECT_GE(connect.seconds, 2.5) << connect.error;
    EXPECT_LE(connect.seconds, 4.9) << "the connect limit, not the total limit: " << connect.error;
}

// A missing output stops the call before any request. Without options only the system's trust
// store counts, which does not hold the test CA.
TEST_F(HttpGetTest, RequestOptionsAndOutputs) {
    const std::string name = Serve({.body = "{}"});
    const std::string url = BuildKeyDocumentUrl(server_.Domain(Listener::Trusted), name);
    const std::string ca = server_.CaFile();
    const FetchOptions options{.extraCaFile = ca.c_str()};
    std::string body, error;
    long status = 0;
    EXPECT_FALSE(HttpGet(url, nullptr, &status, nullptr, &options));
    EXPECT_FALSE(HttpGet(url, &body, nullptr, nullptr, &options));
    EXPECT_FALSE(HttpGet(url, &body, &status, &error));
    EXPECT_EQ(error, "SSL certificate problem: unable to get local issuer certificate");
    EXPECT_TRUE(HttpGet(url, &body, &status, &error, &options));
    const auto requests = server_.RequestsFor(kDocuments + name);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].headers, "Host: " + server_.Domain(Listener::Trusted) +
                                       "\nUser-Agent: quorvel-shell-integration/1.0\nAccept: */*");
}

}  // namespace
