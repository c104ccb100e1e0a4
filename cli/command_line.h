// The arguments of quorvel-verify.
#pragma once

#include <string>
#include <vector>

enum class CommandMode { Verify, Info, Help, Version, UsageError };

// Largest accepted --jobs value.
inline constexpr unsigned kMaxJobs = 256;

// --key-document DOMAIN=FILE: a saved key document that speaks for DOMAIN.
struct KeyDocumentOption {
    std::string domain;
    std::string file;

    bool operator==(const KeyDocumentOption&) const = default;
};

struct CommandLine {
    CommandMode mode = CommandMode::Verify;
    bool json = false;   // --json: one JSON object per file per line
    std::string caFile;  // --ca-file: extra PEM bundle; empty when not given
    unsigned jobs = 0;   // --jobs: files verified at once; 0 means one per core
    std::vector<std::string> requiredDomains;     // --require-domain, in the order given
    std::vector<KeyDocumentOption> keyDocuments;  // --key-document, in the order given
    bool offline = false;                         // --offline: never connect
    std::vector<std::string> files;               // the files, as given
    std::string error;                            // what is wrong, for CommandMode::UsageError
};

// arguments excludes the program name. Options may stand anywhere before "--"; everything after
// "--" is a file. "--help" wins over everything else, then "--version".
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The text that --help prints.
const char* UsageText();
