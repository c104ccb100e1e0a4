// quorvel-verify in a release pipeline: the built executable on batches of real files, with the
// loopback key server's request log as the witness of every connection. Each run is bounded
// by `timeout`, so a run that blocks fails instead of hanging the suite.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "job_fixtures.h"

#ifndef QUORVEL_VERIFY_EXECUTABLE
#error "QUORVEL_VERIFY_EXECUTABLE must name the built quorvel-verify"
#endif

namespace {

using job_test::KeyPath;
using keyserver::Listener;
using quorvel_test::TestKey;
using Texts = std::vector<std::string>;

struct RunResult {
    int exitCode = -1;  // -1: killed, by the time limit or otherwise
    std::string out;    // stdout and stderr
    Texts lines;
};

// The arguments are test paths, domains and options: none holds a quote.
RunResult Verify(const Texts& arguments) {
    std::string command = "timeout -s KILL 60 '" QUORVEL_VERIFY_EXECUTABLE "'";
    for (const std::string& argument : arguments) {
        command += " '" + argument + "'";
    }
    RunResult run;
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        run.out.append(buffer, n);
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    run.exitCode = WIFEXITED(status) && WEXITSTATUS(status) != 137 ? WEXITSTATUS(status) : -1;
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);) {
        run.lines.push_back(line);
    }
    return run;
}

// One line of --json output: the members in their order, the last one named last.
std::string JsonLine(const std::string& file, const char* kind, const std::string& status,
                     const std::string& result, const std::string& domain, const char* last,
                     const std::string& lastValue) {
    return R"({"file":")" + file + R"(","kind":")" + kind + R"(","status":")" + status +
           R"(","result":")" + result + R"(","domain":")" + domain + R"(",")" + last + R"(":")" +
           lastValue + R"("})";
}

class PipelineRun : public ::testing::Test {
  protected:
    // A file signed by a fresh key for domain; published: the server serves its key document.
    std::string SignedFile(const std::string& name, const std::string& domain, bool published,
                           TestKey& key) {
        key = job_test::UniqueKey("pipeline");
        keyserver::Route route;
        route.body = job_test::KeyDocument(key, "active", "Release key");
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

TEST_F(PipelineRun, OneRequestPerAddressNoRetryAndNoneForAnUnexpectedSigner) {
    TestKey published, unpublished, other;
    Texts arguments = {"--json", "--jobs=8", "--ca-file=" + server_.CaFile(),
                       "--require-domain=LOCALHOST" + localhost_.substr(9)};  // LOCALHOST:PORT
    const std::string signedFile = SignedFile("a.exe", localhost_, true, published);
    const std::string unpublishedFile = SignedFile("b.exe", localhost_, false, unpublished);
    const std::string otherFile = SignedFile("c.exe", ip_, true, other);
    arguments.insert(arguments.end(), 200, signedFile);
    arguments.insert(arguments.end(), 3, unpublishedFile);
    arguments.push_back(otherFile);

    const RunResult run = Verify(arguments);
    EXPECT_EQ(run.exitCode, 1);
    Texts expected(200, JsonLine(signedFile, "verified", "Quorvel: verified",
                                 "The signature validated successfully.", localhost_, "description",
                                 "Release key"));
    expected.insert(expected.end(), 3,
                    JsonLine(unpublishedFile, "failed", "Quorvel: key fetch failed (HTTP 404)",
                             "The signing key server returned an unexpected response.", localhost_,
                             "description", ""));  // no route: 404
    expected.push_back(
        JsonLine(otherFile, "failed", "Quorvel: unexpected signer (" + ip_ + ")",
                 "The file is signed by " + ip_ + ", which is not a required domain.", ip_,
                 "description", ""));
    EXPECT_EQ(run.lines, expected) << run.out;
    EXPECT_EQ(Requests(published), 1U);
    EXPECT_EQ(Requests(unpublished), 1U) << "a failed fetch is kept, not tried again";
    EXPECT_EQ(Requests(other), 0U);
}

TEST_F(PipelineRun, OfflineUsesOnlySavedDocumentsAndNothingBlocks) {
    TestKey saved, online;
    const std::string savedFile = SignedFile("saved.exe", ip_, false, saved);
    const std::string onlineFile = SignedFile("online.exe", ip_, true, online);
    const std::string document = dir_.File("saved.json");
    quorvel_test::WriteFile(document,
                            quorvel_test::FromText(job_test::KeyDocument(saved, "active", "")));
    const std::string fifo = dir_.File("pipe.exe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    const RunResult run = Verify({"--json", "--offline", "--key-document", ip_ + "=" + document,
                                  savedFile, onlineFile, fifo});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(
        run.lines,
        (Texts{JsonLine(savedFile, "verified", "Quorvel: verified",
                        "The signature validated successfully.", ip_, "description", ""),
               JsonLine(onlineFile, "failed", "Quorvel: key document not available offline",
                        "No key document was given for this domain and key, and fetching "
                        "is turned off.",
                        ip_, "description", ""),
               JsonLine(fifo, "failed", "Quorvel: unable to read file",
                        "The file could not be read.", "(not available)", "description", "")}))
        << run.out;
    EXPECT_EQ(Requests(online), 0U);
    EXPECT_EQ(Verify({"--key-document", ip_ + "=" + fifo, savedFile}).exitCode, 2);

    const RunResult info = Verify({"--info", "--json", "--jobs", "2", fifo, savedFile});
    EXPECT_EQ(info.exitCode, 1);
    EXPECT_EQ(info.lines,
              (Texts{JsonLine(fifo, "failed", "Quorvel: unable to read file",
                              "The file could not be read.", "", "key_id", ""),
                     JsonLine(savedFile, "neutral", "Quorvel: payload read",
                              "The signature payload was read; the signature was not verified.",
                              ip_, "key_id", job_test::KeyIdText(saved))}));
}

TEST_F(PipelineRun, VersionNamesTheLibraries) {
    const RunResult run = Verify({"--version"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(
        std::regex_match(run.out, std::regex("quorvel-verify 0\\.0\\.1\\.0\n"
                                             "libsodium [0-9]+\\.[0-9.]+\n"
                                             "libcurl [0-9]+\\.[0-9.]+ \\(OpenSSL/[0-9.]+\\)\n"
                                             "RapidJSON 1\\.1\\.0\n")))
        << run.out;
}

}  // namespace
