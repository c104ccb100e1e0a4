// The verification job end to end: real files, the real signature library and key client,
// and the loopback HTTPS key server of the CTest fixture.
#include "verification/verification_job.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <string>

#include "common/text_conversion.h"
#include "job_fixtures.h"
#include "keyclient/http_get.h"
#include "quorvel_test/bytes.h"

namespace {

using namespace std::chrono_literals;
using job_test::KeyDocument;
using job_test::KeyPath;
using job_test::U16;
using keyserver::Listener;
using quorvel_test::Bytes;
using quorvel_test::TestKey;

constexpr auto kRequestWait = 15s;

struct Expected {
    std::u16string status;
    std::u16string result;
    std::u16string domain;
    std::u16string description;
    OutcomeKind kind;
};

void ExpectOutcome(const VerificationOutcome& outcome, const Expected& expected) {
    EXPECT_EQ(outcome.statusText, expected.status);
    EXPECT_EQ(outcome.resultText, expected.result);
    EXPECT_EQ(outcome.domainText, expected.domain);
    EXPECT_EQ(outcome.descriptionText, expected.description);
    EXPECT_EQ(outcome.kind, expected.kind);
}

class VerificationJobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = job_test::OpenKeyServer();
        caFile_ = server_.CaFile();
        options_.extraCaFile = caFile_.c_str();
    }

    std::string TrustedDomain() const { return server_.Domain(Listener::Trusted); }

    std::u16string Write(std::string_view name, const Bytes& bytes) const {
        const std::string path = dir_.File(name);
        quorvel_test::WriteFile(path, bytes);
        return U16(path);
    }

    void Publish(const std::string& path, const keyserver::Route& route) const {
        std::string error;
        ASSERT_TRUE(server_.PutRoute(path, route, &error)) << error;
    }

    void PublishDocument(const TestKey& key, const std::string& body) const {
        keyserver::Route route;
        route.body = body;
        Publish(KeyPath(key), route);
    }

    VerificationOutcome Run(const std::u16string& path) const {
        return RunVerification(path, nullptr, &options_);
    }

    keyserver::Client server_;
    std::string caFile_;
    FetchOptions options_;
    job_test::TempDir dir_;
};

// --- Stage 0 and 1: reading the file ------------------------------------------------------

TEST_F(VerificationJobTest, ReadingStageCases) {
    const Expected unreadable{u"Quorvel: unable to read file", u"The file could not be read.",
                              u"(not available)", u"", OutcomeKind::Failed};
    const Expected notPe{u"Quorvel: not a PE file", u"The selected file is not a PE file.",
                         u"(not available)", u"", OutcomeKind::Failed};
    const Expected noSignature{u"Quorvel: no signature", u"No Quorvel signature was found.",
                               u"(not available)", u"", OutcomeKind::Failed};
    const Expected invalidPayload{u"Quorvel: invalid signature payload",
                                  u"The signature payload is invalid.", u"(not available)", u"",
                                  OutcomeKind::Failed};
    std::filesystem::create_directory(dir_.File("a-directory"));

    struct Row {
        const char* name;
        std::u16string path;
        const Expected& expected;
    };
    const Row rows[] = {
        {"missing file: the open fails", U16(dir_.File("missing.exe")), unreadable},
        {"directory", U16(dir_.File("a-directory")), unreadable},
        // sysfs reports 4096 bytes and delivers a few: the library's read ends early.
        {"shorter than its size", u"/sys/devices/system/cpu/online", unreadable},
        {"text file", Write("text.exe", quorvel_test::FromText("just some text\n")), notPe},
        {"empty file", Write("empty.exe", {}), notPe},
        {"PE without certificate table", Write("unsigned.exe", job_test::UnsignedPe()),
         noSignature},
        {"payload of the wrong length",
         Write("malformed.exe", job_test::PeWithMalformedPayload(TrustedDomain())), invalidPayload},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ExpectOutcome(Run(row.path), row.expected);
        EXPECT_EQ(ReadDomainPreview(row.path), u"(not available)");
    }
}

TEST_F(VerificationJobTest, EmptyPathIsNoFileSelected) {
    ExpectOutcome(Run(u""), {u"Quorvel: unavailable", u"No file selected.", u"(not available)", u"",
                             OutcomeKind::Neutral});
    EXPECT_EQ(ReadDomainPreview(u""), u"(not available)");
}

TEST_F(VerificationJobTest, PathWithNonAsciiCharactersIsOpened) {
    const TestKey key = job_test::UniqueKey("non-ascii-path");
    const std::u16string path = Write("sign\xc3\xa9-\xe6\x96\x87\xe4\xbb\xb6-\xf0\x9f\x94\x91.exe",
                                      job_test::SignedPe(key, TrustedDomain()));
    PublishDocument(key, KeyDocument(key, "active", "Path key"));
    ExpectOutcome(Run(path), {u"Quorvel: verified", u"The signature validated successfully.",
                              U16(TrustedDomain()), u"Path key", OutcomeKind::Verified});
}

TEST_F(VerificationJobTest, UnpairedSurrogateInPathIsUnreadable) {
    std::u16string path = U16(dir_.File("x"));
    path += u'\xD800';
    ExpectOutcome(Run(path), {u"Quorvel: unable to read file", u"The file could not be read.",
                              u"(not available)", u"", OutcomeKind::Failed});
}

// --- Stage 2: the key lookup --------------------------------------------------------------

TEST_F(VerificationJobTest, EmptyDomainIsMetadataIncompleteWithoutRequest) {
    const TestKey key = job_test::UniqueKey("empty-domain");
    const std::u16string path = Write("empty-domain.exe", job_test::SignedPe(key, ""));
    PublishDocument(key, KeyDocument(key, "active", nullptr));
    ExpectOutcome(Run(path),
                  {u"Quorvel: key response invalid", u"The embedded key metadata is incomplete.",
                   u"(not available)", u"", OutcomeKind::Failed});
    EXPECT_EQ(ReadDomainPreview(path), u"(not available)");
    EXPECT_TRUE(server_.RequestsFor(KeyPath(key)).empty());
}

TEST_F(VerificationJobTest, UnfetchableDomainsAreRefusedBeforeAnyConnection) {
    job_test::LoopbackListener listener;
    const std::string target = listener.Domain();  // where a careless fetch would go
    const char* const prefixes[] = {
        "trusted.example@",  // user info: the host becomes the listener
        "user:secret@",      // user info with a password
    };
    const std::string suffixes[] = {
        "/x?",  // path and query
        "#",    // fragment
        "\\x",  // backslash
        " ",    // space
        "%2F",  // percent escape
        "\t",   // control character
        ":0:",  // port followed by more
    };
    std::vector<std::string> domains;
    for (const char* prefix : prefixes) {
        domains.push_back(prefix + target);
    }
    for (const std::string& suffix : suffixes) {
        domains.push_back(target + suffix);
    }
    domains.push_back("[::1]%25lo@" + target);
    domains.push_back(
        "b\xc3\xbc"
        "cher.example@" +
        target);

    for (const std::string& domain : domains) {
        SCOPED_TRACE("domain \"" + domain + "\"");
        const TestKey key = job_test::UniqueKey("bad-domain");
        const std::u16string path = Write("bad-domain.exe", job_test::SignedPe(key, domain));
        ExpectOutcome(Run(path),
                      {u"Quorvel: invalid signature payload", u"The signature payload is invalid.",
                       U16(domain), u"", OutcomeKind::Failed});
        EXPECT_EQ(ReadDomainPreview(path), U16(domain));
    }
    std::this_thread::sleep_for(100ms);  // a connection would have been accepted by now
    EXPECT_EQ(listener.Connections(), 0U);

    // The same listener as a well-formed domain is contacted: the count above can move.
    const TestKey key = job_test::UniqueKey("good-domain");
    const std::u16string path = Write("good-domain.exe", job_test::SignedPe(key, target));
    listener.Release();
    const VerificationOutcome outcome = Run(path);
    EXPECT_EQ(outcome.resultText, u"Unable to fetch the signing key.");
    EXPECT_EQ(listener.Connections(), 1U);
}

TEST_F(VerificationJobTest, FetchFailedCarriesTheFetchErrorText) {
    const TestKey key = job_test::UniqueKey("untrusted");
    const std::string domain = server_.Domain(Listener::Untrusted);
    const std::u16string path = Write("untrusted.exe", job_test::SignedPe(key, domain));
    PublishDocument(key, KeyDocument(key, "active", "never read"));

    // The text the fetch itself gives for this server, whose certificate no one trusts.
    std::string body;
    long status = 0;
    std::string error;
    ASSERT_FALSE(
        HttpGet(server_.Url(Listener::Untrusted, KeyPath(key)), &body, &status, &error, &options_));
    ASSERT_FALSE(error.empty());

    ExpectOutcome(Run(path),
                  {u"Quorvel: key fetch failed (" + Widen(error) + u")",
                   u"Unable to fetch the signing key.", U16(domain), u"", OutcomeKind::Failed});
}

TEST_F(VerificationJobTest, FetchFailedOnClosedPort) {
    const TestKey key = job_test::UniqueKey("closed-port");
    const std::string domain = "127.0.0.1:" + std::to_string(job_test::ClosedPort());
    const std::u16string path = Write("closed.exe", job_test::SignedPe(key, domain));
    const VerificationOutcome outcome = Run(path);
    const std::u16string prefix = u"Quorvel: key fetch failed (";
    ASSERT_GT(outcome.statusText.size(), prefix.size() + 1) << "the error text is missing";
    EXPECT_EQ(outcome.statusText.substr(0, prefix.size()), prefix);
    EXPECT_EQ(outcome.statusText.back(), u')');
    EXPECT_NE(outcome.statusText.find(u"127.0.0.1"), std::u16string::npos)
        << "libcurl's own description names the host";
    EXPECT_EQ(outcome.resultText, u"Unable to fetch the signing key.");
    EXPECT_EQ(outcome.domainText, U16(domain));
    EXPECT_EQ(outcome.kind, OutcomeKind::Failed);
}

TEST_F(VerificationJobTest, NonAsciiDomainShowsTheSameTextInPreviewAndOutcome) {
    const TestKey key = job_test::UniqueKey("non-ascii-domain");
    const std::string domain =
        "b\xc3\xbc"
        "cher-\xe4\xbe\x8b.localhost:" +
        std::to_string(job_test::ClosedPort());
    const std::u16string path = Write("idn.exe", job_test::SignedPe(key, domain));
    const std::u16string expected =
        u"b\u00fccher-\u4f8b.localhost:" + U16(domain.substr(domain.rfind(':') + 1));
    EXPECT_EQ(ReadDomainPreview(path), expected);
    const VerificationOutcome outcome = Run(path);
    EXPECT_EQ(outcome.domainText, expected);
    EXPECT_EQ(outcome.resultText, u"Unable to fetch the signing key.");
}

TEST_F(VerificationJobTest, UnexpectedHttpStatuses) {
    struct Row {
        int status;
        bool publish;  // false: the server has no route and answers 404
        std::u16string statusLine;
    };
    const Row rows[] = {
        {301, true, u"Quorvel: key fetch failed (HTTP 301)"},
        {302, true, u"Quorvel: key fetch failed (HTTP 302)"},
        {204, true, u"Quorvel: key fetch failed (HTTP 204)"},
        {201, true, u"Quorvel: key fetch failed (HTTP 201)"},
        {404, false, u"Quorvel: key fetch failed (HTTP 404)"},
        {500, true, u"Quorvel: key fetch failed (HTTP 500)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        const TestKey key = job_test::UniqueKey("http-status");
        const std::u16string path = Write("status.exe", job_test::SignedPe(key, TrustedDomain()));
        if (row.publish) {
            keyserver::Route route;
            route.status = row.status;
            route.body = row.status == 204 ? "" : KeyDocument(key, "active", "ignored");
            if (row.status / 100 == 3) {
                route.location = server_.Url(Listener::Trusted, "/elsewhere");
            }
            Publish(KeyPath(key), route);
        }
        ExpectOutcome(Run(path),
                      {row.statusLine, u"The signing key server returned an unexpected response.",
                       U16(TrustedDomain()), u"", OutcomeKind::Failed});
        EXPECT_EQ(server_.RequestsFor(KeyPath(key)).size(), 1U) << "one request, no redirect";
    }
}

TEST_F(VerificationJobTest, KeyResponseInvalidCarriesTheParserMessage) {
    const TestKey key = job_test::UniqueKey("kid-mismatch");
    const TestKey other = job_test::UniqueKey("kid-mismatch-other");
    struct Row {
        const char* message;
        std::string body;
    };
    const Row rows[] = {
        {"kid mismatch",
         KeyDocument(key.public_key, job_test::KeyIdText(other), "active", "Wrong kid")},
        {"invalid JSON", "not json"},
        {"invalid status state", KeyDocument(key, "Active", nullptr)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        PublishDocument(key, row.body);
        const std::u16string path = Write("kid.exe", job_test::SignedPe(key, TrustedDomain()));
        ExpectOutcome(Run(path), {u"Quorvel: key response invalid (" + Widen(row.message) + u")",
                                  u"The signing key response is invalid.", U16(TrustedDomain()),
                                  u"", OutcomeKind::Failed});
    }
}

// --- Stage 3: verifying -----------------------------------------------------------------

TEST_F(VerificationJobTest, VerifiedWithAndWithoutDescription) {
    struct Row {
        const char* name;
        const char* description;
        std::u16string expected;
    };
    const Row rows[] = {
        {"description", "Release signing key 2026 & co", u"Release signing key 2026 & co"},
        {"non-ASCII description", "Schl\xc3\xbcssel \xe2\x9c\x93", u"Schl\u00fcssel \u2713"},
        {"no description", nullptr, u""},
        {"empty description", "", u""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const TestKey key = job_test::UniqueKey("verified");
        const std::u16string path = Write("good.exe", job_test::SignedPe(key, TrustedDomain()));
        PublishDocument(key, KeyDocument(key, "active", row.description));
        EXPECT_EQ(ReadDomainPreview(path), U16(TrustedDomain()));
        ExpectOutcome(Run(path), {u"Quorvel: verified", u"The signature validated successfully.",
                                  U16(TrustedDomain()), row.expected, OutcomeKind::Verified});
    }
}

TEST_F(VerificationJobTest, TamperedFileIsSignatureInvalidWithDescription) {
    const TestKey key = job_test::UniqueKey("tampered");
    const std::u16string path =
        Write("tampered.exe", job_test::Tampered(job_test::SignedPe(key, TrustedDomain())));
    PublishDocument(key, KeyDocument(key, "active", "Still shown"));
    ExpectOutcome(Run(path), {u"Quorvel: signature invalid",
                              u"The signature does not match the file contents.",
                              U16(TrustedDomain()), u"Still shown", OutcomeKind::Failed});
}

TEST_F(VerificationJobTest, RevokedKeyCountsOnlyAfterTheSignatureVerified) {
    const TestKey key = job_test::UniqueKey("revoked");
    PublishDocument(key, KeyDocument(key, "revoked", "Old key"));
    const std::u16string good = Write("good.exe", job_test::SignedPe(key, TrustedDomain()));
    const std::u16string bad =
        Write("bad.exe", job_test::Tampered(job_test::SignedPe(key, TrustedDomain())));
    ExpectOutcome(Run(good), {u"Quorvel: revoked", u"The signing key is revoked.",
                              U16(TrustedDomain()), u"Old key", OutcomeKind::Failed});
    ExpectOutcome(Run(bad), {u"Quorvel: signature invalid",
                             u"The signature does not match the file contents.",
                             U16(TrustedDomain()), u"Old key", OutcomeKind::Failed});
}

TEST_F(VerificationJobTest, KeyWhoseThumbprintIsNotTheKeyIdIsVerificationFailed) {
    const TestKey named = job_test::UniqueKey("thumbprint-named");
    const TestKey signer = job_test::UniqueKey("thumbprint-signer");
    const std::u16string path =
        Write("mismatch.exe", job_test::SignedPeNamingOtherKey(signer, named, TrustedDomain()));
    // The document at the named key's path names that key's id but publishes the signer's key:
    // the kid texts match, the thumbprint of x does not.
    PublishDocument(
        named, KeyDocument(signer.public_key, job_test::KeyIdText(named), "active", "Swapped key"));
    ExpectOutcome(Run(path), {u"Quorvel: verification failed", u"Validation failed.",
                              U16(TrustedDomain()), u"Swapped key", OutcomeKind::Failed});
}

// While the server holds its answer back, the test changes the file; the second read judges
// what the file holds then, and the domain and description of the lookup stay.
TEST_F(VerificationJobTest, FileChangedBetweenTheTwoReads) {
    struct Row {
        const char* name;
        bool remove;
        Bytes replacement;
        Expected expected;
    };
    const std::u16string domain = U16(TrustedDomain());
    const Row rows[] = {
        {"deleted",
         true,
         {},
         {u"Quorvel: unable to read file", u"The file could not be read.", domain, u"Slow key",
          OutcomeKind::Failed}},
        {"replaced by text",
         false,
         quorvel_test::FromText("no longer a PE file"),
         {u"Quorvel: not a PE file", u"The selected file is not a PE file.", domain, u"Slow key",
          OutcomeKind::Failed}},
        {"replaced by a malformed payload",
         false,
         job_test::PeWithMalformedPayload(TrustedDomain()),
         {u"Quorvel: invalid signature payload", u"The signature payload is invalid.", domain,
          u"Slow key", OutcomeKind::Failed}},
        {"signature removed",
         false,
         job_test::UnsignedPe(),
         {u"Quorvel: no signature", u"No signature was found during validation.", domain,
          u"Slow key", OutcomeKind::Failed}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const TestKey key = job_test::UniqueKey("changed");
        const std::string file = dir_.File("changing.exe");
        quorvel_test::WriteFile(file, job_test::SignedPe(key, TrustedDomain()));
        keyserver::Route route;
        route.body = KeyDocument(key, "active", "Slow key");
        route.headersDelayMs = 2000;
        Publish(KeyPath(key), route);

        auto job = std::async(std::launch::async, [&] { return Run(U16(file)); });
        ASSERT_TRUE(job_test::WaitForRequest(server_, KeyPath(key), kRequestWait));
        if (row.remove) {
            std::filesystem::remove(file);
        } else {
            quorvel_test::WriteFile(file, row.replacement);
        }
        ExpectOutcome(job.get(), row.expected);
    }
}

// --- Cancellation -------------------------------------------------------------------------

TEST_F(VerificationJobTest, CancelledDuringAFailingFetchEmptiesEverything) {
    for (const bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "cancelled" : "not cancelled");
        job_test::LoopbackListener listener;
        const TestKey key = job_test::UniqueKey("cancel");
        const std::u16string path = Write("cancel.exe", job_test::SignedPe(key, listener.Domain()));
        std::atomic<std::uint8_t> cancelled{0};
        auto job = std::async(std::launch::async,
                              [&] { return RunVerification(path, &cancelled, &options_); });
        ASSERT_TRUE(job_test::WaitUntil([&] { return listener.Connections() == 1; }, kRequestWait));
        if (cancel) {
            cancelled.exchange(1);
        }
        listener.Release();
        const VerificationOutcome outcome = job.get();
        if (cancel) {
            ExpectOutcome(outcome, {u"", u"", u"", u"", OutcomeKind::Neutral});
        } else {
            EXPECT_EQ(outcome.resultText, u"Unable to fetch the signing key.");
            EXPECT_EQ(outcome.domainText, U16(listener.Domain()));
        }
    }
}

TEST_F(VerificationJobTest, CancelledAfterASuccessfulFetchRunsToTheEnd) {
    const TestKey key = job_test::UniqueKey("cancel-late");
    const std::u16string path = Write("late.exe", job_test::SignedPe(key, TrustedDomain()));
    PublishDocument(key, KeyDocument(key, "active", nullptr));
    const std::atomic<std::uint8_t> cancelled{1};
    const VerificationOutcome outcome = RunVerification(path, &cancelled, &options_);
    EXPECT_EQ(outcome.statusText, u"Quorvel: verified");
}

}  // namespace
