// Argument parsing of quorvel-verify: modes, options with their values and bounds, files.
#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, Accepted) {
    // clang-format off
    const struct {
        const char* name;
        Args arguments;
        CommandMode mode;
        bool json = false;
        std::string caFile;
        unsigned jobs = 0;
        Args files;
    } rows[] = {
        {"files in order, options among them", {"b", "--json", "a"}, CommandMode::Verify, true, "", 0, {"b", "a"}},
        {"ca file", {"--ca-file", "ca.pem", "a"}, CommandMode::Verify, false, "ca.pem", 0, {"a"}},
        {"ca file with =", {"--ca-file=c=1.pem", "a"}, CommandMode::Verify, false, "c=1.pem", 0, {"a"}},
        {"jobs 1", {"--jobs", "1", "a"}, CommandMode::Verify, false, "", 1, {"a"}},
        {"jobs 256 in four digits", {"--jobs=0256", "a"}, CommandMode::Verify, false, "", 256, {"a"}},
        {"- and empty are files, -- ends the options", {"-", "", "--", "--json", "-x"}, CommandMode::Verify, false, "", 0, {"-", "", "--json", "-x"}},
        {"info with json and jobs", {"--info", "--json", "--jobs", "2", "a"}, CommandMode::Info, true, "", 2, {"a"}},
        {"help wins", {"a", "--bogus", "--help"}, CommandMode::Help, false, "", 0, {}},
        {"-h", {"-h"}, CommandMode::Help, false, "", 0, {}},
        {"help after -- is a file", {"--", "--help"}, CommandMode::Verify, false, "", 0, {"--help"}},
        {"version wins over files and errors", {"--bogus", "--version", "f"}, CommandMode::Version, false, "", 0, {}},
        {"help wins over version", {"--version", "-h"}, CommandMode::Help, false, "", 0, {}},
    };
    // clang-format on
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

TEST(CommandLine, RepeatedPipelineOptionsKeepTheirOrder) {
    const CommandLine parsed = ParseCommandLine(
        {"--require-domain", "b.example", "--require-domain=a.example:8443", "--key-document",
         "a.example=a.json", "f", "--key-document=b.example=dir/b=1.json", "--offline"});
    ASSERT_EQ(parsed.mode, CommandMode::Verify) << parsed.error;
    EXPECT_EQ(parsed.requiredDomains, (Args{"b.example", "a.example:8443"}));
    EXPECT_EQ(parsed.keyDocuments, (std::vector<KeyDocumentOption>{{"a.example", "a.json"},
                                                                   {"b.example", "dir/b=1.json"}}));
    EXPECT_TRUE(parsed.offline);
    EXPECT_EQ(parsed.files, Args{"f"});
}

TEST(CommandLine, UsageErrors) {
    // clang-format off
    const std::pair<Args, std::string> rows[] = {
        {{}, "no file given"},
        {{"--info"}, "no file given"},
        {{"--colour=red", "a"}, "unknown option '--colour=red'"},
        {{"a", "--jobs"}, "option '--jobs' needs a value"},
        {{"--ca-file=", "a"}, "--ca-file needs a file name"},
        {{"--jobs", "0", "a"}, "--jobs needs a whole number from 1 to 256, not '0'"},
        {{"--jobs", "257", "a"}, "--jobs needs a whole number"},
        {{"--jobs", "00064", "a"}, "--jobs needs a whole number"},
        {{"--jobs=/", "a"}, "--jobs needs a whole number"},
        {{"--jobs=:", "a"}, "--jobs needs a whole number"},
        {{"--require-domain=", "f"}, "--require-domain needs a domain"},
        {{"--key-document", "a.json", "f"}, "--key-document needs DOMAIN=FILE, not 'a.json'"},
        {{"--key-document", "=a.json", "f"}, "--key-document needs DOMAIN=FILE"},
        {{"--key-document", "a.example=", "f"}, "--key-document needs DOMAIN=FILE"},
        {{"--info", "--ca-file", "c.pem", "a"}, "--info cannot be combined"},
        {{"--info", "--offline", "f"}, "--info cannot be combined"},
        {{"--info", "--require-domain", "a.example", "f"}, "--info cannot be combined"},
        {{"--key-document", "a.example=a.json", "--info", "f"}, "--info cannot be combined"},
    };
    // clang-format on
    for (const auto& [arguments, message] : rows) {
        const CommandLine parsed = ParseCommandLine(arguments);
        EXPECT_EQ(parsed.mode, CommandMode::UsageError) << message;
        EXPECT_EQ(parsed.error.substr(0, message.size()), message) << parsed.error;
    }
}

}  // namespace
