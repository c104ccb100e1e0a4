#include "command_line.h"

#include <cstddef>
#include <string_view>
#include <utility>

namespace {

constexpr std::string_view kJobsOption = "--jobs";
constexpr std::string_view kCaFileOption = "--ca-file";
constexpr std::string_view kRequireDomainOption = "--require-domain";
constexpr std::string_view kKeyDocumentOption = "--key-document";

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

// DOMAIN=FILE, split at the first '=' (a domain has none; a file name may).
bool ParseKeyDocument(std::string_view text, KeyDocumentOption& option) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0 || equals + 1 == text.size()) {
        return false;
    }
    option.domain = text.substr(0, equals);
    option.file = text.substr(equals + 1);
    return true;
}

CommandLine UsageError(std::string message) {
    CommandLine result;
    result.mode = CommandMode::UsageError;
    result.error = std::move(message);
    return result;
}

CommandLine OnlyMode(CommandMode mode) {
    CommandLine result;
    result.mode = mode;
    return result;
}

bool IsHelp(std::string_view argument) { return argument == "--help" || argument == "-h"; }

bool IsValueOption(std::string_view name) {
    return name == kJobsOption || name == kCaFileOption || name == kRequireDomainOption ||
           name == kKeyDocumentOption;
}

// The modes that stand alone, looked for before anything else is parsed.
CommandMode StandAloneMode(const std::vector<std::string>& arguments) {
    bool version = false;
    for (const std::string& argument : arguments) {
        if (argument == "--") {
            break;
        }
        if (IsHelp(argument)) {
            return CommandMode::Help;
        }
        version = version || argument == "--version";
    }
    return version ? CommandMode::Version : CommandMode::Verify;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    const CommandMode standAlone = StandAloneMode(arguments);
    if (standAlone != CommandMode::Verify) {
        return OnlyMode(standAlone);
    }

    CommandLine result;
    bool info = false;
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
        if (argument == "--offline") {
            result.offline = true;
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
        if (!IsValueOption(name)) {
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
        } else if (name == kCaFileOption) {
            if (value.empty()) {
                return UsageError("--ca-file needs a file name");
            }
            result.caFile = value;
            caFileGiven = true;
        } else if (name == kRequireDomainOption) {
            if (value.empty()) {
                return UsageError("--require-domain needs a domain");
            }
            result.requiredDomains.emplace_back(value);
        } else {
            KeyDocumentOption document;
            if (!ParseKeyDocument(value, document)) {
                return UsageError("--key-document needs DOMAIN=FILE, not '" + std::string(value) +
                                  "'");
            }
            result.keyDocuments.push_back(std::move(document));
        }
    }

    if (info && (caFileGiven || result.offline || !result.requiredDomains.empty() ||
                 !result.keyDocuments.empty())) {
        return UsageError(
            "--info cannot be combined with --ca-file, --require-domain, --key-document or "
            "--offline");
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
                 [--require-domain DOMAIN]... [--key-document DOMAIN=FILE]... [--offline]
  quorvel-verify --info [--json] [--jobs N] FILE...
  quorvel-verify --version
  quorvel-verify --help

Checks the Quorvel signature of each PE file: reads the signer's domain and key id from
the file, fetches the key document from
  https://DOMAIN/.well-known/vantors/v1/KEYID
(once per DOMAIN and KEYID in a run, however many files name them), verifies the
signature with the published key and reports the result with the texts of the Quorvel
tab of the Properties window. Options may stand before or after the files.

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
                  With --info the members are "file", "kind", "status", "result",
                  "domain" (the payload's domain, empty if none) and "key_id" (43
                  characters of base64url, empty without a payload).
  --ca-file PEM   Trust the CA certificates in the PEM file PEM for the key fetch, in
                  addition to the system's trust store.
  --jobs N        Check at most N files at once (1 to 256; default: one per processor
                  core). The output keeps the order of the files.
  --require-domain DOMAIN
                  Accept only files signed by DOMAIN (may be repeated: any of them).
                  A file that names another domain fails as
                  "Quorvel: unexpected signer (ITS DOMAIN)" without any connection. Compared without regard
                  to ASCII letter case; a port is part of the domain (example.com:8443).
  --key-document DOMAIN=FILE
                  Use FILE, a key document saved from DOMAIN's well-known address,
                  instead of fetching it (may be repeated). It is used only for files
                  that name DOMAIN (compared as for --require-domain) and the key id
                  of its "jwk"."kid", and is checked as a fetched document is. A
                  document whose kid cannot be read (not JSON, no jwk, missing JWK
                  fields, another key type, larger than 65536 bytes) stands for every
                  key id of DOMAIN, so that its files show why it is unusable.
  --offline       Never connect: a file whose domain and key id no --key-document
                  covers fails as "Quorvel: key document not available offline".
  --info          Only read each file's signature payload and print the signer's
                  domain and the key id (43 characters of base64url); contacts no
                  server and verifies nothing. With --json its status is
                  "Quorvel: payload read" when the payload was read, otherwise the reading
                  failure's status line of verification (e.g. "Quorvel: no signature").
  --version       Print the version of quorvel-verify and of the libraries it uses.
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
  2  usage error: unknown option, missing or bad value, no file, a --key-document
     FILE that cannot be read
)usage";
}
