// A soak: 10,000 verifications in one process against the loopback key server, cycling through
// ten files whose outcomes differ, with the resident set size read after 1,000 and after
// 10,000. Memory must stay flat: whatever a verification allocates, it gives back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hardening_support.h"
#include "job_fixtures.h"
#include "keyserver/keyserver_client.h"
#include "quorvel_test/bytes.h"
#include "quorvel_test/signing.h"
#include "verification/verification_job.h"

namespace {

using keyserver::Listener;
using keyserver::Route;
using quorvel_test::TestKey;

constexpr long kMaxGrowthKiB = 8 * 1024;

// QUORVEL_SOAK_RUNS overrides the number of verifications (at least 2,000).
long Runs() {
    const char* text = std::getenv("QUORVEL_SOAK_RUNS");
    const long runs = text != nullptr ? std::strtol(text, nullptr, 10) : 10000;
    return runs >= 2000 ? runs : 10000;
}

struct SoakFile {
    const char* name;
    std::u16string path;
    std::u16string status;  // the status line every run of this file must end with
    bool statusIsPrefix = false;  // status is only the start (the rest is libcurl's text)
};

TEST(Soak, TenThousandVerificationsKeepMemoryFlat) {
    keyserver::Client server = job_test::OpenKeyServer();
    ASSERT_FALSE(server.StateDir().empty());
    const std::string domain = server.Domain(Listener::Trusted);
    job_test::TempDir dir;
    std::string error;

    auto put = [&](const std::string& path, const std::string& body) {
        Route route;
        route.body = body;
        ASSERT_TRUE(server.PutRoute(path, route, &error)) << error;
    };
    auto write = [&](const char* name, const quorvel_test::Bytes& bytes) {
        const std::string path = dir.File(name);
        quorvel_test::WriteFile(path, bytes);
        return job_test::U16(path);
    };

    const TestKey good = job_test::UniqueKey("soak-good");
    const TestKey absent = job_test::UniqueKey("soak-absent");
    const TestKey mismatched = job_test::UniqueKey("soak-kid");
    const TestKey revoked = job_test::UniqueKey("soak-revoked");
    const TestKey signer = job_test::UniqueKey("soak-signer");
    const TestKey named = job_test::UniqueKey("soak-named");
    const TestKey garbled = job_test::UniqueKey("soak-garbled");

    put(job_test::KeyPath(good), job_test::KeyDocument(good, "active", "soak key"));
    put(job_test::KeyPath(mismatched),
        job_test::KeyDocument(mismatched.public_key, job_test::KeyIdText(good), "active", nullptr));
    put(job_test::KeyPath(revoked), job_test::KeyDocument(revoked, "revoked", "old key"));
    put(job_test::KeyPath(named),
        job_test::KeyDocument(signer.public_key, job_test::KeyIdText(named), "active", nullptr));
    put(job_test::KeyPath(garbled), "this is not JSON");

    const std::string refused = "127.0.0.1:" + std::to_string(server.Port(Listener::Closed));
    std::vector<SoakFile> files = {
        {"verified", write("verified.exe", job_test::SignedPe(good, domain)),
         u"Quorvel: verified"},
        {"signature invalid", write("tampered.exe", job_test::Tampered(job_test::SignedPe(good, domain))),
         u"Quorvel: signature invalid"},
        {"404", write("absent.exe", job_test::SignedPe(absent, domain)),
         u"Quorvel: key fetch failed (HTTP 404)"},
        {"no signature", write("unsigned.exe", job_test::UnsignedPe()), u"Quorvel: no signature"},
        {"kid mismatch", write("kid.exe", job_test::SignedPe(mismatched, domain)),
         u"Quorvel: key response invalid (kid mismatch)"},
        {"revoked", write("revoked.exe", job_test::SignedPe(revoked, domain)), u"Quorvel: revoked"},
        {"not a PE file", write("text.exe", quorvel_test::FromText("plain text, not a program")),
         u"Quorvel: not a PE file"},
        {"key id of another key",
         write("other.exe", job_test::SignedPeNamingOtherKey(signer, named, domain)),
         u"Quorvel: verification failed"},
        {"invalid JSON", write("garbled.exe", job_test::SignedPe(garbled, domain)),
         u"Quorvel: key response invalid (invalid JSON)"},
        {"connection refused", write("refused.exe", job_test::SignedPe(good, refused)),
         u"Quorvel: key fetch failed (", true},
    };

    FetchOptions options;
    const std::string ca = server.CaFile();
    options.extraCaFile = ca.c_str();

    const long runs = Runs();
    long wrong = 0;
    std::string firstWrong;
    long rssAt1000 = -1;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < runs; ++i) {
        const SoakFile& file = files[static_cast<std::size_t>(i) % files.size()];
        const VerificationOutcome outcome = RunVerification(file.path, nullptr, &options);
        const bool right = file.statusIsPrefix ? outcome.statusText.rfind(file.status, 0) == 0
                                               : outcome.statusText == file.status;
        if (!right && wrong++ == 0) {
            firstWrong = std::string(file.name) + " at run " + std::to_string(i);
        }
        if (i + 1 == 1000) {
            rssAt1000 = hardening::ProcStatusField("VmRSS");
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long rssAtEnd = hardening::ProcStatusField("VmRSS");

    std::printf("[ soak ] %ld verifications in %.1f s; VmRSS after 1000: %ld kB, after %ld: %ld kB "
                "(growth %ld kB)\n",
                runs, seconds, rssAt1000, runs, rssAtEnd, rssAtEnd - rssAt1000);
    EXPECT_EQ(wrong, 0) << "first wrong outcome: " << firstWrong;
    ASSERT_GT(rssAt1000, 0);
    ASSERT_GT(rssAtEnd, 0);
    EXPECT_LT(rssAtEnd - rssAt1000, kMaxGrowthKiB) << "memory grew between run 1000 and run " << runs;
}

}  // namespace
