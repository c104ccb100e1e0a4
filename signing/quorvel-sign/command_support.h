// What the commands of quorvel-sign share: their messages, the per-file loop, and signing one
// image into its output file.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "quorvel/quorvel_sign.h"
#include "sign_command_line.h"

inline constexpr int kSignExitDone = 0;
inline constexpr int kSignExitRefused = 1;
inline constexpr int kSignExitUsage = 2;

// Writes "quorvel-sign: MESSAGE" to err and returns kSignExitRefused.
int Refuse(std::FILE* err, const std::string& message);

// 32 bytes in base64url without padding: 43 characters.
std::string Base64Url(const unsigned char bytes[32]);

// The key id of a public key, as text.
std::string KeyIdText(const unsigned char publicKey[QUORVEL_SIGN_PUBLIC_KEY_BYTES]);

// The message for a status of the signing library, about the file at path.
std::string SignRefusal(int status, const std::string& path);

// The payload's rules (the library's), then the verification job's own check before its fetch:
// a domain either one refuses would make a signature that never verifies.
bool DomainAccepted(const std::string& domain, std::string* message);

// One file's work: true with the line to print on out, or false with the refusal for err.
using FileWork = std::function<bool(const std::string& file, std::string* said)>;

// Makes line.outDir when it is given and missing, then runs work on every file of line in
// order, one line each; a refusal does not stop the others. kSignExitRefused when any file was
// refused or the folder cannot be made (then no file is tried).
int ForEachFile(const SignCommandLine& line, std::FILE* out, std::FILE* err, const FileWork& work);

// The PE file to sign or to change: false with the refusal in *said.
bool ReadImage(const std::string& file, std::vector<unsigned char>* image, std::string* said);

// Writes bytes, made from file, atomically to target. *said holds the line to print on success,
// made before the file is in place (after that nothing may fail); a failure replaces it.
bool WriteOutput(const std::string& target, const std::string& file,
                 const std::vector<unsigned char>& bytes, std::string* said);

// Signs image (read from file) through signer with the command line's domain and options,
// writes it atomically to the file's output path, and says so.
bool SignAndWrite(const SignCommandLine& line, const std::string& file,
                  const std::vector<unsigned char>& image, const quorvel_signer& signer,
                  std::string* said);

// The library's options for the command line's --authenticode and --replace.
int SigningOptions(bool authenticode, bool replace);
