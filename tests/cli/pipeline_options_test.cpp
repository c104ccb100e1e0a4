// Parsing of the options for release pipelines: required domains, saved key documents,
// --offline, --version and --info with --json and --jobs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"

namespace {

TEST(PipelineOptions, RepeatedOptionsKeepTheirOrder) {
    const CommandLine parsed = ParseCommandLine(
        {"--require-domain", "b.example", "--require-domain=a.example:8443", "--key-document",
         "a.example=a.json", "f", "--key-document=b.example=dir/b=1.json", "--offline"});
    ASSERT_EQ(parsed.mode, CommandMode::Verify) << parsed.error;
    EXPECT_EQ(parsed.requiredDomains, (std::vector<std::string>{"b.example", "a.example:8443"}));
    EXPECT_EQ(parsed.keyDocuments, (std::vector<KeyDocumentOption>{{"a.example", "a.json"},
                                                                   {"b.example", "dir/b=1.json"}}));
    EXPECT_TRUE(parsed.offline);
    EXPECT_EQ(parsed.files, std::vector<std::string>{"f"});
}

TEST(PipelineOptions, Modes) {
    struct Row {
        std::vector<std::string> arguments;
        CommandMode mode;
    };
    const Row rows[] = {
        {{"--info", "--json", "--jobs", "2", "f"}, CommandMode::Info},
        {{"--bogus", "--version", "f"}, CommandMode::Version},  // wins over files and errors
        {{"--version", "-h"}, CommandMode::Help},
        {{"--", "--version"}, CommandMode::Verify},  // a file named --version
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ParseCommandLine(row.arguments).mode, row.mode) << row.arguments[0];
    }
    const CommandLine info = ParseCommandLine(rows[0].arguments);
    EXPECT_TRUE(info.json);
    EXPECT_EQ(info.jobs, 2U);
}

TEST(PipelineOptions, Refused) {
    struct Row {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Row rows[] = {
        {{"--require-domain=", "f"}, "--require-domain needs a domain"},
        {{"--key-document", "a.json", "f"}, "--key-document needs DOMAIN=FILE, not 'a.json'"},
        {{"--key-document", "=a.json", "f"}, "--key-document needs DOMAIN=FILE"},
        {{"--key-document", "a.example=", "f"}, "--key-document needs DOMAIN=FILE"},
        {{"--info", "--offline", "f"}, "--info cannot be combined"},
        {{"--info", "--require-domain", "a.example", "f"}, "--info cannot be combined"},
        {{"--key-document", "a.example=a.json", "--info", "f"}, "--info cannot be combined"},
    };
    for (const Row& row : rows) {
        const CommandLine parsed = ParseCommandLine(row.arguments);
        EXPECT_EQ(parsed.mode, CommandMode::UsageError) << row.message;
        EXPECT_EQ(parsed.error.substr(0, row.message.size()), row.message) << parsed.error;
    }
}

}  // namespace
