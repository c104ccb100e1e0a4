// Key servers that misbehave on purpose, on loopback, met through the real fetch and the real
// job: each must end in its documented outcome, within the fetch's time limits, without a crash.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/text_conversion.h"
#include "hardening_support.h"
#include "job_fixtures.h"
#include "keyclient/http_get.h"
#include "keyclient/key_document.h"
#include "keyserver/fetch_fixture.h"
#include "keyserver/keyserver_client.h"
#include "quorvel_test/bytes.h"
#include "verification/verification_job.h"

namespace {

using keyserver::Listener;
using keyserver::Pattern;
using keyserver::Route;

constexpr char kBodySentinel[] = "body before the fetch";
constexpr char kErrorSentinel[] = "error before the fetch";
constexpr char kTooLarge[] = "Vantor response exceeded the maximum allowed size";
constexpr char kTimedOut[] = "Operation timed out after 5";
constexpr double kUpperBoundSeconds = 15.0;

class HostileServerTest : public keyserver::FetchFixture<kBodySentinel, -1, kErrorSentinel> {
protected:
    static void Put(const std::string& path, const Route& route) {
        std::string error;
        ASSERT_TRUE(Server().PutRoute(path, route, &error)) << error;
    }

    static void PutJson(const std::string& path, const std::string& json) {
        std::string error;
        ASSERT_TRUE(Server().PutRouteJson(path, json, &error)) << error;
    }

    // A file signed by key for the trusted listener's domain, on disk.
    std::u16string SignedFile(const quorvel_test::TestKey& key, const char* name) {
        const std::string path = dir_.File(name);
        quorvel_test::WriteFile(path, job_test::SignedPe(key, Server().Domain(Listener::Trusted)));
        return job_test::U16(path);
    }

    static VerificationOutcome Run(const std::u16string& path, double* seconds) {
        const FetchOptions options = WithTestCa();
        const auto start = std::chrono::steady_clock::now();
        VerificationOutcome outcome = RunVerification(path, nullptr, &options);
        *seconds = SecondsSince(start);
        return outcome;
    }

    // The status line of a failed fetch: the fixed words, then the error text in parentheses.
    static std::u16string FetchFailedStatus(const std::string& error) {
        return u"Quorvel: key fetch failed (" + Widen(error) + u")";
    }

    static void ExpectFetchFailedOutcome(const VerificationOutcome& outcome,
                                         const std::string& errorStart, const char* name) {
        const std::u16string prefix = FetchFailedStatus(errorStart);
        const std::u16string start = prefix.substr(0, prefix.size() - 1);  // without ")"
        EXPECT_EQ(outcome.statusText.rfind(start, 0), 0u) << name;
        EXPECT_EQ(outcome.statusText.back(), u')') << name;
        EXPECT_EQ(outcome.resultText, u"Unable to fetch the signing key.") << name;
        EXPECT_EQ(outcome.domainText, job_test::U16(Server().Domain(Listener::Trusted))) << name;
        EXPECT_EQ(outcome.descriptionText, u"") << name;
        EXPECT_EQ(outcome.kind, OutcomeKind::Failed) << name;
    }

    job_test::TempDir dir_;
};

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// --- a body that trickles --------------------------------------------------------------------

TEST_F(HostileServerTest, BodyTricklingOneByteASecondEndsAtTheTotalLimit) {
    Route route;
    route.body = Pattern(30);  // 29 s at one byte a second
    route.chunkSizes = {1};
    route.delayMs = 1000;
    const std::string path = FreshPath("trickle");
    Put(path, route);
    const Fetch f = GetPath(path);
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.error.rfind(kTimedOut, 0), 0u) << f.error;
    EXPECT_EQ(f.body, kBodySentinel) << "the body output must stay untouched on failure";
    EXPECT_GE(f.seconds, 4.0) << f.error;
    EXPECT_LT(f.seconds, kUpperBoundSeconds) << f.error;
}

TEST_F(HostileServerTest, TrickledKeyDocumentEndsTheJobAsFetchFailed) {
    const quorvel_test::TestKey key = job_test::UniqueKey("trickle-job");
    Route route;
    route.body = job_test::KeyDocument(key, "active", "never arrives whole");
    route.chunkSizes = {1};
    route.delayMs = 1000;
    Put(job_test::KeyPath(key), route);
    double seconds = 0;
    const VerificationOutcome outcome = Run(SignedFile(key, "trickle.exe"), &seconds);
    ExpectFetchFailedOutcome(outcome, kTimedOut, "trickle");
    EXPECT_GE(seconds, 4.0);
    EXPECT_LT(seconds, kUpperBoundSeconds);
}

// --- a connection reset in the middle of the body ----------------------------------------------

TEST_F(HostileServerTest, ResetMidBodyFailsWithTheTransferErrorText) {
    struct Case {
        const char* name;
        bool chunked;
        long long resetAfter;
    };
    const Case cases[] = {
        {"length-delimited, reset before the first body byte", false, 0},
        {"length-delimited, reset after 1000 of 3000 bytes", false, 1000},
        {"length-delimited, reset one byte before the end", false, 2999},
        {"chunked, reset after 1000 of 3000 bytes", true, 1000},
    };
    for (const Case& c : cases) {
        Route route;
        route.body = Pattern(3000);
        route.chunked = c.chunked;
        route.chunkSizes = {500};
        route.resetAfterBytes = c.resetAfter;
        const std::string path = FreshPath("reset");
        Put(path, route);
        const Fetch f = GetPath(path);
        EXPECT_FALSE(f.ok) << c.name;
        EXPECT_EQ(f.body, kBodySentinel) << c.name;
        EXPECT_NE(f.error, kErrorSentinel) << c.name;
        EXPECT_FALSE(f.error.empty()) << c.name;
        EXPECT_NE(f.error, kTooLarge) << c.name;
        EXPECT_LT(f.seconds, kUpperBoundSeconds) << c.name << ": " << f.error;
        std::printf("[ reset ] %s: %s (%.2f s)\n", c.name, f.error.c_str(), f.seconds);
    }
}

TEST_F(HostileServerTest, ResetKeyDocumentEndsTheJobAsFetchFailedWithLibcurlsText) {
    const quorvel_test::TestKey key = job_test::UniqueKey("reset-job");
    Route route;
    route.body = job_test::KeyDocument(key, "active", "cut short");
    route.resetAfterBytes = 40;
    Put(job_test::KeyPath(key), route);
    double seconds = 0;
    const VerificationOutcome outcome = Run(SignedFile(key, "reset.exe"), &seconds);
    ExpectFetchFailedOutcome(outcome, "", "reset");
    // Something of libcurl's between the parentheses, not the size message.
    EXPECT_GT(outcome.statusText.size(), FetchFailedStatus("").size());
    EXPECT_EQ(outcome.statusText.find(Widen(kTooLarge)), std::u16string::npos);
    EXPECT_LT(seconds, kUpperBoundSeconds);
}

// --- an endless body ----------------------------------------------------------------------------

TEST_F(HostileServerTest, EndlessBodyStopsAtTheSizeCap) {
    struct Case {
        const char* name;
        const char* json;
    };
    // Each body goes on until the client hangs up (the server gives up after 256 MiB).
    const Case cases[] = {
        {"chunked, 4096-byte chunks",
         R"({"chunked": true, "endless": true, "chunk_sizes": [4096],
             "body_repeat": {"text": "x", "count": 4096}})"},
        {"chunked, 1000-byte chunks (not a divisor of the cap)",
         R"({"chunked": true, "endless": true, "chunk_sizes": [1000],
             "body_repeat": {"text": "y", "count": 1000}})"},
        {"no length, ended by nothing",
         R"({"content_length": false, "endless": true, "chunk_sizes": [8192],
             "body_repeat": {"text": "z", "count": 8192}})"},
        {"HTTP/1.0, no length, ended by nothing",
         R"({"http_version": "HTTP/1.0", "content_length": false, "endless": true,
             "chunk_sizes": [3000], "body_repeat": {"text": "w", "count": 3000}})"},
    };
    for (const Case& c : cases) {
        const std::string path = FreshPath("endless");
        PutJson(path, c.json);
        const Fetch f = GetPath(path);
        EXPECT_FALSE(f.ok) << c.name;
        EXPECT_EQ(f.error, kTooLarge) << c.name;
        EXPECT_EQ(f.body, kBodySentinel) << c.name;
        EXPECT_LT(f.seconds, kUpperBoundSeconds) << c.name;
    }
}

TEST_F(HostileServerTest, ChunkedBodyAtTheCapIsWholeOneByteMoreIsRefused) {
    struct Case {
        const char* name;
        std::size_t size;
        bool accepted;
    };
    const Case cases[] = {
        {"65536 bytes in 1000-byte chunks: accepted", 65536, true},
        {"65537 bytes in 1000-byte chunks: refused", 65537, false},
    };
    for (const Case& c : cases) {
        Route route;
        route.body = Pattern(c.size);
        route.chunked = true;
        route.chunkSizes = {1000};
        const std::string path = FreshPath("chunked-cap");
        Put(path, route);
        const Fetch f = GetPath(path);
        EXPECT_EQ(f.ok, c.accepted) << c.name << ": " << f.error;
        if (c.accepted) {
            EXPECT_EQ(f.status, 200) << c.name;
            EXPECT_EQ(f.body, route.body) << c.name;
        } else {
            EXPECT_EQ(f.error, kTooLarge) << c.name;
            EXPECT_EQ(f.body, kBodySentinel) << c.name;
        }
    }
}

TEST_F(HostileServerTest, EndlessKeyDocumentEndsTheJobWithTheSizeMessage) {
    const quorvel_test::TestKey key = job_test::UniqueKey("endless-job");
    // A well-formed document, then white space that never stops: the last 2048-byte piece,
    // all spaces, is sent again and again.
    const std::string document = job_test::KeyDocument(key, "active", "endless");
    const std::string padded = document + std::string((document.size() / 2048 + 2) * 2048 -
                                                          document.size(), ' ');
    PutJson(job_test::KeyPath(key),
            R"({"chunked": true, "endless": true, "chunk_sizes": [2048], "body": )" +
                Quoted(padded) + "}");
    double seconds = 0;
    const VerificationOutcome outcome = Run(SignedFile(key, "endless.exe"), &seconds);
    EXPECT_EQ(outcome.statusText, FetchFailedStatus(kTooLarge));
    ExpectFetchFailedOutcome(outcome, kTooLarge, "endless");
    EXPECT_LT(seconds, kUpperBoundSeconds);
}

// --- enormous headers ---------------------------------------------------------------------------

TEST_F(HostileServerTest, EnormousHeadersEndConsistentlyAndBounded) {
    struct Case {
        const char* name;
        std::size_t lines;
        std::size_t lineBytes;
    };
    const Case cases[] = {
        {"2000 header lines of 100 bytes (200 KiB)", 2000, 100},
        {"one header line of 200 KiB", 1, 200 * 1024},
        {"10000 header lines of 100 bytes (1 MiB)", 10000, 100},
    };
    for (const Case& c : cases) {
        Route route;
        route.body = "{\"small\":true}";
        for (std::size_t i = 0; i < c.lines; ++i) {
            const std::string name = "X-Filler-" + std::to_string(i);
            route.headers.emplace_back(name, Pattern(c.lineBytes - name.size() - 4));
        }
        const std::string path = FreshPath("headers");
        Put(path, route);
        const Fetch f = GetPath(path);
        // Whatever libcurl decides, the contract holds: a completed transfer returns the body
        // whole with its status; a refused one leaves the body alone and says why.
        if (f.ok) {
            EXPECT_EQ(f.status, 200) << c.name;
            EXPECT_EQ(f.body, route.body) << c.name;
        } else {
            EXPECT_EQ(f.body, kBodySentinel) << c.name;
            EXPECT_FALSE(f.error.empty()) << c.name;
            EXPECT_NE(f.error, kErrorSentinel) << c.name;
        }
        EXPECT_LT(f.seconds, kUpperBoundSeconds) << c.name;
        std::printf("[ headers ] %s: %s%s (%.2f s)\n", c.name, f.ok ? "completed, HTTP " : "failed: ",
                    f.ok ? std::to_string(f.status).c_str() : f.error.c_str(), f.seconds);
    }
}

// --- HTTP/1.0 without a length -------------------------------------------------------------------

TEST_F(HostileServerTest, Http10BodyWithoutLengthIsReadUntilTheClose) {
    struct Case {
        const char* name;
        std::size_t size;
        std::size_t piece;
        bool accepted;
    };
    const Case cases[] = {
        {"300 bytes in one piece", 300, 300, true},
        {"60000 bytes in 7000-byte pieces", 60000, 7000, true},
        {"65536 bytes: the cap, accepted", 65536, 4096, true},
        {"65537 bytes: one over, refused", 65537, 4096, false},
    };
    for (const Case& c : cases) {
        const std::string body = Pattern(c.size);
        const std::string path = FreshPath("http10");
        PutJson(path, R"({"http_version": "HTTP/1.0", "content_length": false, "chunk_sizes": [)" +
                          std::to_string(c.piece) + R"(], "body": )" + Quoted(body) + "}");
        const Fetch f = GetPath(path);
        EXPECT_EQ(f.ok, c.accepted) << c.name << ": " << f.error;
        if (c.accepted) {
            EXPECT_EQ(f.status, 200) << c.name;
            EXPECT_EQ(f.body, body) << c.name;
        } else {
            EXPECT_EQ(f.error, kTooLarge) << c.name;
            EXPECT_EQ(f.body, kBodySentinel) << c.name;
        }
        EXPECT_LT(f.seconds, kUpperBoundSeconds) << c.name;
    }
}

TEST_F(HostileServerTest, Http10KeyDocumentWithoutLengthVerifies) {
    const quorvel_test::TestKey key = job_test::UniqueKey("http10-job");
    PutJson(job_test::KeyPath(key),
            R"({"http_version": "HTTP/1.0", "content_length": false, "chunk_sizes": [17], "body": )" +
                Quoted(job_test::KeyDocument(key, "active", "served by an old server")) + "}");
    double seconds = 0;
    const VerificationOutcome outcome = Run(SignedFile(key, "http10.exe"), &seconds);
    EXPECT_EQ(outcome.statusText, u"Quorvel: verified");
    EXPECT_EQ(outcome.descriptionText, u"served by an old server");
    EXPECT_EQ(outcome.kind, OutcomeKind::Verified);
    EXPECT_LT(seconds, kUpperBoundSeconds);
}

// --- redirects are answers, never followed -------------------------------------------------------

TEST_F(HostileServerTest, RedirectLoopIsReturnedNotFollowed) {
    struct Case {
        const char* name;
        int status;
        bool toItself;
    };
    const Case cases[] = {
        {"301 to itself", 301, true},
        {"302 to a second path that redirects back", 302, false},
        {"307 to a second path that redirects back", 307, false},
        {"308 to itself", 308, true},
    };
    for (const Case& c : cases) {
        const std::string first = FreshPath("redirect-a");
        const std::string second = FreshPath("redirect-b");
        Route there;
        there.status = c.status;
        there.body = "moved";
        there.location = Server().Url(Listener::Trusted, c.toItself ? first : second);
        Put(first, there);
        Route back;
        back.status = c.status;
        back.body = "moved back";
        back.location = Server().Url(Listener::Trusted, first);
        Put(second, back);

        const Fetch f = GetPath(first);
        EXPECT_TRUE(f.ok) << c.name << ": " << f.error;
        EXPECT_EQ(f.status, c.status) << c.name;
        EXPECT_EQ(f.body, "moved") << c.name;
        EXPECT_EQ(Server().RequestsFor(first).size(), 1u) << c.name;
        EXPECT_EQ(Server().RequestsFor(second).size(), 0u) << c.name << ": Location was requested";
        EXPECT_LT(f.seconds, kUpperBoundSeconds) << c.name;
    }
}

TEST_F(HostileServerTest, RedirectedKeyDocumentEndsTheJobWithTheStatusNumber) {
    const quorvel_test::TestKey key = job_test::UniqueKey("redirect-job");
    const std::string elsewhere = FreshPath("redirect-target");
    Route target;
    target.body = job_test::KeyDocument(key, "active", "must not be fetched");
    Put(elsewhere, target);
    Route route;
    route.status = 302;
    route.location = Server().Url(Listener::Trusted, elsewhere);
    Put(job_test::KeyPath(key), route);
    double seconds = 0;
    const VerificationOutcome outcome = Run(SignedFile(key, "redirect.exe"), &seconds);
    EXPECT_EQ(outcome.statusText, u"Quorvel: key fetch failed (HTTP 302)");
    EXPECT_EQ(outcome.resultText, u"The signing key server returned an unexpected response.");
    EXPECT_EQ(outcome.descriptionText, u"");
    EXPECT_EQ(outcome.kind, OutcomeKind::Failed);
    EXPECT_EQ(Server().RequestsFor(elsewhere).size(), 0u);
    EXPECT_EQ(Server().RequestsFor(job_test::KeyPath(key)).size(), 1u);
}

// --- a compressed body nobody asked for ----------------------------------------------------------

TEST_F(HostileServerTest, GzipBodyNeverAskedForArrivesAsItsRawBytes) {
    const quorvel_test::TestKey key = job_test::UniqueKey("gzip");
    const std::string document = job_test::KeyDocument(key, "active", "compressed");
    const quorvel_test::Bytes gzip = hardening::Gzip(document);
    ASSERT_GT(gzip.size(), 18u);
    Route route;
    route.body.assign(gzip.begin(), gzip.end());
    route.headers = {{"Content-Encoding", "gzip"}, {"Vary", "Accept-Encoding"}};
    const std::string path = FreshPath("gzip");
    Put(path, route);

    const Fetch f = GetPath(path);
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(f.status, 200);
    EXPECT_EQ(f.body, route.body) << "the body must be the bytes sent, not inflated";
    // The bytes are a real gzip member of the document: a client that inflated would have
    // got the document.
    std::string inflated;
    ASSERT_TRUE(hardening::Gunzip(f.body, &inflated));
    EXPECT_EQ(inflated, document);

    const std::vector<keyserver::LoggedRequest> requests = Server().RequestsFor(path);
    ASSERT_EQ(requests.size(), 1u);
    for (const auto& [name, value] : requests[0].headers) {
        std::string lower = name;
        for (char& ch : lower) {
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        }
        EXPECT_NE(lower, "accept-encoding") << "the request asked for " << value;
    }

    Bytes32 publicKey{};
    std::string error;
    EXPECT_FALSE(ParseKeyDocument(f.body, job_test::KeyIdText(key), publicKey, nullptr, nullptr,
                                  &error));
    EXPECT_EQ(error, "invalid JSON");
}

TEST_F(HostileServerTest, GzipKeyDocumentEndsTheJobAsInvalidJson) {
    const quorvel_test::TestKey key = job_test::UniqueKey("gzip-job");
    const quorvel_test::Bytes gzip =
        hardening::Gzip(job_test::KeyDocument(key, "active", "compressed"));
    Route route;
    route.body.assign(gzip.begin(), gzip.end());
    route.headers = {{"Content-Encoding", "gzip"}};
    Put(job_test::KeyPath(key), route);
    double seconds = 0;
    const VerificationOutcome outcome = Run(SignedFile(key, "gzip.exe"), &seconds);
    EXPECT_EQ(outcome.statusText, u"Quorvel: key response invalid (invalid JSON)");
    EXPECT_EQ(outcome.resultText, u"The signing key response is invalid.");
    EXPECT_EQ(outcome.descriptionText, u"");
    EXPECT_EQ(outcome.kind, OutcomeKind::Failed);
}

}  // namespace
