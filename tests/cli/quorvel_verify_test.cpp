// quorvel-verify as a user runs it: the built executable on real files, against the loopback
// key server of the CTest fixture.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
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

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class QuorvelVerifyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = job_test::OpenKeyServer();
        domain_ = server_.Domain(Listener::Trusted);
    }

    RunResult Run(const std::vector<std::string>& arguments) const {
        std::string command = Quoted(QUORVEL_VERIFY_EXECUTABLE);
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

TEST_F(QuorvelVerifyTest, VerifiedAndTamperedFiles) {
    const std::string good = PublishedFile("good.exe", "Release key");
    const std::string tampered = PublishedFile("tampered.exe", nullptr, 0, /*tamper=*/true);

    const RunResult both = Run({"--ca-file", server_.CaFile(), good, tampered});
    EXPECT_EQ(both.exitCode, 1) << "one file is not verified";
    EXPECT_EQ(both.out, good +
                            "\n"
                            "  Status:              Quorvel: verified\n"
                            "  Verification domain: " +
                            domain_ +
                            "\n"
                            "  Key description:     Release key\n"
                            "  Results:             The signature validated successfully.\n"
                            "\n" +
                            tampered +
                            "\n"
                            "  Status:              Quorvel: signature invalid\n"
                            "  Verification domain: " +
                            domain_ +
                            "\n"
                            "  Key description:     (not provided)\n"
                            "  Results:             The signature does not match the file "
                            "contents.\n");
    EXPECT_EQ(both.err, "");

    const RunResult onlyGood = Run({"--ca-file", server_.CaFile(), good, good});
    EXPECT_EQ(onlyGood.exitCode, 0) << onlyGood.out;
}

TEST_F(QuorvelVerifyTest, WithoutTheCaFileTheTestServerIsNotTrusted) {
    const std::string good = PublishedFile("good.exe", nullptr);
    const RunResult result = Run({good});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.out.find("Status:              Quorvel: key fetch failed ("),
              std::string::npos)
        << result.out;
}

TEST_F(QuorvelVerifyTest, JsonLinesWithExactlyTheSixMembers) {
    const std::string good = PublishedFile("good \"1\".exe", R"(Key \"one\" \\ \u00fc\n)");
    const std::string text = dir_.File("text.exe");
    quorvel_test::WriteFile(text, quorvel_test::FromText("not a PE"));

    const RunResult result = Run({"--json", "--ca-file", server_.CaFile(), good, text});
    EXPECT_EQ(result.exitCode, 1);
    const std::vector<std::string> lines = Lines(result.out);
    ASSERT_EQ(lines.size(), 2U) << result.out;

    const char* const members[] = {"file", "kind", "status", "result", "domain", "description"};
    struct Expected {
        std::string file, kind, status, result, domain, description;
    };
    const Expected expected[] = {
        {good, "verified", "Quorvel: verified", "The signature validated successfully.", domain_,
         "Key \"one\" \\ \xc3\xbc\n"},
        {text, "failed", "Quorvel: not a PE file", "The selected file is not a PE file.",
         "(not available)", ""},
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        rapidjson::Document document;
        document.Parse(lines[i].c_str(), lines[i].size());
        ASSERT_FALSE(document.HasParseError());
        ASSERT_TRUE(document.IsObject());
        ASSERT_EQ(document.MemberCount(), 6U);
        std::size_t index = 0;
        for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
            EXPECT_STREQ(member->name.GetString(), members[index++]);
            EXPECT_TRUE(member->value.IsString());
        }
        const Expected& want = expected[i];
        const auto text_of = [&](const char* name) {
            return std::string(document[name].GetString(), document[name].GetStringLength());
        };
        EXPECT_EQ(text_of("file"), want.file);
        EXPECT_EQ(text_of("kind"), want.kind);
        EXPECT_EQ(text_of("status"), want.status);
        EXPECT_EQ(text_of("result"), want.result);
        EXPECT_EQ(text_of("domain"), want.domain);
        EXPECT_EQ(text_of("description"), want.description);
    }
}

TEST_F(QuorvelVerifyTest, OutputKeepsInputOrderUnderJobs) {
    // The first files answer last: in completion order they would come out reversed.
    std::vector<std::string> files;
    const int delays[] = {1500, 1000, 500, 0, 0, 0};
    for (int i = 0; i < 6; ++i) {
        files.push_back(PublishedFile("file" + std::to_string(i) + ".exe",
                                      ("key " + std::to_string(i)).c_str(), delays[i]));
    }
    for (const char* jobs : {"3", "6", "1"}) {
        SCOPED_TRACE(std::string("--jobs ") + jobs);
        std::vector<std::string> arguments = {"--json", "--jobs", jobs, "--ca-file",
                                              server_.CaFile()};
        arguments.insert(arguments.end(), files.begin(), files.end());
        const RunResult result = Run(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        const std::vector<std::string> lines = Lines(result.out);
        ASSERT_EQ(lines.size(), files.size()) << result.out;
        for (std::size_t i = 0; i < files.size(); ++i) {
            rapidjson::Document document;
            document.Parse(lines[i].c_str(), lines[i].size());
            ASSERT_FALSE(document.HasParseError()) << lines[i];
            EXPECT_EQ(std::string(document["file"].GetString()), files[i]) << "line " << i;
            EXPECT_EQ(std::string(document["description"].GetString()), "key " + std::to_string(i));
        }
    }
}

TEST_F(QuorvelVerifyTest, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> rows = {
        {},
        {"--bogus", "a.exe"},
        {"--jobs", "0", "a.exe"},
        {"--jobs", "x", "a.exe"},
        {"a.exe", "--jobs"},
        {"a.exe", "--ca-file"},
    };
    for (const auto& arguments : rows) {
        std::string name;
        for (const std::string& argument : arguments) {
            name += argument + " ";
        }
        SCOPED_TRACE("arguments: " + name);
        const RunResult result = Run(arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("quorvel-verify: ", 0), 0U) << result.err;
        EXPECT_NE(result.err.find("--help"), std::string::npos);
    }
}

TEST_F(QuorvelVerifyTest, HelpExitsWithZero) {
    const RunResult result = Run({"--help"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(
        result.out.rfind("Usage:\n  quorvel-verify [--json] [--ca-file PEM] [--jobs N] FILE...", 0),
        0U)
        << result.out;
}

TEST_F(QuorvelVerifyTest, InfoReadsOfflineAndNamesDomainAndKeyId) {
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
    EXPECT_NE(all.out.find(unsignedFile + "\n  The file carries no Quorvel signature.\n"),
              std::string::npos)
        << all.out;
    EXPECT_NE(all.out.find(missing + "\n  The file could not be opened.\n"), std::string::npos)
        << all.out;
    EXPECT_TRUE(server_.RequestsFor(KeyPath(key)).empty()) << "--info contacts no server";
}

}  // namespace
