#include "shell_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace shell_test {

namespace {

constexpr DWORD kDebugPrintException = 0x40010006;      // DBG_PRINTEXCEPTION_C
constexpr DWORD kDebugPrintWideException = 0x4001000A;  // DBG_PRINTEXCEPTION_WIDE_C

std::mutex g_traceMutex;
std::vector<std::wstring> g_traceLines;

LONG CALLBACK TraceHandler(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->ExceptionCode == kDebugPrintWideException && record->NumberParameters >= 2) {
        const auto* text = reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]);
        std::lock_guard<std::mutex> lock(g_traceMutex);
        g_traceLines.emplace_back(text != nullptr ? text : L"");
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (record->ExceptionCode == kDebugPrintException && record->NumberParameters >= 2) {
        const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        std::lock_guard<std::mutex> lock(g_traceMutex);
        g_traceLines.push_back(FromUtf8(text != nullptr ? text : ""));
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring text(path, length);
    const size_t slash = text.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : text.substr(0, slash + 1);
}

std::wstring DllPath() {
    return ExeDirectory() + kDllName;
}

std::wstring HostPath() {
    return ExeDirectory() + L"quorvel-properties-host.exe";
}

std::wstring WinePathFromUnix(const std::string& unixPath) {
    std::wstring path = L"Z:";
    for (char c : unixPath) {
        path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return path;
}

std::wstring PathFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return {};
    }
    // Already a Windows path (drive letter): take it as it is.
    if (value[1] == ':') {
        return FromUtf8(value);
    }
    return WinePathFromUnix(value);
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            bytes, nullptr, nullptr);
    }
    return out;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0);
    std::wstring out(static_cast<size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            units);
    }
    return out;
}

std::string ReadFileBytes(const std::wstring& path) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return {};
    }
    std::string bytes;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
        bytes.append(buffer, got);
    }
    std::fclose(file);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        return false;
    }
    const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), file);
    return std::fclose(file) == 0 && written == bytes.size();
}

Dll::Dll() : module_(LoadLibraryW(DllPath().c_str())) {}

Dll::~Dll() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

HRESULT Dll::CanUnloadNow() const {
    auto function = Export<HRESULT(STDAPICALLTYPE*)()>("DllCanUnloadNow");
    return function != nullptr ? function() : E_UNEXPECTED;
}

HRESULT Dll::GetClassObject(REFCLSID classId, REFIID iid, void** object) const {
    auto function =
        Export<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
    return function != nullptr ? function(classId, iid, object) : E_UNEXPECTED;
}

HRESULT Dll::Register() const {
    auto function = Export<HRESULT(STDAPICALLTYPE*)()>("DllRegisterServer");
    return function != nullptr ? function() : E_UNEXPECTED;
}

HRESULT Dll::Unregister() const {
    auto function = Export<HRESULT(STDAPICALLTYPE*)()>("DllUnregisterServer");
    return function != nullptr ? function() : E_UNEXPECTED;
}

DebugTraceCapture::DebugTraceCapture() {
    {
        std::lock_guard<std::mutex> lock(g_traceMutex);
        g_traceLines.clear();
    }
    handler_ = AddVectoredExceptionHandler(1, TraceHandler);
}

DebugTraceCapture::~DebugTraceCapture() {
    if (handler_ != nullptr) {
        RemoveVectoredExceptionHandler(handler_);
    }
}

std::vector<std::wstring> DebugTraceCapture::Lines() const {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    return g_traceLines;
}

ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        return result;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process = {};
    std::wstring mutableLine = commandLine;
    result.started = CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                    nullptr, &startup, &process) != FALSE;
    CloseHandle(writeEnd);
    if (!result.started) {
        CloseHandle(readEnd);
        return result;
    }

    // Read until the pipe closes or the time is up; the loop is bounded by the deadline.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) {
            break;  // closed: the process has ended
        }
        if (available > 0) {
            char buffer[4096];
            DWORD got = 0;
            if (ReadFile(readEnd, buffer, available < sizeof(buffer) ? available : sizeof(buffer),
                         &got, nullptr) && got > 0) {
                result.output.append(buffer, got);
            }
            continue;
        }
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            // Drain what is left.
            while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
                char buffer[4096];
                DWORD got = 0;
                if (!ReadFile(readEnd, buffer, available < sizeof(buffer) ? available : sizeof(buffer),
                              &got, nullptr) || got == 0) {
                    break;
                }
                result.output.append(buffer, got);
            }
            break;
        }
        if (GetTickCount64() >= deadline) {
            break;
        }
        Sleep(20);
    }
    if (WaitForSingleObject(process.hProcess, 2000) == WAIT_OBJECT_0) {
        result.finished = true;
        GetExitCodeProcess(process.hProcess, &result.exitCode);
    } else {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(readEnd);
    return result;
}

std::map<std::string, std::string> ParseHostOutput(const std::string& output) {
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) {
            end = output.size();
        }
        const std::string line = output.substr(start, end - start);
        const size_t colon = line.find(": ");
        if (colon != std::string::npos) {
            fields[line.substr(0, colon)] = line.substr(colon + 2);
        }
        start = end + 1;
    }
    return fields;
}

}  // namespace shell_test
