// Windows: the wide command line and environment are converted to UTF-8, and the console is
// switched to UTF-8.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstring>

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

bool EnvironmentVariable(const char* name, std::string* value) {
    const std::wstring wideName(name, name + std::strlen(name));  // the names are ASCII
    const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (size == 0) {
        return false;
    }
    std::wstring wide(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(wideName.c_str(), wide.data(), size);
    if (length < size) {
        *value =
            WideToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), length));
    }
    SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));  // it may hold a secret
    return length < size;
}

void PrepareConsoleForUtf8() { SetConsoleOutputCP(CP_UTF8); }
