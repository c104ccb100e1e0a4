// quorvel-verify as a user runs it: the built executable on real files, against the loopback
// key server of the CTest fixture.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "job_fixtures.h"
#include "quorvel_test/bytes.h"

#ifndef QUORVEL_VERIFY_EXECUTABLE
#error "QUORVEL_VERIFY_EXECUTABLE must name the built quorvel-verify"
#endif

namespace {

using job_test::KeyDocument;
using job_test::KeyPath;
using keyserver::Listener;
using quorvel_test::TestKey;

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

class QuorvelVerifyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = job_test::OpenKeyServer();
        domain_ = server_.Domain(Listener::Trusted);
    }

    // shellPrefix runs before the executable in the same shell (e.g. a ulimit).
    RunResult Run(const std::vector<std::string>& arguments, const std::string& shellPrefix = "") const {
        std::string command = shellPrefix + Quoted(QUORVEL_VERIFY_EXECUTABLE);
        for (const std::string& argument : arguments) {
            command += " " + Quoted(argument);
        }
        const std::string errPath = dir_.File("stderr.txt");
        command += " 2>" + Quoted(errPath);
        RunResult result;
        std::FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            ADD_FAILURE() << "cannot run " << command;
            return result;
        }
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            result.out.append(buffer, n);
        }
        const int status = pclose(pipe);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.err = ReadWhole(errPath);
        return result;
    }

    // A signed file whose key document the server publishes.
    std::string PublishedFile(const std::string& name, const char* description, int delayMs = 0,
                              bool tamper = false) const {
        const TestKey key = job_test::UniqueKey("cli");
        keyserver::Route route;
        route.body = KeyDocument(key, "active", description);
        route.headersDelayMs = delayMs;
        std::string error;
        EXPECT_TRUE(server_.PutRoute(KeyPath(key), route, &error)) << error;
        quorvel_test::Bytes image = job_test::SignedPe(key, domain_);
        if (tamper) {
            image = job_test::Tampered(image);
        }
        const std::string path = dir_.File(name);
        quorvel_test::WriteFile(path, image);
        return path;
    }

    keyserver::Client server_;
    std::string domain_;
    job_test::TempDir dir_;
};

std::string Block(const std::string& file, const std::string& status, const std::string& domain,
                  const std::string& description, const std::string& result) {
    return file + "\n  Status:              " + status + "\n  Verification domain: " + domain +
           "\n  Key description:     " + description + "\n  Results:             " + result + "\n";
}

// Exit status 1 with one file not verified; the text blocks, separated by an empty line.
TEST_F(QuorvelVerifyTest, TextOfEachFileAndExitOne) {
    const std::string good = PublishedFile("good.exe", "Release key");
    const std::string tampered = PublishedFile("tampered.exe", nullptr, 0, /*tamper=*/true);
    const RunResult both = Run({"--ca-file", server_.CaFile(), good, tampered});
    EXPECT_EQ(both.exitCode, 1);
    EXPECT_EQ(both.out, Block(good, "Quorvel: verified", domain_, "Release key",
                              "The signature validated successfully.") +
                            "\n" +
                            Block(tampered, "Quorvel: signature invalid", domain_,
                                  "(not provided)",
                                  "The signature does not match the file contents."));
    EXPECT_EQ(both.err, "");
    const RunResult untrusted = Run({good});  // the test CA only through --ca-file
    EXPECT_EQ(untrusted.exitCode, 1);
    EXPECT_NE(untrusted.out.find("Quorvel: key fetch failed ("), std::string::npos);
}

// Exit status 0; JSON Lines in the order the files were given although the first answers last.
TEST_F(QuorvelVerifyTest, JsonLinesInInputOrderAndExitZero) {
    std::vector<std::string> arguments = {"--json", "--jobs", "3", "--ca-file", server_.CaFile()};
    std::string expected;
    const int delays[] = {1000, 500, 0};
    for (int i = 0; i < 3; ++i) {
        const std::string description = "key " + std::to_string(i);
        arguments.push_back(PublishedFile("f" + std::to_string(i) + ".exe", description.c_str(),
                                          delays[i]));
        expected += "{\"file\":\"" + arguments.back() +
                    "\",\"kind\":\"verified\",\"status\":\"Quorvel: verified\",\"result\":"
                    "\"The signature validated successfully.\",\"domain\":\"" +
                    domain_ + "\",\"description\":\"" + description + "\"}\n";
    }
    const RunResult result = Run(arguments);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, expected);
}

// Saved key documents are each read and closed: with few descriptors, many still work.
TEST_F(QuorvelVerifyTest, OfflineWithManySavedDocuments) {
    const TestKey key = job_test::UniqueKey("cli-offline");
    const std::string file = dir_.File("offline.exe");
    quorvel_test::WriteFile(file, job_test::SignedPe(key, domain_));
    const std::string document = dir_.File("key.json");
    quorvel_test::WriteFile(document, quorvel_test::FromText(KeyDocument(key, "active", "saved")));
    std::vector<std::string> arguments = {"--offline", file};
    for (int i = 0; i < 24; ++i) {
        arguments.push_back("--key-document=" + domain_ + "=" + document);
    }
    const RunResult result = Run(arguments, "ulimit -n 16; ");
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(result.out, Block(file, "Quorvel: verified", domain_, "saved",
                                "The signature validated successfully."));
    EXPECT_TRUE(server_.RequestsFor(KeyPath(key)).empty()) << "--offline connects nowhere";
}

TEST_F(QuorvelVerifyTest, UsageErrorExitsWithTwoAndHelpWithZero) {
    const RunResult error = Run({"--jobs", "0", "a.exe"});
    EXPECT_EQ(error.exitCode, 2);
    EXPECT_EQ(error.out, "");
    EXPECT_EQ(error.err.rfind("quorvel-verify: --jobs needs", 0), 0U) << error.err;
    const RunResult help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage:\n  quorvel-verify [--json]", 0), 0U) << help.out;
}

TEST_F(QuorvelVerifyTest, InfoNamesDomainAndKeyIdWithoutAConnection) {
    const TestKey key = job_test::UniqueKey("cli-info");
    const std::string signedFile = dir_.File("signed.exe");
    quorvel_test::WriteFile(signedFile, job_test::SignedPe(key, domain_));
    const std::string unsignedFile = dir_.File("unsigned.exe");
    quorvel_test::WriteFile(unsignedFile, job_test::UnsignedPe());
    const std::string missing = dir_.File("missing.exe");
    const RunResult one = Run({"--info", signedFile});
    EXPECT_EQ(one.exitCode, 0);
    EXPECT_EQ(one.out, signedFile + "\n  Verification domain: " + domain_ +
                           "\n  Key id:              " + job_test::KeyIdText(key) + "\n");
    const RunResult all = Run({"--info", signedFile, unsignedFile, missing});
    EXPECT_EQ(all.exitCode, 1);
    EXPECT_NE(all.out.find("\n\n" + unsignedFile + "\n  The file carries no Quorvel signature.\n"),
              std::string::npos)
        << all.out;
    EXPECT_NE(all.out.find(missing + "\n  The file could not be opened.\n"), std::string::npos);
    EXPECT_TRUE(server_.RequestsFor(KeyPath(key)).empty());
}

}  // namespace
