#include "sign_command_line.h"

#include <sodium.h>

#include <algorithm>
#include <string_view>

#include "quorvel/quorvel_sign.h"
#include "token_key.h"

#ifndef QUORVEL_VERSION
#error "QUORVEL_VERSION must be the project's version"
#endif

namespace {

constexpr char kUsage[] =
    "Usage: quorvel-sign keygen KEY [--pkcs11-module PATH]\n"
    "       quorvel-sign key-document --key KEY [--pkcs11-module PATH] [--description TEXT]\n"
    "                                 [--revoked] [-o FILE]\n"
    "       quorvel-sign sign --key KEY [--pkcs11-module PATH] --domain DOMAIN [--authenticode]\n"
    "                         [--replace] [-o OUT | --out-dir DIR] FILE...\n"
    "       quorvel-sign prepare --domain DOMAIN [--authenticode] [--replace]\n"
    "                         [--public-key PUB] [-o REQUEST | --out-dir DIR] FILE...\n"
    "       quorvel-sign attach --request REQUEST --signature SIG --public-key PUB\n"
    "                         [--replace] [-o OUT] FILE\n"
    "       quorvel-sign remove [-o OUT | --out-dir DIR] FILE...\n"
    "       quorvel-sign --help | --version\n"
    "\n"
    "Makes the Quorvel signatures that quorvel-verify and the Quorvel tab check.\n"
    "\n"
    "  keygen        Writes a new Ed25519 private key (PKCS#8 PEM, readable only by you) to\n"
    "                the key file KEY, which must not exist yet, or makes it on the token that\n"
    "                KEY names, and prints the key id.\n"
    "  key-document  Prints the key's public key document (or writes it to FILE). Publish it\n"
    "                at https://DOMAIN/.well-known/vantors/v1/KEYID; --revoked marks the key\n"
    "                as no longer trusted, --description gives the text the tab shows.\n"
    "  sign          Signs each PE file for DOMAIN (a host name, optionally with :port) in\n"
    "                place, or writes the signed copy to OUT or into DIR. The signature goes\n"
    "                into a certificate-table entry of its own; with --authenticode it goes\n"
    "                into the file's existing Authenticode signature, which stays valid.\n"
    "                --replace takes out a Quorvel signature the file already carries.\n"
    "  prepare       Signing elsewhere, step one: for each file, writes the signing request\n"
    "                FILE.quorvel-request (or REQUEST, or into DIR) and beside it the 32-byte\n"
    "                digest to sign, FILE.quorvel-digest. The file is not changed. Sign the\n"
    "                digest as it is with pure Ed25519, e.g.\n"
    "                  openssl pkeyutl -sign -rawin -inkey KEY -in FILE.quorvel-digest -out SIG\n"
    "                --public-key pins the key that must sign.\n"
    "  attach        Step two: checks that FILE is the prepared file and that SIG (64 bytes,\n"
    "                or their base64) signs its digest under PUB (PEM, as 'openssl pkey\n"
    "                -pubout' writes it, or the key document), then writes the file exactly\n"
    "                as sign would have.\n"
    "  remove        Takes the Quorvel signature out of each file, leaving it as it was.\n"
    "\n"
    "With several files, each gets one line; a refused file does not stop the others.\n"
    "Keys made by 'openssl genpkey -algorithm ed25519' work as well.\n"
    "\n"
    "KEY is a key file, or a key in a PKCS#11 token named by a pkcs11: URI, e.g.\n"
    "  'pkcs11:token=release;object=quorvel?module-path=/usr/lib/softhsm/libsofthsm2.so'\n"
    "The module is the URI's module-path or --pkcs11-module. The PIN is read from the file\n"
    "that the URI's pin-source names, or from the environment variable QUORVEL_PKCS11_PIN;\n"
    "never from the command line, which other users can see. keygen with a URI makes the key\n"
    "on the token, labelled with the URI's object.\n"
    "Exit status: 0 done, 1 refused (a refused file is left as it was, and nothing is written\n"
    "for it), 2 usage error.\n";

bool Has(const std::vector<std::string>& arguments, std::string_view word) {
    return std::find(arguments.begin(), arguments.end(), word) != arguments.end();
}

SignCommandLine UsageError(std::string error) {
    SignCommandLine line;
    line.mode = SignMode::UsageError;
    line.error = std::move(error);
    return line;
}

struct Command {
    const char* word;
    SignMode mode;
    const char* options;  // the options it takes, each followed by a space
};

const Command kCommands[] = {
    {"keygen", SignMode::Keygen, "--pkcs11-module "},
    {"key-document", SignMode::KeyDocument, "--key --pkcs11-module --description --revoked -o "},
    {"sign", SignMode::Sign,
     "--key --pkcs11-module --domain --authenticode --replace -o --out-dir "},
    {"prepare", SignMode::Prepare, "--domain --authenticode --replace --public-key -o --out-dir "},
    {"attach", SignMode::Attach, "--request --signature --public-key --replace -o "},
    {"remove", SignMode::Remove, "-o --out-dir "},
};

bool Takes(const Command& command, const std::string& option) {
    const std::string_view options = command.options;
    const std::size_t at = options.find(option + " ");
    return at != std::string_view::npos && (at == 0 || options[at - 1] == ' ');
}

// The rules between the operands and -o, --out-dir and the required options.
std::string OperandError(const Command& command, const SignCommandLine& line,
                         const std::vector<std::string>& arguments) {
    const std::string word = command.word;
    const std::size_t count = line.files.size();
    if (line.mode == SignMode::KeyDocument) {
        return count != 0             ? "key-document takes no file operand"
               : line.keyFile.empty() ? "key-document needs --key KEY"
                                      : "";
    }
    if ((line.mode == SignMode::Keygen || line.mode == SignMode::Attach) && count != 1) {
        return word + " takes exactly one file";
    }
    if (count == 0) {
        return word + " needs at least one file";
    }
    if (line.mode == SignMode::Sign && line.keyFile.empty()) {
        return word + " needs --key KEY";
    }
    if ((line.mode == SignMode::Sign || line.mode == SignMode::Prepare) &&
        !Has(arguments, "--domain")) {
        return word + " needs --domain DOMAIN";
    }
    if (line.mode == SignMode::Attach &&
        (line.request.empty() || line.signature.empty() || line.publicKey.empty())) {
        return "attach needs --request REQUEST, --signature SIG and --public-key PUB";
    }
    if (!line.output.empty() && !line.outDir.empty()) {
        return "-o and --out-dir exclude each other";
    }
    if (!line.output.empty() && count > 1) {
        return "-o takes one file; with several, give --out-dir DIR (or none: in place)";
    }
    std::vector<std::string> outputs;
    for (const std::string& file : line.files) {
        outputs.push_back(OutputPath(line, file, ""));
    }
    std::sort(outputs.begin(), outputs.end());
    const auto twice = std::adjacent_find(outputs.begin(), outputs.end());
    if (twice != outputs.end()) {
        return "two files would both be written to " + *twice;
    }
    return "";
}

}  // namespace

SignCommandLine ParseSignCommandLine(const std::vector<std::string>& arguments) {
    if (Has(arguments, "--help")) {
        SignCommandLine line;
        line.mode = SignMode::Help;
        return line;
    }
    if (Has(arguments, "--version")) {
        SignCommandLine line;
        line.mode = SignMode::Version;
        return line;
    }
    if (arguments.empty()) {
        return UsageError("no command given");
    }
    const std::string& word = arguments.front();
    const auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                      [&](const Command& c) { return word == c.word; });
    if (command == std::end(kCommands)) {
        return UsageError("unknown command '" + word + "'");
    }
    SignCommandLine line;
    line.mode = command->mode;
    std::vector<std::string> seen;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() < 2 || argument[0] != '-') {
            line.files.push_back(argument);
            continue;
        }
        if (std::find(seen.begin(), seen.end(), argument) != seen.end()) {
            return UsageError(argument + " given twice");
        }
        seen.push_back(argument);
        const struct {
            const char* name;
            std::string* value;
            bool* flag;
        } options[] = {
            {"--key", &line.keyFile, nullptr},
            {"--pkcs11-module", &line.pkcs11Module, nullptr},
            {"--domain", &line.domain, nullptr},
            {"--description", &line.description, &line.hasDescription},
            {"--request", &line.request, nullptr},
            {"--signature", &line.signature, nullptr},
            {"--public-key", &line.publicKey, nullptr},
            {"-o", &line.output, nullptr},
            {"--out-dir", &line.outDir, nullptr},
            {"--authenticode", nullptr, &line.authenticode},
            {"--replace", nullptr, &line.replace},
            {"--revoked", nullptr, &line.revoked},
        };
        const auto option = std::find_if(std::begin(options), std::end(options),
                                         [&](const auto& o) { return argument == o.name; });
        if (option == std::end(options) || !Takes(*command, argument)) {
            return UsageError("unknown option " + argument + " for " + word);
        }
        if (option->flag != nullptr) {
            *option->flag = true;
        }
        if (option->value != nullptr) {
            if (i + 1 == arguments.size()) {
                return UsageError(argument + " needs a value");
            }
            *option->value = arguments[++i];
            // Only a description or a domain may be empty (the domain is refused later).
            if (option->value->empty() && option->value != &line.description &&
                option->value != &line.domain) {
                return UsageError(argument + " needs a value");
            }
        }
    }
    const std::string error = OperandError(*command, line, arguments);
    if (!error.empty()) {
        return UsageError(error);
    }
    if (line.mode == SignMode::Keygen) {
        line.keyFile = line.files.front();
    }
    if (!line.pkcs11Module.empty() && !IsTokenUri(line.keyFile)) {
        return UsageError("--pkcs11-module is for a key in a token (a pkcs11: URI)");
    }
    return line;
}

std::string BaseName(const std::string& path) {
#ifdef _WIN32
    const std::size_t separator = path.find_last_of("/\\:");
#else
    const std::size_t separator = path.rfind('/');
#endif
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string OutputPath(const SignCommandLine& line, const std::string& file,
                       const std::string& suffix) {
    if (!line.output.empty()) {
        return line.output;
    }
    if (line.outDir.empty()) {
        return file + suffix;
    }
    const bool separated = BaseName(line.outDir).empty();  // "dist/" as well as "dist"
    return line.outDir + (separated ? "" : "/") + BaseName(file) + suffix;
}

const char* SignUsageText() { return kUsage; }

std::string SignVersionText() {
    std::string text = "quorvel-sign " QUORVEL_VERSION "\n";
    text += std::string("libsodium ") + sodium_version_string() + "\n";
    const char* pkcs7 = quorvel_sign_pkcs7_library();
    text += pkcs7 != nullptr ? std::string(pkcs7) + "\n"
                             : std::string("PKCS#7: the system's cryptographic messages\n");
    return text;
}
