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
    "                         [-o OUT] FILE\n"
    "       quorvel-sign --help | --version\n"
    "\n"
    "Makes the Quorvel signatures that quorvel-verify and the Quorvel tab check.\n"
    "\n"
    "  keygen        Writes a new Ed25519 private key (PKCS#8 PEM, readable only by you) to\n"
    "                KEYFILE, which must not exist yet, and prints the key id.\n"
    "  key-document  Prints the key's public key document (or writes it to FILE). Publish it\n"
    "                at https://DOMAIN/.well-known/vantors/v1/KEYID; --revoked marks the key\n"
    "                as no longer trusted, --description gives the text the tab shows.\n"
    "  sign          Signs the PE file FILE for DOMAIN (a host name, optionally with :port)\n"
    "                in place, or writes the signed copy to OUT. The signature goes into a\n"
    "                certificate-table entry of its own; with --authenticode it goes into the\n"
    "                file's existing Authenticode signature, which stays valid.\n"
    "\n"
    "Keys made by 'openssl genpkey -algorithm ed25519' work as well.\n"
    "\n"
    "KEY is a key file, or a key in a PKCS#11 token named by a pkcs11: URI, e.g.\n"
    "  'pkcs11:token=release;object=quorvel?module-path=/usr/lib/softhsm/libsofthsm2.so'\n"
    "The module is the URI's module-path or --pkcs11-module. The PIN is read from the file\n"
    "that the URI's pin-source names, or from the environment variable QUORVEL_PKCS11_PIN;\n"
    "never from the command line, which other users can see. keygen with a URI makes the key\n"
    "on the token, labelled with the URI's object.\n"
    "Exit status: 0 done, 1 refused (nothing was written), 2 usage error.\n";

bool Has(const std::vector<std::string>& arguments, std::string_view word) {
    return std::find(arguments.begin(), arguments.end(), word) != arguments.end();
}

SignCommandLine UsageError(std::string error) {
    SignCommandLine line;
    line.mode = SignMode::UsageError;
    line.error = std::move(error);
    return line;
}

// Options of one command; the value options take the next argument.
struct Allowed {
    bool key, domain, authenticode, description, revoked, output, pkcs11Module;
};

Allowed AllowedFor(SignMode mode) {
    switch (mode) {
        case SignMode::Keygen:
            return {false, false, false, false, false, false, true};
        case SignMode::KeyDocument:
            return {true, false, false, true, true, true, true};
        case SignMode::Sign:
            return {true, true, true, false, false, true, true};
        default:
            return {};
    }
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
    SignCommandLine line;
    const std::string& command = arguments.front();
    if (command == "keygen") {
        line.mode = SignMode::Keygen;
    } else if (command == "key-document") {
        line.mode = SignMode::KeyDocument;
    } else if (command == "sign") {
        line.mode = SignMode::Sign;
    } else {
        return UsageError("unknown command '" + command + "'");
    }
    const Allowed allowed = AllowedFor(line.mode);
    std::vector<std::string> operands;
    std::vector<std::string> seen;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() < 2 || argument[0] != '-') {
            operands.push_back(argument);
            continue;
        }
        if (std::find(seen.begin(), seen.end(), argument) != seen.end()) {
            return UsageError(argument + " given twice");
        }
        seen.push_back(argument);
        std::string* value = nullptr;
        if (argument == "--key" && allowed.key) {
            value = &line.keyFile;
        } else if (argument == "--domain" && allowed.domain) {
            value = &line.domain;
        } else if (argument == "--description" && allowed.description) {
            value = &line.description;
            line.hasDescription = true;
        } else if (argument == "-o" && allowed.output) {
            value = &line.output;
        } else if (argument == "--pkcs11-module" && allowed.pkcs11Module) {
            value = &line.pkcs11Module;
        } else if (argument == "--authenticode" && allowed.authenticode) {
            line.authenticode = true;
        } else if (argument == "--revoked" && allowed.revoked) {
            line.revoked = true;
        } else {
            return UsageError("unknown option " + argument + " for " + command);
        }
        if (value != nullptr) {
            if (i + 1 == arguments.size()) {
                return UsageError(argument + " needs a value");
            }
            *value = arguments[++i];
            if (value != &line.domain && value != &line.description && value->empty()) {
                return UsageError(argument + " needs a value");
            }
        }
    }
    const std::size_t wanted = line.mode == SignMode::KeyDocument ? 0 : 1;
    if (operands.size() != wanted) {
        return UsageError(wanted == 0 ? "key-document takes no file operand"
                                      : command + " takes exactly one file");
    }
    if (line.mode == SignMode::Keygen) {
        line.keyFile = operands.front();
    } else if (line.keyFile.empty()) {
        return UsageError(command + " needs --key KEYFILE");
    }
    if (!line.pkcs11Module.empty() && !IsTokenUri(line.keyFile)) {
        return UsageError("--pkcs11-module is for a key in a token (a pkcs11: URI)");
    }
    if (line.mode == SignMode::Sign) {
        if (!Has(arguments, "--domain")) {
            return UsageError("sign needs --domain DOMAIN");
        }
        line.file = operands.front();
    }
    return line;
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
