// quorvel-shell-integration.dll as the tests reach it: beside the test program in bin/, loaded
// once for the whole program, with its exports.
#pragma once

#include <windows.h>

#include <string>

namespace shell_test {

inline constexpr CLSID kClassId = {
    0x6B2D91C4, 0x3E07, 0x4A5F, {0x8C, 0x1D, 0x27, 0xE9, 0xF0, 0xA4, 0xB3, 0x18}};
inline constexpr wchar_t kClassIdText[] = L"{6B2D91C4-3E07-4A5F-8C1D-27E9F0A4B318}";

// The folder of bin/, with a trailing backslash.
inline std::wstring BinFolder() {
    wchar_t path[MAX_PATH] = {};
    const std::wstring program(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return program.substr(0, program.find_last_of(L'\\') + 1);
}

inline std::wstring DllPath() { return BinFolder() + L"quorvel-shell-integration.dll"; }

inline HMODULE Module() {
    static const HMODULE module = LoadLibraryW(DllPath().c_str());
    return module;
}

template <typename Function = HRESULT(STDAPICALLTYPE*)()>
Function Export(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(Module(), name)));
}

inline HRESULT CanUnloadNow() { return Export("DllCanUnloadNow")(); }

}  // namespace shell_test
