// quorvel-verify as a release pipeline runs it: the built executable on batches of real files,
// the loopback key server's request log as the witness of every connection. The expected lines
// come from the report's formatters (checked on their own) and the outcome cases. Each run is
// bounded by `timeout`, so a run that blocks fails instead of hanging the suite.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "job_fixtures.h"
#include "quorvel/quorvel.h"
#include "report.h"
#include "verification/outcome_texts.h"

namespace {

using job_test::KeyPath;
using job_test::U16;
using keyserver::Listener;
using quorvel_test::TestKey;
using Texts = std::vector<std::string>;

struct RunResult {
    int exitCode = -1;  // -1: killed, by the time limit or otherwise
    std::string out;    // stdout and stderr
};

// The arguments are test paths, domains and options: none holds a quote.
RunResult Verify(const Texts& arguments, const std::string& shellPrefix = "") {
    std::string command = shellPrefix + "timeout -s KILL 60 '" QUORVEL_VERIFY_EXECUTABLE "'";
    for (const std::string& argument : arguments) command += " '" + argument + "'";
    RunResult run;
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        run.out.append(buffer, n);
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    run.exitCode = WIFEXITED(status) && WEXITSTATUS(status) != 137 ? WEXITSTATUS(status) : -1;
    return run;
}

// What the report prints for file when the job ends in the case that set applies.
template <typename Set>
std::string Json(const std::string& file, const std::string& domain, const char* description,
                 Set set) {
    VerificationOutcome outcome{u"", u"", U16(domain), U16(description), OutcomeKind::Neutral};
    set(outcome);
    return FormatOutcomeJson(file, outcome) + "\n";
}
auto Is(OutcomeCase c) {
    return [c](VerificationOutcome& o) { SetOutcomeCase(o, c); };
}

class QuorvelVerify : public ::testing::Test {
  protected:
    // A file signed by a fresh key for domain; published: the server serves its key document.
    std::string SignedFile(const std::string& name, const std::string& domain, bool published,
                           TestKey& key, int delayMs = 0) {
        key = job_test::UniqueKey("cli");
        keyserver::Route route;
        route.body = job_test::KeyDocument(key, "active", "Release key");
        route.headersDelayMs = delayMs;
        std::string error;
        EXPECT_TRUE(!published || server_.PutRoute(KeyPath(key), route, &error)) << error;
        quorvel_test::WriteFile(dir_.File(name), job_test::SignedPe(key, domain));
        return dir_.File(name);
    }
    std::size_t Requests(const TestKey& key) const {
        return server_.RequestsFor(KeyPath(key)).size();
    }

    keyserver::Client server_ = job_test::OpenKeyServer();
    std::string ip_ = server_.Domain(Listener::Trusted);  // 127.0.0.1:PORT
    std::string localhost_ = "localhost:" + std::to_string(server_.Port(Listener::Trusted));
    job_test::TempDir dir_;
};

// 200 files of one key: one request; an address that answers 404: one request for its three
// files; a signer that is not required: none. Lines in input order though the first answers last.
TEST_F(QuorvelVerify, OneRequestPerAddressNoRetryNoneForAnUnexpectedSignerInInputOrder) {
    TestKey slow, published, unpublished, other;
    Texts arguments = {"--json", "--jobs=8", "--ca-file=" + server_.CaFile(),
                       "--require-domain=LOCALHOST" + localhost_.substr(9)};  // LOCALHOST:PORT
    arguments.push_back(SignedFile("slow.exe", localhost_, true, slow, 1000));
    const std::string signedFile = SignedFile("a.exe", localhost_, true, published);
    const std::string unpublishedFile = SignedFile("b.exe", localhost_, false, unpublished);
    const std::string otherFile = SignedFile("c.exe", ip_, true, other);
    arguments.insert(arguments.end(), 200, signedFile);
    arguments.insert(arguments.end(), 3, unpublishedFile);
    arguments.push_back(otherFile);

    const RunResult run = Verify(arguments);
    EXPECT_EQ(run.exitCode, 1);
    std::string expected = Json(arguments[4], localhost_, "Release key", Is(OutcomeCase::Verified));
    for (int i = 0; i < 200; ++i)
        expected += Json(signedFile, localhost_, "Release key", Is(OutcomeCase::Verified));
    for (int i = 0; i < 3; ++i) {
        expected += Json(unpublishedFile, localhost_, "",
                         [](VerificationOutcome& o) { SetUnexpectedHttpStatus(o, 404); });
    }
    expected +=
        Json(otherFile, ip_, "", [&](VerificationOutcome& o) { SetUnexpectedDomain(o, U16(ip_)); });
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(Requests(published), 1U);
    EXPECT_EQ(Requests(unpublished), 1U) << "a failed fetch is kept, not tried again";
    EXPECT_EQ(Requests(other), 0U);
}

TEST_F(QuorvelVerify, OfflineUsesOnlySavedDocumentsAndNothingBlocks) {
    TestKey saved, online;
    const std::string savedFile = SignedFile("saved.exe", ip_, false, saved);
    const std::string onlineFile = SignedFile("online.exe", ip_, true, online);
    const std::string document = dir_.File("saved.json");
    quorvel_test::WriteFile(document,
                            quorvel_test::FromText(job_test::KeyDocument(saved, "active", "")));
    const std::string fifo = dir_.File("pipe.exe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string documentOption = "--key-document=" + ip_ + "=" + document;

    const RunResult run =
        Verify({"--json", "--offline", documentOption, savedFile, onlineFile, fifo});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, Json(savedFile, ip_, "", Is(OutcomeCase::Verified)) +
                           Json(onlineFile, ip_, "", Is(OutcomeCase::KeyNotAvailableOffline)) +
                           Json(fifo, "", "", Is(OutcomeCase::FileUnreadable)));
    EXPECT_EQ(Requests(online), 0U) << "--offline connects nowhere";
    EXPECT_EQ(Verify({"--key-document", ip_ + "=" + fifo, savedFile}).exitCode, 2);

    // Saved documents are each read and closed: with few descriptors, many still work.
    Texts many = {"--offline", savedFile};
    many.insert(many.end(), 24, documentOption);
    const RunResult text = Verify(many, "ulimit -n 16; ");
    EXPECT_EQ(text.exitCode, 0) << text.out;
    EXPECT_EQ(text.out, FormatOutcomeText(savedFile, {u"Quorvel: verified",
                                                      u"The signature validated successfully.",
                                                      U16(ip_), u"", OutcomeKind::Verified}));

    const RunResult info = Verify({"--info", "--json", "--jobs", "2", fifo, savedFile});
    EXPECT_EQ(info.exitCode, 1);
    EXPECT_EQ(info.out,
              FormatInfoJson(fifo, {true, QUORVEL_ERR_READ, "", ""}) + "\n" +
                  FormatInfoJson(savedFile, {true, QUORVEL_OK, ip_, job_test::KeyIdText(saved)}) +
                  "\n");
    EXPECT_EQ(Verify({"--info", savedFile}).out,
              FormatInfoText(savedFile, {true, QUORVEL_OK, ip_, job_test::KeyIdText(saved)}));
}

TEST_F(QuorvelVerify, UsageHelpAndVersion) {
    const RunResult error = Verify({"--jobs", "0", "a.exe"});
    EXPECT_EQ(error.exitCode, 2);
    EXPECT_EQ(error.out.rfind("quorvel-verify: --jobs needs", 0), 0U) << error.out;
    const RunResult help = Verify({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage:\n  quorvel-verify [--json]", 0), 0U) << help.out;
    const RunResult version = Verify({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(
        std::regex_match(version.out, std::regex("quorvel-verify 0\\.0\\.1\\.0\n"
                                                 "libsodium [0-9]+\\.[0-9.]+\n"
                                                 "libcurl [0-9]+\\.[0-9.]+ \\(OpenSSL/[0-9.]+\\)\n"
                                                 "RapidJSON 1\\.1\\.0\n")))
        << version.out;
}

}  // namespace
