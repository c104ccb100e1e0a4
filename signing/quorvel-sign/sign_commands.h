// The three commands of quorvel-sign. Each returns the exit status and writes its messages,
// prefixed "quorvel-sign: ", to err.
#pragma once

#include <cstdio>

#include "sign_command_line.h"

inline constexpr int kSignExitDone = 0;
inline constexpr int kSignExitRefused = 1;
inline constexpr int kSignExitUsage = 2;

int RunKeygen(const SignCommandLine& line, std::FILE* out, std::FILE* err);
int RunKeyDocument(const SignCommandLine& line, std::FILE* out, std::FILE* err);
int RunSign(const SignCommandLine& line, std::FILE* out, std::FILE* err);
