// Argument parsing of quorvel-verify.
#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

struct Row {
    const char* name;
    Args arguments;
    CommandMode mode;
    bool json;
    std::string caFile;
    unsigned jobs;
    Args files;
};

TEST(CommandLine, AcceptedCommandLines) {
    const Row rows[] = {
        {"one file", {"a.exe"}, CommandMode::Verify, false, "", 0, {"a.exe"}},
        {"files keep their order",
         {"b.exe", "a.exe", "c.dll"},
         CommandMode::Verify,
         false,
         "",
         0,
         {"b.exe", "a.exe", "c.dll"}},
        {"json", {"--json", "a.exe"}, CommandMode::Verify, true, "", 0, {"a.exe"}},
        {"options after files",
         {"a.exe", "--json", "b.exe"},
         CommandMode::Verify,
         true,
         "",
         0,
         {"a.exe", "b.exe"}},
        {"ca file",
         {"--ca-file", "ca.pem", "a.exe"},
         CommandMode::Verify,
         false,
         "ca.pem",
         0,
         {"a.exe"}},
        {"ca file with =",
         {"--ca-file=ca.pem", "a.exe"},
         CommandMode::Verify,
         false,
         "ca.pem",
         0,
         {"a.exe"}},
        {"jobs 1 (lowest)", {"--jobs", "1", "a.exe"}, CommandMode::Verify, false, "", 1, {"a.exe"}},
        {"jobs 256 (highest)",
         {"--jobs=256", "a.exe"},
         CommandMode::Verify,
         false,
         "",
         256,
         {"a.exe"}},
        {"jobs with leading zero",
         {"--jobs", "08", "a.exe"},
         CommandMode::Verify,
         false,
         "",
         8,
         {"a.exe"}},
        {"everything",
         {"--json", "--ca-file", "x.pem", "--jobs", "3", "f1", "f2"},
         CommandMode::Verify,
         true,
         "x.pem",
         3,
         {"f1", "f2"}},
        {"double dash ends options",
         {"--", "--json", "-x"},
         CommandMode::Verify,
         false,
         "",
         0,
         {"--json", "-x"}},
        {"single dash is a file", {"-"}, CommandMode::Verify, false, "", 0, {"-"}},
        {"empty argument is a file", {""}, CommandMode::Verify, false, "", 0, {""}},
        {"info", {"--info", "a.exe", "b.exe"}, CommandMode::Info, false, "", 0, {"a.exe", "b.exe"}},
        {"help", {"--help"}, CommandMode::Help, false, "", 0, {}},
        {"short help", {"-h"}, CommandMode::Help, false, "", 0, {}},
        {"help wins over errors", {"--bogus", "--help"}, CommandMode::Help, false, "", 0, {}},
        {"help after -- is a file",
         {"--", "--help"},
         CommandMode::Verify,
         false,
         "",
         0,
         {"--help"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const CommandLine parsed = ParseCommandLine(row.arguments);
        EXPECT_EQ(parsed.mode, row.mode) << parsed.error;
        if (row.mode == CommandMode::Help) {
            continue;
        }
        EXPECT_EQ(parsed.json, row.json);
        EXPECT_EQ(parsed.caFile, row.caFile);
        EXPECT_EQ(parsed.jobs, row.jobs);
        EXPECT_EQ(parsed.files, row.files);
    }
}

TEST(CommandLine, UsageErrors) {
    struct ErrorRow {
        const char* name;
        Args arguments;
        std::string message;
    };
    const ErrorRow rows[] = {
        {"nothing", {}, "no file given"},
        {"options only", {"--json"}, "no file given"},
        {"unknown option", {"--verbose", "a.exe"}, "unknown option '--verbose'"},
        {"unknown short option", {"-v", "a.exe"}, "unknown option '-v'"},
        {"unknown option with value", {"--colour=red", "a.exe"}, "unknown option '--colour=red'"},
        {"jobs without value", {"a.exe", "--jobs"}, "option '--jobs' needs a value"},
        {"ca file without value", {"a.exe", "--ca-file"}, "option '--ca-file' needs a value"},
        {"empty ca file", {"--ca-file=", "a.exe"}, "--ca-file needs a file name"},
        {"jobs 0 (one below)", {"--jobs", "0", "a.exe"}, "--jobs needs a whole number"},
        {"jobs 257 (one above)", {"--jobs", "257", "a.exe"}, "--jobs needs a whole number"},
        {"jobs negative", {"--jobs", "-1", "a.exe"}, "--jobs needs a whole number"},
        {"jobs not a number", {"--jobs", "two", "a.exe"}, "--jobs needs a whole number"},
        {"jobs with sign", {"--jobs=+2", "a.exe"}, "--jobs needs a whole number"},
        {"jobs empty", {"--jobs=", "a.exe"}, "--jobs needs a whole number"},
        {"jobs huge", {"--jobs", "99999999999", "a.exe"}, "--jobs needs a whole number"},
        {"info with ca file",
         {"--info", "--ca-file", "c.pem", "a.exe"},
         "--info cannot be combined"},
        {"info without file", {"--info"}, "no file given"},
    };
    for (const ErrorRow& row : rows) {
        SCOPED_TRACE(row.name);
        const CommandLine parsed = ParseCommandLine(row.arguments);
        EXPECT_EQ(parsed.mode, CommandMode::UsageError);
        EXPECT_EQ(parsed.error.substr(0, row.message.size()), row.message) << parsed.error;
    }
}

TEST(CommandLine, UsageTextDocumentsEveryOptionAndExitStatus) {
    const std::string usage = UsageText();
    for (const char* needle : {"--json", "--ca-file PEM", "--jobs N", "--info", "--help",
                               "\"file\"", "\"kind\"", "\"status\"", "\"result\"", "\"domain\"",
                               "\"description\"", "Exit status", "(not provided)"}) {
        EXPECT_NE(usage.find(needle), std::string::npos) << needle;
    }
}

}  // namespace
