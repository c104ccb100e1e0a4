// The HTTPS fetch: its write callback's limit, then one table of server behaviours against the
// loopback key server, each with the answer or the error the fetch must give.
#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "curl_global_once.h"
#include "keyclient/http_get.h"
#include "keyserver/fetch_fixture.h"
#include "response_buffer.h"

namespace {

using keyserver::Listener;
using keyserver::Pattern;
using keyserver::Route;

constexpr char kTooLarge[] = "Vantor response exceeded the maximum allowed size";
constexpr char kBodySentinel[] = "body before the call";
constexpr char kErrorSentinel[] = "error before the call";

TEST(WriteResponseChunk, TakesWholeChunksUpToTheLimit) {
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    struct Row {
        std::size_t held, size, count, taken;
    } const rows[] = {
        {0, 1, 65536, 65536}, {0, 1, 65537, 0},    {65535, 1, 1, 1}, {65535, 1, 2, 0},
        {65536, 1, 1, 0},     {0, 2, 32768, 65536}, {0, 65537, 1, 0}, {0, max / 2 + 1, 2, 0},
    };
    for (const Row& row : rows) {
        ResponseBuffer buffer;
        buffer.data.assign(row.held, 'h');
        std::vector<char> data(kMaxResponseBytes + 1, 'd');
        const std::string name = std::to_string(row.held) + " held, " + std::to_string(row.size) +
                                 " x " + std::to_string(row.count);
        EXPECT_EQ(WriteResponseChunk(data.data(), row.size, row.count, &buffer), row.taken) << name;
        EXPECT_EQ(buffer.exceeded, row.taken == 0) << name;
        EXPECT_EQ(buffer.data.size(), row.held + row.taken) << name;
    }
    ResponseBuffer buffer;
    char data[] = "ab";
    EXPECT_EQ(WriteResponseChunk(nullptr, 1, 2, &buffer), 0u);
    EXPECT_EQ(WriteResponseChunk(data, 1, 2, nullptr), 0u);
    EXPECT_EQ(WriteResponseChunk(data, 1, 2, &buffer), 2u);
    EXPECT_EQ(buffer.data, "ab");
    EXPECT_EQ(BuildKeyDocumentUrl("Keys.example:8443", "k"),
              "https://Keys.example:8443/.well-known/vantors/v1/k");
}

class HttpGetTest : public keyserver::FetchFixture<kBodySentinel, -12345, kErrorSentinel> {
protected:
    static std::string Serve(const Route& route, const std::string& json = "") {
        const std::string path = FreshPath("fetch");
        std::string error;
        EXPECT_TRUE(json.empty() ? Server().PutRoute(path, route, &error)
                                 : Server().PutRouteJson(path, json, &error))
            << error;
        return path;
    }
};

struct Behaviour {
    const char* name;
    Route route;
    std::string json;   // non-empty: the route as JSON instead
    long status;        // 0: the fetch fails
    std::string error;  // failure: the error's beginning
};

Route Body(std::string body, bool chunked = false, std::vector<std::size_t> pieces = {}) {
    Route route;
    route.body = std::move(body);
    route.chunked = chunked;
    route.chunkSizes = std::move(pieces);
    return route;
}

TEST_F(HttpGetTest, ServerBehaviours) {
    Route noLength = Body(Pattern(65537));
    noLength.sendContentLength = false;
    Route closed = Body(Pattern(3000));
    closed.closeAfterBytes = 1000;
    Route reset = Body(Pattern(3000), false, {500});
    reset.resetAfterBytes = 1000;
    Route notFound = Body("<html>not here</html>");
    notFound.status = 404;
    Route redirect = Body("moved");
    redirect.status = 302;
    const std::string target = FreshPath("redirect-target");
    redirect.location = Server().Url(Listener::Trusted, target);
    const Behaviour rows[] = {
        {"65536 bytes at once", Body(Pattern(65536)), "", 200, ""},
        {"65536 bytes chunked, 65535 then 1", Body(Pattern(65536), true, {65535, 1}), "", 200, ""},
        {"binary body", Body(std::string("\0\x01\xFF\r\n", 5)), "", 200, ""},
        {"404 is an answer", notFound, "", 404, ""},
        {"302 is an answer, not followed", redirect, "", 302, ""},
        {"65537 bytes at once", Body(Pattern(65537)), "", 0, kTooLarge},
        {"65537 bytes chunked, 65535 then 2", Body(Pattern(65537), true, {65535, 2}), "", 0,
         kTooLarge},
        {"65537 bytes ended by the close", noLength, "", 0, kTooLarge},
        {"endless chunked body", {},
         R"({"chunked": true, "endless": true, "chunk_sizes": [1000], "body": ")" +
             std::string(1000, 'y') + "\"}",
         0, kTooLarge},
#ifndef _WIN32  // Schannel under Wine waits for the time limit instead
        {"closed after 1000 of 3000 bytes", closed, "", 0,
         "transfer closed with 2000 bytes remaining to read"},
#endif
        {"reset after 1000 of 3000 bytes", reset, "", 0, ""},
    };
    for (const Behaviour& row : rows) {
        const Fetch f = GetPath(Serve(row.route, row.json));
        EXPECT_EQ(f.ok, row.status != 0) << row.name << ": " << f.error;
        if (row.status != 0) {
            EXPECT_EQ(f.status, row.status) << row.name;
            EXPECT_TRUE(f.body == row.route.body) << row.name << ": the body differs";
            EXPECT_EQ(f.error, kErrorSentinel) << row.name;
        } else {
            EXPECT_EQ(f.status, -12345) << row.name;
            EXPECT_EQ(f.body, kBodySentinel) << row.name;
            EXPECT_NE(f.error, kErrorSentinel) << row.name;
            EXPECT_FALSE(f.error.empty()) << row.name;
            EXPECT_EQ(f.error.rfind(row.error, 0), 0u) << row.name << ": " << f.error;
        }
        EXPECT_LT(f.seconds, 15) << row.name;
    }
    EXPECT_TRUE(Server().RequestsFor(target).empty()) << "the Location was followed";
}

TEST_F(HttpGetTest, TlsAndConnectionFailures) {
    const std::string path = Serve(Body("{}"));
    struct Row {
        const char* name;
        Listener listener;
        bool withCa;
        const char* error;  // natively
    } const rows[] = {
        {"untrusted CA", Listener::Untrusted, true,
         "SSL certificate problem: unable to get local issuer certificate"},
        {"another host name", Listener::WrongHost, true,
         "SSL: no alternative certificate subject name matches target host name '127.0.0.1'"},
        {"test CA without the extra bundle", Listener::Trusted, false,
         "SSL certificate problem: unable to get local issuer certificate"},
        {"connection refused", Listener::Closed, true, "Failed to connect to 127.0.0.1 port"},
    };
    for (const Row& row : rows) {
#ifdef _WIN32
        if (!row.withCa) {
            continue;  // Wine's system store accepts any certificate
        }
#endif
        const Fetch f = Get(Server().Url(row.listener, path), row.withCa);
        EXPECT_FALSE(f.ok) << row.name;
        EXPECT_EQ(f.body, kBodySentinel) << row.name;
#ifndef _WIN32
        EXPECT_EQ(f.error.rfind(row.error, 0), 0u) << row.name << ": " << f.error;
#endif
        EXPECT_LT(f.seconds, 2.5) << row.name;
    }
    EXPECT_TRUE(Server().RequestsFor(path).empty()) << "a request got through";
}

// The two time limits, each proven once by a server that really makes the fetch wait.
TEST_F(HttpGetTest, SilentServerEndsAtTheTotalLimit) {
    Route route;
    route.silentSeconds = 20;
    const Fetch f = GetPath(Serve(route));
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.error.rfind("Operation timed out after 5", 0), 0u) << f.error;
    EXPECT_GE(f.seconds, 4.0);
    EXPECT_LE(f.seconds, 15.0);
}

TEST_F(HttpGetTest, HandshakeThatNeverEndsEndsAtTheConnectLimit) {
    const Fetch f = Get(Server().Url(Listener::Silent, "/.well-known/vantors/v1/none"));
    EXPECT_FALSE(f.ok);
    EXPECT_NE(f.error, kErrorSentinel);
    EXPECT_GE(f.seconds, 2.5) << f.error;
    EXPECT_LE(f.seconds, 4.9) << "the connect limit, not the total limit: " << f.error;
}

TEST_F(HttpGetTest, RequestAndOutputs) {
    const std::string path = Serve(Body("{}"));
    const std::string url = Server().Url(Listener::Trusted, path);
    const FetchOptions options = WithTestCa();
    std::string body = kBodySentinel;
    long status = 7;
    EXPECT_FALSE(HttpGet(url, nullptr, &status, nullptr, &options));
    EXPECT_FALSE(HttpGet(url, &body, nullptr, nullptr, &options));
    EXPECT_TRUE(Server().RequestsFor(path).empty()) << "a missing output fails before any request";

    Fetch results[2];
    std::thread threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = std::thread([&results, &path, i] { results[i] = GetPath(path); });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (const Fetch& f : results) {
        EXPECT_EQ(f.status, 200) << f.error;
    }
    EXPECT_EQ(CurlGlobalInitRunCount(), 1);
    const auto requests = Server().RequestsFor(path);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].userAgent, "quorvel-shell-integration/1.0");
    std::set<std::string> names;
    for (const auto& header : requests[0].headers) {
        names.insert(header.first);
    }
    EXPECT_EQ(names, (std::set<std::string>{"Host", "User-Agent", "Accept"}));
}

}  // namespace
