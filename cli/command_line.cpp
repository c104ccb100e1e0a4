#include "command_line.h"

#include <cstddef>
#include <string_view>

namespace {

constexpr std::string_view kJobsOption = "--jobs";
constexpr std::string_view kCaFileOption = "--ca-file";

bool ParseJobs(std::string_view text, unsigned& jobs) {
    if (text.empty() || text.size() > 4) {
        return false;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > kMaxJobs) {
        return false;
    }
    jobs = value;
    return true;
}

CommandLine UsageError(std::string message) {
    CommandLine result;
    result.mode = CommandMode::UsageError;
    result.error = std::move(message);
    return result;
}

bool IsHelp(std::string_view argument) { return argument == "--help" || argument == "-h"; }

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "--") {
            break;
        }
        if (IsHelp(argument)) {
            CommandLine help;
            help.mode = CommandMode::Help;
            return help;
        }
    }

    CommandLine result;
    bool info = false;
    bool jobsGiven = false;
    bool caFileGiven = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (optionsEnded || argument.empty() || argument.front() != '-' || argument == "-") {
            result.files.emplace_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--json") {
            result.json = true;
            continue;
        }
        if (argument == "--info") {
            info = true;
            continue;
        }

        // Options with a value: "--name value" or "--name=value".
        std::string_view name = argument;
        std::string_view value;
        bool hasValue = false;
        const std::size_t equals = argument.find('=');
        if (equals != std::string_view::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            hasValue = true;
        }
        if (name != kJobsOption && name != kCaFileOption) {
            return UsageError("unknown option '" + std::string(argument) + "'");
        }
        if (!hasValue) {
            if (i + 1 >= arguments.size()) {
                return UsageError("option '" + std::string(name) + "' needs a value");
            }
            value = arguments[++i];
        }
        if (name == kJobsOption) {
            if (!ParseJobs(value, result.jobs)) {
                return UsageError("--jobs needs a whole number from 1 to " +
                                  std::to_string(kMaxJobs) + ", not '" + std::string(value) + "'");
            }
            jobsGiven = true;
        } else {
            if (value.empty()) {
                return UsageError("--ca-file needs a file name");
            }
            result.caFile = value;
            caFileGiven = true;
        }
    }

    if (info && (result.json || jobsGiven || caFileGiven)) {
        return UsageError("--info cannot be combined with --json, --ca-file or --jobs");
    }
    if (result.files.empty()) {
        return UsageError("no file given");
    }
    if (info) {
        result.mode = CommandMode::Info;
    }
    return result;
}

const char* UsageText() {
    return R"usage(Usage:
  quorvel-verify [--json] [--ca-file PEM] [--jobs N] FILE...
  quorvel-verify --info FILE...
  quorvel-verify --help

Checks the Quorvel signature of each PE file: reads the signer's domain and key id from
the file, fetches the key document from
  https://DOMAIN/.well-known/vantors/v1/KEYID
verifies the signature with the published key and reports the result with the texts of
the Quorvel tab of the Properties window.

Options:
  --json          Print one JSON object per file, one per line (JSON Lines), in the
                  order the files were given, with exactly these members, all strings
                  in UTF-8:
                    "file"         the path as given
                    "kind"         "verified", "failed" or "neutral"
                    "status"       the status line, e.g. "Quorvel: verified"
                    "result"       the result sentence
                    "domain"       the verification domain, "(not available)" if none
                    "description"  the key's description; empty when none was given
  --ca-file PEM   Trust the CA certificates in the PEM file PEM for the key fetch, in
                  addition to the system's trust store.
  --jobs N        Verify at most N files at once (1 to 256; default: one per processor
                  core). The output keeps the order of the files.
  --info          Only read each file's signature payload and print the signer's
                  domain and the key id (43 characters of base64url); contacts no
                  server and verifies nothing.
  --help, -h      Print this text.
  --              Treat every later argument as a file.

Output (without --json), per file:
  FILE
    Status:              the status line
    Verification domain: the signer's domain
    Key description:     the key's description, "(not provided)" if none
    Results:             the result sentence

Exit status:
  0  every file is verified (with --info: every file has a valid payload)
  1  at least one file is not
  2  usage error: unknown option, missing or bad value, no file
)usage";
}
