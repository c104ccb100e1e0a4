// Native: arguments are already bytes in the locale's encoding, taken to be UTF-8.
#include <cstdlib>

#include "program/console.h"

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    return arguments;
}

bool EnvironmentVariable(const char* name, std::string* value) {
    const char* text = std::getenv(name);
    if (text != nullptr) {
        *value = text;
    }
    return text != nullptr;
}

void PrepareConsoleForUtf8() {}
