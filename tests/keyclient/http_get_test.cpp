// The HTTPS fetch, against the loopback key server of the CTest fixture.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "curl_global_once.h"
#include "keyclient/http_get.h"
#include "keyserver/fetch_fixture.h"
#include "keyserver/keyserver_client.h"
#include "response_buffer.h"

namespace {

using keyserver::Listener;
using keyserver::Pattern;
using keyserver::Route;

constexpr char kTooLarge[] = "Vantor response exceeded the maximum allowed size";
constexpr char kUserAgent[] = "quorvel-shell-integration/1.0";
constexpr char kBodySentinel[] = "body before the call";
constexpr char kErrorSentinel[] = "error before the call";

// --- the write callback on its own ---------------------------------------------------------

TEST(WriteResponseChunk, LimitBoundaries) {
    struct Case {
        const char* name;
        std::size_t held;   // bytes already in the buffer
        std::size_t size;   // element size
        std::size_t count;  // element count
        std::size_t taken;  // expected return value
        bool exceeded;
    };
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    const Case cases[] = {
        {"empty, 65536 in one chunk: accepted", 0, 1, 65536, 65536, false},
        {"empty, 65537 in one chunk: refused", 0, 1, 65537, 0, true},
        {"65535 held, 1 more: accepted", 65535, 1, 1, 1, false},
        {"65535 held, 2 more: refused whole", 65535, 1, 2, 0, true},
        {"65536 held, 1 more: refused", 65536, 1, 1, 0, true},
        {"1 held, 65535 more: accepted", 1, 1, 65535, 65535, false},
        {"1 held, 65536 more: refused whole", 1, 1, 65536, 0, true},
        {"size 2 times 32768: accepted", 0, 2, 32768, 65536, false},
        {"size 2 times 32769: refused", 0, 2, 32769, 0, true},
        {"count 1 times size 65537: refused", 0, 65537, 1, 0, true},
        {"empty, zero bytes: taken as zero", 0, 1, 0, 0, false},
        {"product wraps to zero: refused", 0, max / 2 + 1, 2, 0, true},
        {"product wraps to 2: refused", 0, max / 3 + 1, 3, 0, true},
    };
    for (const Case& c : cases) {
        ResponseBuffer buffer;
        buffer.data.assign(c.held, 'h');
        // Room for any chunk up to one byte past the limit, so that a callback that wrongly
        // keeps part of a refused chunk shows up in the size check below.
        std::vector<char> data(kMaxResponseBytes + 1, 'd');
        const std::size_t taken = WriteResponseChunk(data.data(), c.size, c.count, &buffer);
        EXPECT_EQ(taken, c.taken) << c.name;
        EXPECT_EQ(buffer.exceeded, c.exceeded) << c.name;
        EXPECT_EQ(buffer.data.size(), c.held + c.taken) << c.name;
        if (c.taken > 0) {
            EXPECT_EQ(buffer.data.back(), 'd') << c.name;
        }
    }
}

TEST(WriteResponseChunk, NullPointersTakeNothing) {
    ResponseBuffer buffer;
    char data[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(WriteResponseChunk(nullptr, 1, 4, &buffer), 0u);
    EXPECT_EQ(WriteResponseChunk(data, 1, 4, nullptr), 0u);
    EXPECT_TRUE(buffer.data.empty());
    EXPECT_FALSE(buffer.exceeded);
}

TEST(WriteResponseChunk, AppendsInOrder) {
    ResponseBuffer buffer;
    char first[] = {'a', 'b'};
    char second[] = {'\0', 'c', 'd'};
    ASSERT_EQ(WriteResponseChunk(first, 1, 2, &buffer), 2u);
    ASSERT_EQ(WriteResponseChunk(second, 1, 3, &buffer), 3u);
    EXPECT_EQ(buffer.data, std::string("ab\0cd", 5));
}

TEST(BuildKeyDocumentUrl, JoinsThePiecesVerbatim) {
    struct Case {
        const char* name;
        std::string domain;
        std::string kid;
        std::string url;
    };
    const std::string kid = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";
    const Case cases[] = {
        {"plain domain", "keys.example.org", kid,
         "https://keys.example.org/.well-known/vantors/v1/" + kid},
        {"upper case and a port stay", "Keys.EXAMPLE.org:8443", kid,
         "https://Keys.EXAMPLE.org:8443/.well-known/vantors/v1/" + kid},
        {"no escaping", "a b/c?d#e", "k y", "https://a b/c?d#e/.well-known/vantors/v1/k y"},
        {"UTF-8 domain untouched", "b\xC3\xBC" "cher.example", kid,
         "https://b\xC3\xBC" "cher.example/.well-known/vantors/v1/" + kid},
        {"empty pieces", "", "", "https:///.well-known/vantors/v1/"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BuildKeyDocumentUrl(c.domain, c.kid), c.url) << c.name;
    }
}

// --- transfers against the key server -------------------------------------------------------

class HttpGetTest : public keyserver::FetchFixture<kBodySentinel, -12345, kErrorSentinel> {
protected:
    // Puts the route on a fresh path and returns that path.
    static std::string Serve(const Route& route, const char* tag) {
        const std::string path = FreshPath(tag);
        std::string error;
        EXPECT_TRUE(Server().PutRoute(path, route, &error)) << error;
        return path;
    }
};

TEST_F(HttpGetTest, TwoThreadsAtOnceInitialiseLibcurlOnce) {
    Route route;
    route.body = "{\"concurrent\":true}";
    const std::string path = Serve(route, "concurrent");
    Fetch results[2];
    std::thread threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = std::thread([&results, &path, i] { results[i] = GetPath(path); });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(results[i].ok) << "thread " << i << ": " << results[i].error;
        EXPECT_EQ(results[i].status, 200) << "thread " << i;
        EXPECT_EQ(results[i].body, route.body) << "thread " << i;
    }
    EXPECT_EQ(CurlGlobalInitRunCount(), 1);
    EXPECT_EQ(Server().RequestsFor(path).size(), 2u);
    // Later fetches do not run it again.
    EXPECT_TRUE(GetPath(path).ok);
    EXPECT_EQ(CurlGlobalInitRunCount(), 1);
}

TEST_F(HttpGetTest, BodiesUpToTheLimitArriveWhole) {
    struct Case {
        const char* name;
        std::size_t size;
        bool chunked;
        std::vector<std::size_t> pieces;
    };
    const Case cases[] = {
        {"65536 bytes in one write", 65536, false, {}},
        {"65536 bytes in 1000-byte writes", 65536, false, {1000}},
        {"65536 bytes chunked, 65535 then 1", 65536, true, {65535, 1}},
        {"65536 bytes chunked in 4099-byte chunks", 65536, true, {4099}},
        {"65535 bytes", 65535, false, {}},
        {"one byte", 1, false, {}},
    };
    for (const Case& c : cases) {
        Route route;
        route.body = Pattern(c.size);
        route.chunked = c.chunked;
        route.chunkSizes = c.pieces;
        const Fetch f = GetPath(Serve(route, "whole"));
        EXPECT_TRUE(f.ok) << c.name << ": " << f.error;
        EXPECT_EQ(f.status, 200) << c.name;
        EXPECT_EQ(f.body.size(), c.size) << c.name;
        EXPECT_TRUE(f.body == route.body) << c.name << ": body differs";
        EXPECT_EQ(f.error, kErrorSentinel) << c.name << ": error output touched on success";
    }
}

TEST_F(HttpGetTest, OneByteOverTheLimitFailsWhateverTheChunking) {
    struct Case {
        const char* name;
        bool chunked;
        bool contentLength;
        std::vector<std::size_t> pieces;
    };
    const Case cases[] = {
        {"one write with Content-Length", false, true, {}},
        {"one-byte writes", false, true, {1}},
        {"65536 then 1", false, true, {65536, 1}},
        {"chunked, 65535 then 2", true, true, {65535, 2}},
        {"chunked, 1000-byte chunks", true, true, {1000}},
        {"chunked, one chunk", true, true, {}},
        {"no Content-Length, ends at close", false, false, {}},
    };
    for (const Case& c : cases) {
        Route route;
        route.body = Pattern(65537);
        route.chunked = c.chunked;
        route.sendContentLength = c.contentLength;
        route.chunkSizes = c.pieces;
        const Fetch f = GetPath(Serve(route, "over"));
        EXPECT_FALSE(f.ok) << c.name;
        EXPECT_EQ(f.error, kTooLarge) << c.name;
        EXPECT_EQ(f.body, kBodySentinel) << c.name << ": body output touched on failure";
    }
}

TEST_F(HttpGetTest, StatusesAreReturnedNotJudged) {
    struct Case {
        int status;
        std::string body;
        bool redirect;
    };
    const Case cases[] = {
        {200, "{}", false},
        {201, "created", false},
        {204, "", false},
        {301, "moved", true},
        {302, "found", true},
        {307, "", true},
        {404, "<html>not here</html>", false},
        {500, "server error page", false},
        {503, "", false},
        {599, "unregistered status", false},
    };
    for (const Case& c : cases) {
        Route target;
        target.body = "the redirect target must not be fetched";
        const std::string targetPath = Serve(target, "redirect-target");
        Route route;
        route.status = c.status;
        route.body = c.body;
        if (c.redirect) {
            route.location = Server().Url(Listener::Trusted, targetPath);
        }
        const Fetch f = GetPath(Serve(route, "status"));
        EXPECT_TRUE(f.ok) << c.status << ": " << f.error;
        EXPECT_EQ(f.status, c.status) << c.status;
        EXPECT_EQ(f.body, c.body) << c.status;
        EXPECT_EQ(f.error, kErrorSentinel) << c.status;
        EXPECT_TRUE(Server().RequestsFor(targetPath).empty())
            << c.status << ": the Location was followed";
    }
}

TEST_F(HttpGetTest, BodyIsReplacedAndKeepsEveryByte) {
    Route route;
    route.body = std::string("\0\x01\xFF{\"a\":\"\xC3\xA9\"}\r\n\0", 16);
    const Fetch f = GetPath(Serve(route, "binary"));
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(f.body, route.body) << "the previous content must be replaced, not appended to";
}

TEST_F(HttpGetTest, RequestCarriesThePathAndTheUserAgentOnly) {
    Route route;
    route.body = "{}";
    const std::string path = Serve(route, "request-Zz_09");
    const std::string domain = "LocalHost:" + std::to_string(Server().Port(Listener::Trusted));
    const Fetch f = Get(BuildKeyDocumentUrl(domain, path.substr(24)));
    ASSERT_TRUE(f.ok) << f.error;
    ASSERT_EQ(f.status, 200);

    const auto requests = Server().RequestsFor(path);
    ASSERT_EQ(requests.size(), 1u);
    const keyserver::LoggedRequest& r = requests[0];
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, path);
    EXPECT_EQ(r.version, "HTTP/1.1");
    EXPECT_EQ(r.userAgent, kUserAgent);
    EXPECT_EQ(r.listener, "trusted");
    std::set<std::string> names;
    for (const auto& [name, value] : r.headers) {
        names.insert(name);
        if (name == "Host") {
            EXPECT_EQ(value, domain) << "the domain must reach the server unchanged";
        }
        if (name == "Accept") {
            EXPECT_EQ(value, "*/*");
        }
    }
    EXPECT_EQ(names, (std::set<std::string>{"Host", "User-Agent", "Accept"}))
        << "no header beyond libcurl's defaults and the user agent";
}

TEST_F(HttpGetTest, MissingOutputsFailBeforeAnyRequest) {
    Route route;
    route.body = "{}";
    const std::string path = Serve(route, "missing-output");
    const std::string url = Server().Url(Listener::Trusted, path);
    std::string body = kBodySentinel;
    long status = 7;
    std::string error = kErrorSentinel;
    const FetchOptions options = WithTestCa();
    EXPECT_FALSE(HttpGet(url, nullptr, &status, &error, &options));
    EXPECT_EQ(error, kErrorSentinel);
    EXPECT_EQ(status, 7);
    EXPECT_FALSE(HttpGet(url, &body, nullptr, &error, &options));
    EXPECT_EQ(error, kErrorSentinel);
    EXPECT_EQ(body, kBodySentinel);
    EXPECT_TRUE(Server().RequestsFor(path).empty());
    // With both outputs the same call goes through, also without an error output.
    EXPECT_TRUE(HttpGet(url, &body, &status, nullptr, &options));
    EXPECT_EQ(status, 200);
}

TEST_F(HttpGetTest, FailureWithoutErrorOutputIsQuiet) {
    Route route;
    route.body = Pattern(70000);
    std::string body = kBodySentinel;
    long status = 0;
    const FetchOptions options = WithTestCa();
    EXPECT_FALSE(HttpGet(Server().Url(Listener::Trusted, Serve(route, "quiet")), &body, &status,
                         nullptr, &options));
    EXPECT_EQ(body, kBodySentinel);
}

TEST_F(HttpGetTest, BrokenTransfersFailWithLibcurlsText) {
    struct Case {
        const char* name;
        Route route;
        const char* errorStart;
    };
    Route closed;
    closed.body = Pattern(3000);
    closed.closeAfterBytes = 1000;
    Route reset;
    reset.body = Pattern(3000);
    reset.resetAfterBytes = 1000;
    const Case cases[] = {
#ifdef _WIN32
        // Schannel under Wine does not see the close and waits for the total limit instead.
        {"closed after 1000 of 3000 bytes", closed, ""},
#else
        {"closed after 1000 of 3000 bytes", closed,
         "transfer closed with 2000 bytes remaining to read"},
#endif
        {"reset after 1000 of 3000 bytes", reset, ""},
    };
    for (const Case& c : cases) {
        const Fetch f = GetPath(Serve(c.route, "broken"));
        EXPECT_FALSE(f.ok) << c.name;
        EXPECT_EQ(f.body, kBodySentinel) << c.name;
        EXPECT_NE(f.error, kErrorSentinel) << c.name;
        EXPECT_FALSE(f.error.empty()) << c.name;
        EXPECT_EQ(f.error.rfind(c.errorStart, 0), 0u) << c.name << ": " << f.error;
    }
}

TEST_F(HttpGetTest, ConnectionRefusedFailsAtOnce) {
    const Fetch f = Get(Server().Url(Listener::Closed, "/.well-known/vantors/v1/none"));
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.error.rfind("Failed to connect to 127.0.0.1 port", 0), 0u) << f.error;
    EXPECT_EQ(f.body, kBodySentinel);
    EXPECT_LT(f.seconds, 2.5) << f.error;
}

TEST_F(HttpGetTest, SilentServerFailsAfterTheTotalLimit) {
    Route route;
    route.silentSeconds = 20;
    const Fetch f = GetPath(Serve(route, "silent"));
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.error.rfind("Operation timed out after 5", 0), 0u) << f.error;
    EXPECT_EQ(f.body, kBodySentinel);
    EXPECT_GE(f.seconds, 4.0);
    EXPECT_LE(f.seconds, 15.0);
}

TEST_F(HttpGetTest, SlowBodyFailsAfterTheTotalLimit) {
    Route route;
    route.body = Pattern(800);
    route.chunkSizes = {100};
    route.delayMs = 1000;  // 7 s for the whole body
    const Fetch f = GetPath(Serve(route, "slow"));
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.error.rfind("Operation timed out after 5", 0), 0u) << f.error;
    EXPECT_EQ(f.body, kBodySentinel);
    EXPECT_GE(f.seconds, 4.0);
    EXPECT_LE(f.seconds, 15.0);
}

TEST_F(HttpGetTest, UnansweredConnectionFailsAfterTheConnectLimit) {
    if (!Server().BlackholeVerified()) {
        GTEST_SKIP() << "the key server could not make a listener that drops connection attempts";
    }
    const Fetch f = Get(Server().Url(Listener::Blackhole, "/.well-known/vantors/v1/none"));
    EXPECT_FALSE(f.ok);
    EXPECT_NE(f.error.find("Timeout was reached"), std::string::npos) << f.error;
    EXPECT_EQ(f.body, kBodySentinel);
    EXPECT_GE(f.seconds, 2.5) << f.error;
    EXPECT_LE(f.seconds, 4.9) << "the connect limit, not the total limit, must end it: " << f.error;
}

TEST_F(HttpGetTest, HandshakeThatNeverEndsFailsAfterTheConnectLimit) {
    const Fetch f = Get(Server().Url(Listener::Silent, "/.well-known/vantors/v1/none"));
    EXPECT_FALSE(f.ok);
    EXPECT_FALSE(f.error.empty());
    EXPECT_NE(f.error, kErrorSentinel);
    EXPECT_EQ(f.body, kBodySentinel);
    EXPECT_GE(f.seconds, 2.5) << f.error;
    EXPECT_LE(f.seconds, 4.9) << f.error;
}

TEST_F(HttpGetTest, CertificatesAreVerified) {
    // libcurl's texts depend on its TLS backend: OpenSSL natively, Schannel on Windows. With an
    // extra CA bundle, libcurl checks the chain and the host name itself on Schannel too; the
    // system store that decides without one is not exercised under Wine, which accepts any
    // certificate there.
    struct Case {
        const char* name;
        Listener listener;
        bool withCa;
        const char* error;
    };
    const Case cases[] = {
#ifdef _WIN32
        {"certificate from an untrusted CA", Listener::Untrusted, true,
         "schannel: CertGetCertificateChain trust error CERT_TRUST_IS_PARTIAL_CHAIN"},
        {"certificate for another host name", Listener::WrongHost, true,
         "schannel: CertGetNameString() failed to match connection hostname (127.0.0.1) "
         "against server certificate names"},
#else
        {"certificate from an untrusted CA", Listener::Untrusted, true,
         "SSL certificate problem: unable to get local issuer certificate"},
        {"certificate for another host name", Listener::WrongHost, true,
         "SSL: no alternative certificate subject name matches target host name '127.0.0.1'"},
        {"test CA not trusted without the extra bundle", Listener::Trusted, false,
         "SSL certificate problem: unable to get local issuer certificate"},
#endif
    };
    for (const Case& c : cases) {
        Route route;
        route.body = "{}";
        const std::string path = Serve(route, "tls");
        const Fetch f = Get(Server().Url(c.listener, path), c.withCa);
        EXPECT_FALSE(f.ok) << c.name;
        EXPECT_EQ(f.error, c.error) << c.name;
        EXPECT_EQ(f.body, kBodySentinel) << c.name;
        EXPECT_TRUE(Server().RequestsFor(path).empty()) << c.name << ": a request got through";
    }
}

TEST_F(HttpGetTest, ErrorOutputIsAssignedNotAppended) {
    Route route;
    route.body = Pattern(65537);
    Fetch f;
    f.error = "a long earlier message that must be gone after the call";
    const FetchOptions options = WithTestCa();
    f.ok = HttpGet(Server().Url(Listener::Trusted, Serve(route, "assign")), &f.body, &f.status,
                   &f.error, &options);
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.error, kTooLarge);
}

}  // namespace
