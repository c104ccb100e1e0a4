// The arguments of quorvel-sign.
#pragma once

#include <string>
#include <vector>

enum class SignMode {
    Keygen,
    KeyDocument,
    Sign,
    Prepare,
    Attach,
    Remove,
    Help,
    Version,
    UsageError
};

struct SignCommandLine {
    SignMode mode = SignMode::UsageError;
    std::string keyFile;        // keygen's KEY, or --key: a key file or a pkcs11: URI
    std::string pkcs11Module;   // --pkcs11-module: the token's module, for a pkcs11: URI
    std::string domain;         // sign, prepare --domain
    bool authenticode = false;  // sign, prepare --authenticode
    bool replace = false;       // sign, prepare, attach --replace
    std::string description;    // key-document --description
    bool hasDescription = false;
    bool revoked = false;            // key-document --revoked
    std::string request;             // attach --request
    std::string signature;           // attach --signature
    std::string publicKey;           // attach --public-key; prepare --public-key pins the key
    std::string output;              // -o; only with one file
    std::string outDir;              // --out-dir; empty: beside each file (or in place)
    std::vector<std::string> files;  // the FILE operands, as given
    std::string error;               // what is wrong, for SignMode::UsageError
};

// arguments excludes the program name: a command word, then its options and operands in any
// order. "--help" anywhere wins, then "--version".
SignCommandLine ParseSignCommandLine(const std::vector<std::string>& arguments);

// The last component of a path (after '/', and on Windows also '\\' or a drive's ':').
std::string BaseName(const std::string& path);

// Where the output for file goes: -o, or DIR/NAME + suffix with --out-dir, or file + suffix
// (in place when suffix is empty).
std::string OutputPath(const SignCommandLine& line, const std::string& file,
                       const std::string& suffix);

// The text that --help prints.
const char* SignUsageText();

// "quorvel-sign VERSION", then the libraries that make the signature, one line each.
std::string SignVersionText();
