// Native: arguments are already bytes in the locale's encoding, taken to be UTF-8.
#include "program/console.h"

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    return arguments;
}

void PrepareConsoleForUtf8() {}
