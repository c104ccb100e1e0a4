// The modes of quorvel-verify. Each returns the process's exit status.
#pragma once

#include <cstdio>

#include "command_line.h"

inline constexpr int kExitAllGood = 0;
inline constexpr int kExitNotAllGood = 1;
inline constexpr int kExitUsage = 2;

// Verifies every file and prints the page's texts (or JSON Lines) to out: 0 when every file is
// verified, 1 otherwise, 2 (with a message on err) when a --key-document file cannot be read.
int RunVerifyCommand(const CommandLine& commandLine, std::FILE* out, std::FILE* err);

// Prints each file's domain and key id (or JSON Lines) to out: 0 when every file has a valid
// payload, 1 otherwise.
int RunInfoCommand(const CommandLine& commandLine, std::FILE* out);
