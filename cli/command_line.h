// The arguments of quorvel-verify.
#pragma once

#include <string>
#include <vector>

enum class CommandMode { Verify, Info, Help, UsageError };

// Largest accepted --jobs value.
inline constexpr unsigned kMaxJobs = 256;

struct CommandLine {
    CommandMode mode = CommandMode::Verify;
    bool json = false;               // --json: one JSON object per file per line
    std::string caFile;              // --ca-file: extra PEM bundle; empty when not given
    unsigned jobs = 0;               // --jobs: files verified at once; 0 means one per core
    std::vector<std::string> files;  // the files, as given
    std::string error;               // what is wrong, for CommandMode::UsageError
};

// arguments excludes the program name. Options may stand anywhere before "--"; everything after
// "--" is a file. "--help" wins over everything else.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The text that --help prints.
const char* UsageText();
