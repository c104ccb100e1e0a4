// Windows: the wide command line is converted to UTF-8, and the console is switched to UTF-8.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "common/text_conversion.h"
#include "program/console.h"

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        for (int i = 1; i < argc; ++i) {
            arguments.emplace_back(argv[i]);
        }
        return arguments;
    }
    for (int i = 1; i < count; ++i) {
        arguments.push_back(WideToUtf8(reinterpret_cast<const char16_t*>(wide[i])));
    }
    LocalFree(wide);
    return arguments;
}

void PrepareConsoleForUtf8() { SetConsoleOutputCP(CP_UTF8); }
