// Helpers for the tests of quorvel-shell-integration.dll under Wine: loading the DLL beside the
// test program, capturing debugger-channel lines, running the host program.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace shell_test {

// {6B2D91C4-3E07-4A5F-8C1D-27E9F0A4B318}
inline constexpr CLSID kClassId = {
    0x6B2D91C4, 0x3E07, 0x4A5F, {0x8C, 0x1D, 0x27, 0xE9, 0xF0, 0xA4, 0xB3, 0x18}};
inline constexpr wchar_t kClassIdText[] = L"{6B2D91C4-3E07-4A5F-8C1D-27E9F0A4B318}";
inline constexpr wchar_t kDllName[] = L"quorvel-shell-integration.dll";

// The folder of the running test program, with a trailing backslash. The DLL and the host
// program are built into the same folder.
std::wstring ExeDirectory();
std::wstring DllPath();
std::wstring HostPath();

// A Unix path from the environment (set by CTest) as a Windows path on Wine's Z: drive; empty
// when the variable is not set.
std::wstring PathFromEnvironment(const char* name);
std::wstring WinePathFromUnix(const std::string& unixPath);

// The system's own conversions, not common/'s: the page builds its texts with those, and the
// expected texts must not share a fault with them.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

std::string ReadFileBytes(const std::wstring& path);     // empty when missing
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);

// The DLL loaded with LoadLibraryW, freed at scope end.
class Dll {
public:
    Dll();
    ~Dll();
    Dll(const Dll&) = delete;
    Dll& operator=(const Dll&) = delete;

    HMODULE module() const { return module_; }
    template <typename Function>
    Function Export(const char* name) const {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }
    HRESULT CanUnloadNow() const;
    HRESULT GetClassObject(REFCLSID classId, REFIID iid, void** object) const;
    HRESULT Register() const;
    HRESULT Unregister() const;

private:
    HMODULE module_ = nullptr;
};

// Captures OutputDebugString lines of this process (through a vectored exception handler that
// takes the debugger-print exception, as a debugger would) while it lives.
class DebugTraceCapture {
public:
    DebugTraceCapture();
    ~DebugTraceCapture();
    DebugTraceCapture(const DebugTraceCapture&) = delete;
    DebugTraceCapture& operator=(const DebugTraceCapture&) = delete;

    // The lines captured so far, each exactly as sent (with its CR LF).
    std::vector<std::wstring> Lines() const;

private:
    void* handler_ = nullptr;
};

struct ProcessResult {
    bool started = false;
    bool finished = false;   // ended within the time limit
    DWORD exitCode = 0;
    std::string output;      // standard output
};

// Runs commandLine with standard output captured; kills it after timeoutMs.
ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs);

// "key: value" lines of the host program; a later line with the same key wins.
std::map<std::string, std::string> ParseHostOutput(const std::string& output);

}  // namespace shell_test
