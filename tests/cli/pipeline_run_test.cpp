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

struct RunResult {
    int exitCode = -1;  // -1: killed, by the time limit or otherwise
    std::string out;
    std::vector<std::string> lines;
};

// The arguments are test paths, domains and options: none holds a quote.
RunResult Verify(const std::vector<std::string>& arguments) {
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

std::string Status(const std::string& jsonLine) {
    std::smatch match;
    return std::regex_search(jsonLine, match, std::regex(R"re("status":"([^"]*)")re"))
               ? match[1].str()
               : "no status in: " + jsonLine;
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

    keyserver::Client server_ = job_test::OpenKeyServer();
    std::string ip_ = server_.Domain(Listener::Trusted);  // 127.0.0.1:PORT
    job_test::TempDir dir_;
};

TEST_F(PipelineRun, OneRequestPerAddressNoRetryAndNoneForAnUnexpectedSigner) {
    const std::string port = std::to_string(server_.Port(Listener::Trusted));
    TestKey published, unpublished, other;
    std::vector<std::string> arguments = {"--json",           "--jobs",         "8",
                                          "--ca-file",        server_.CaFile(), "--require-domain",
                                          "LOCALHOST:" + port};
    const std::string signedFile = SignedFile("a.exe", "localhost:" + port, true, published);
    for (int i = 0; i < 200; ++i) {
        arguments.push_back(signedFile);
    }
    const std::string unpublishedFile =
        SignedFile("b.exe", "localhost:" + port, false, unpublished);
    for (int i = 0; i < 3; ++i) {  // no route: 404
        arguments.push_back(unpublishedFile);
    }
    arguments.push_back(SignedFile("c.exe", ip_, true, other));

    const RunResult run = Verify(arguments);
    EXPECT_EQ(run.exitCode, 1);
    ASSERT_EQ(run.lines.size(), 204U) << run.out;
    for (std::size_t i = 0; i < 200; ++i) {
        EXPECT_EQ(Status(run.lines[i]), "Quorvel: verified") << "line " << i;
    }
    for (std::size_t i = 200; i < 203; ++i) {
        EXPECT_EQ(Status(run.lines[i]), "Quorvel: key fetch failed (HTTP 404)") << "line " << i;
    }
    EXPECT_EQ(Status(run.lines[203]), "Quorvel: unexpected signer (" + ip_ + ")");
    EXPECT_EQ(server_.RequestsFor(KeyPath(published)).size(), 1U);
    EXPECT_EQ(server_.RequestsFor(KeyPath(unpublished)).size(), 1U) << "last key: one 404, kept";
    EXPECT_EQ(server_.RequestsFor(KeyPath(other)).size(), 0U);
}

TEST_F(PipelineRun, OfflineUsesOnlySavedDocumentsAndNothingBlocks) {
    TestKey saved, online;
    const std::string savedFile = SignedFile("saved.exe", ip_, false, saved);
    const std::string onlineFile = SignedFile("online.exe", ip_, true, online);
    const std::string document = dir_.File("saved.json");
    quorvel_test::WriteFile(
        document, quorvel_test::FromText(job_test::KeyDocument(saved, "active", "Release key")));
    const std::string fifo = dir_.File("pipe.exe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    const RunResult run = Verify({"--json", "--offline", "--key-document", ip_ + "=" + document,
                                  savedFile, onlineFile, fifo});
    EXPECT_EQ(run.exitCode, 1);
    ASSERT_EQ(run.lines.size(), 3U) << run.out;
    EXPECT_EQ(Status(run.lines[0]), "Quorvel: verified");
    EXPECT_EQ(Status(run.lines[1]), "Quorvel: key document not available offline");
    EXPECT_EQ(Status(run.lines[2]), "Quorvel: unable to read file");
    EXPECT_EQ(server_.RequestsFor(KeyPath(online)).size(), 0U);

    const RunResult unreadable = Verify({"--key-document", ip_ + "=" + fifo, savedFile});
    EXPECT_EQ(unreadable.exitCode, 2) << unreadable.out;

    const RunResult info = Verify({"--info", "--json", "--jobs", "2", fifo, savedFile});
    EXPECT_EQ(info.exitCode, 1);
    ASSERT_EQ(info.lines.size(), 2U) << info.out;
    EXPECT_EQ(info.lines[0], "{\"file\":\"" + fifo +
                                 "\",\"kind\":\"failed\",\"status\":\"Quorvel: unable to read "
                                 "file\",\"result\":\"The file could not be read.\",\"domain\":"
                                 "\"\",\"key_id\":\"\"}");
    EXPECT_EQ(info.lines[1], "{\"file\":\"" + savedFile +
                                 "\",\"kind\":\"neutral\",\"status\":\"Quorvel: payload "
                                 "read\",\"result\":\"The signature payload was read; the "
                                 "signature was not verified.\",\"domain\":\"" +
                                 ip_ + "\",\"key_id\":\"" + job_test::KeyIdText(saved) + "\"}");
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
