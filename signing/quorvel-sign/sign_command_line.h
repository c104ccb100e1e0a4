// The arguments of quorvel-sign.
#pragma once

#include <string>
#include <vector>

enum class SignMode { Keygen, KeyDocument, Sign, Help, Version, UsageError };

struct SignCommandLine {
    SignMode mode = SignMode::UsageError;
    std::string keyFile;        // keygen's KEYFILE, or --key: a key file or a pkcs11: URI
    std::string pkcs11Module;   // --pkcs11-module: the token's module, for a pkcs11: URI
    std::string domain;         // sign --domain
    bool authenticode = false;  // sign --authenticode
    std::string description;    // key-document --description
    bool hasDescription = false;
    bool revoked = false;  // key-document --revoked
    std::string output;    // -o; empty: in place (sign) or standard output (key-document)
    std::string file;      // sign's FILE
    std::string error;     // what is wrong, for SignMode::UsageError
};

// arguments excludes the program name: a command word, then its options and operands in any
// order. "--help" anywhere wins, then "--version".
SignCommandLine ParseSignCommandLine(const std::vector<std::string>& arguments);

// The text that --help prints.
const char* SignUsageText();

// "quorvel-sign VERSION", then the libraries that make the signature, one line each.
std::string SignVersionText();
