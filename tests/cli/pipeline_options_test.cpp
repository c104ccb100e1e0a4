// Parsing of the options for release pipelines: required domains, saved key documents,
// --offline, --version and --info with --json and --jobs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"

namespace {

using Args = std::vector<std::string>;

TEST(PipelineOptions, Accepted) {
    struct Row {
        const char* name;
        Args arguments;
        CommandMode mode;
        std::vector<std::string> requiredDomains;
        std::vector<KeyDocumentOption> keyDocuments;
        bool offline;
        bool json;
        unsigned jobs;
    };
    const Row rows[] = {
        {"required domains in order",
         {"--require-domain", "b.example", "--require-domain=a.example:8443", "f"},
         CommandMode::Verify, {"b.example", "a.example:8443"}, {}, false, false, 0},
        {"key documents in order",
         {"--key-document", "a.example=a.json", "--key-document=b.example=dir/b=1.json", "f"},
         CommandMode::Verify, {}, {{"a.example", "a.json"}, {"b.example", "dir/b=1.json"}}, false,
         false, 0},
        {"offline", {"f", "--offline"}, CommandMode::Verify, {}, {}, true, false, 0},
        {"info with json and jobs", {"--info", "--json", "--jobs", "2", "f"}, CommandMode::Info,
         {}, {}, false, true, 2},
        {"version wins over files and errors", {"--bogus", "--version", "f"},
         CommandMode::Version, {}, {}, false, false, 0},
        {"help wins over version", {"--version", "-h"}, CommandMode::Help, {}, {}, false, false,
         0},
        {"version after -- is a file", {"--", "--version"}, CommandMode::Verify, {}, {}, false,
         false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const CommandLine parsed = ParseCommandLine(row.arguments);
        EXPECT_EQ(parsed.mode, row.mode) << parsed.error;
        EXPECT_EQ(parsed.requiredDomains, row.requiredDomains);
        EXPECT_EQ(parsed.keyDocuments, row.keyDocuments);
        EXPECT_EQ(parsed.offline, row.offline);
        EXPECT_EQ(parsed.json, row.json);
        EXPECT_EQ(parsed.jobs, row.jobs);
    }
}

TEST(PipelineOptions, Refused) {
    struct Row {
        const char* name;
        Args arguments;
        std::string message;
    };
    const Row rows[] = {
        {"empty required domain", {"--require-domain=", "f"}, "--require-domain needs a domain"},
        {"required domain without value", {"f", "--require-domain"},
         "option '--require-domain' needs a value"},
        {"key document without =", {"--key-document", "a.json", "f"},
         "--key-document needs DOMAIN=FILE, not 'a.json'"},
        {"key document without domain", {"--key-document", "=a.json", "f"},
         "--key-document needs DOMAIN=FILE"},
        {"key document without file", {"--key-document", "a.example=", "f"},
         "--key-document needs DOMAIN=FILE"},
        {"info with offline", {"--info", "--offline", "f"}, "--info cannot be combined"},
        {"info with required domain", {"--info", "--require-domain", "a.example", "f"},
         "--info cannot be combined"},
        {"info with key document", {"--key-document", "a.example=a.json", "--info", "f"},
         "--info cannot be combined"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const CommandLine parsed = ParseCommandLine(row.arguments);
        EXPECT_EQ(parsed.mode, CommandMode::UsageError);
        EXPECT_EQ(parsed.error.substr(0, row.message.size()), row.message) << parsed.error;
    }
}

TEST(PipelineOptions, HelpNamesThem) {
    const std::string usage = UsageText();
    for (const char* needle :
         {"--require-domain DOMAIN", "--key-document DOMAIN=FILE", "--offline", "--version",
          "--info [--json] [--jobs N]", "\"key_id\"", "Quorvel: unexpected signer",
          "Quorvel: key document not available offline", "Quorvel: payload read"}) {
        EXPECT_NE(usage.find(needle), std::string::npos) << needle;
    }
}

}  // namespace
