// Argument parsing of quorvel-verify: the base options and files, with the --jobs bounds
// (the pipeline options have their own table).
#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, Accepted) {
    const struct {
        const char* name;
        Args arguments;
        CommandMode mode;
        bool json;
        std::string caFile;
        unsigned jobs;
        Args files;
    } rows[] = {
        {"files in order, options among them", {"b", "--json", "a"}, CommandMode::Verify, true, "",
         0, {"b", "a"}},
        {"ca file", {"--ca-file", "ca.pem", "a"}, CommandMode::Verify, false, "ca.pem", 0, {"a"}},
        {"ca file with =", {"--ca-file=c=1.pem", "a"}, CommandMode::Verify, false, "c=1.pem", 0,
         {"a"}},
        {"jobs 1", {"--jobs", "1", "a"}, CommandMode::Verify, false, "", 1, {"a"}},
        {"jobs 256", {"--jobs=256", "a"}, CommandMode::Verify, false, "", 256, {"a"}},
        {"jobs in four digits", {"--jobs=0064", "a"}, CommandMode::Verify, false, "", 64, {"a"}},
        {"- and empty are files, -- ends the options", {"-", "", "--", "--json", "-x"},
         CommandMode::Verify, false, "", 0, {"-", "", "--json", "-x"}},
        {"info", {"--info", "a"}, CommandMode::Info, false, "", 0, {"a"}},
        {"help wins", {"a", "--bogus", "--help"}, CommandMode::Help, false, "", 0, {}},
        {"-h", {"-h"}, CommandMode::Help, false, "", 0, {}},
        {"help after -- is a file", {"--", "--help"}, CommandMode::Verify, false, "", 0, {"--help"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const CommandLine parsed = ParseCommandLine(row.arguments);
        EXPECT_EQ(parsed.mode, row.mode) << parsed.error;
        EXPECT_EQ(parsed.json, row.json);
        EXPECT_EQ(parsed.caFile, row.caFile);
        EXPECT_EQ(parsed.jobs, row.jobs);
        EXPECT_EQ(parsed.files, row.files);
    }
}

TEST(CommandLine, UsageErrors) {
    const std::pair<Args, std::string> rows[] = {
        {{}, "no file given"},
        {{"--info"}, "no file given"},
        {{"-v", "a"}, "unknown option '-v'"},
        {{"--colour=red", "a"}, "unknown option '--colour=red'"},
        {{"a", "--jobs"}, "option '--jobs' needs a value"},
        {{"--ca-file=", "a"}, "--ca-file needs a file name"},
        {{"--jobs", "0", "a"}, "--jobs needs a whole number from 1 to 256, not '0'"},
        {{"--jobs", "257", "a"}, "--jobs needs a whole number"},
        {{"--jobs", "00064", "a"}, "--jobs needs a whole number"},
        {{"--jobs=", "a"}, "--jobs needs a whole number"},
        {{"--jobs=/", "a"}, "--jobs needs a whole number"},
        {{"--jobs=:", "a"}, "--jobs needs a whole number"},
        {{"--info", "--ca-file", "c.pem", "a"}, "--info cannot be combined"},
    };
    for (const auto& [arguments, message] : rows) {
        const CommandLine parsed = ParseCommandLine(arguments);
        EXPECT_EQ(parsed.mode, CommandMode::UsageError) << message;
        EXPECT_EQ(parsed.error.substr(0, message.size()), message) << parsed.error;
    }
}

}  // namespace
