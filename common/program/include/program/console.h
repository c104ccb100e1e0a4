// The process's command line, environment and console, per platform.
#pragma once

#include <string>
#include <vector>

// The arguments after the program name, in UTF-8.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// The value of the environment variable name in UTF-8; false when it is not set.
bool EnvironmentVariable(const char* name, std::string* value);

// Makes the console show the UTF-8 that the program writes.
void PrepareConsoleForUtf8();
