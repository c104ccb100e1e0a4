// The commands of quorvel-sign. Each returns the exit status (command_support.h) and writes
// its messages, prefixed "quorvel-sign: ", to err.
#pragma once

#include <cstdio>

#include "sign_command_line.h"

int RunKeygen(const SignCommandLine& line, std::FILE* out, std::FILE* err);
int RunKeyDocument(const SignCommandLine& line, std::FILE* out, std::FILE* err);
int RunSign(const SignCommandLine& line, std::FILE* out, std::FILE* err);
int RunRemove(const SignCommandLine& line, std::FILE* out, std::FILE* err);
int RunPrepare(const SignCommandLine& line, std::FILE* out, std::FILE* err);
int RunAttach(const SignCommandLine& line, std::FILE* out, std::FILE* err);
