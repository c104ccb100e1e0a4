#include "windows_test_files.h"

#include <windows.h>

#include <stdexcept>
#include <string>

namespace windows_test {
namespace {

std::runtime_error SystemError(const char* what, const std::wstring& path) {
    const DWORD code = GetLastError();
    std::string narrow;
    for (const wchar_t c : path) {
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return std::runtime_error(std::string(what) + " failed with " + std::to_string(code) +
                              ": " + narrow);
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(ExtendedPath(path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveTree(child);
            } else {
                DeleteFileW(ExtendedPath(child).c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(ExtendedPath(path).c_str());
}

}  // namespace

TempFolder::TempFolder() {
    wchar_t base[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH) {
        throw SystemError("GetTempPathW", L"");
    }
    std::wstring folder(base, length);
    if (!folder.empty() && folder.back() == L'\\') {
        folder.pop_back();
    }
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::wstring candidate = folder + L"\\quorvel-windows-test-" +
                                       std::to_wstring(GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(GetTickCount64()) + L"-" +
                                       std::to_wstring(attempt);
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    throw SystemError("CreateDirectoryW", folder);
}

TempFolder::~TempFolder() { RemoveTree(path_); }

std::wstring ExtendedPath(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0) {
        return path;
    }
    return L"\\\\?\\" + path;
}

void CreateFolders(const std::wstring& path) {
    // Skip the drive ("C:\") and create each level in turn.
    for (std::size_t next = path.find(L'\\', 3); ; next = path.find(L'\\', next + 1)) {
        const std::wstring level = path.substr(0, next);
        if (!CreateDirectoryW(ExtendedPath(level).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            throw SystemError("CreateDirectoryW", level);
        }
        if (next == std::wstring::npos) {
            return;
        }
    }
}

void WriteWholeFile(const std::wstring& path, const quorvel_test::Bytes& bytes) {
    HANDLE file = CreateFileW(ExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw SystemError("CreateFileW", path);
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr);
    CloseHandle(file);
    if (!ok || written != bytes.size()) {
        throw SystemError("WriteFile", path);
    }
}

quorvel_test::Bytes ReadWholeFile(const std::wstring& path) {
    HANDLE file = CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw SystemError("CreateFileW", path);
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart > 256 * 1024 * 1024) {
        CloseHandle(file);
        throw SystemError("GetFileSizeEx", path);
    }
    quorvel_test::Bytes bytes(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    const BOOL ok = bytes.empty() || ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                              &read, nullptr);
    CloseHandle(file);
    if (!ok || (!bytes.empty() && read != bytes.size())) {
        throw SystemError("ReadFile", path);
    }
    return bytes;
}

std::wstring ExecutableFolder() {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) {
        throw SystemError("GetModuleFileNameW", L"");
    }
    path.resize(length);
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring WindowsPathFromHost(const std::string& path) {
    if (path.empty()) {
        return std::wstring();
    }
    const int length = MultiByteToWideChar(CP_UTF8, 0, path.data(),
                                           static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(),
                        length);
    if (wide[0] == L'/') {
        // A host path under Wine: drive Z: is the host's root folder.
        for (wchar_t& c : wide) {
            if (c == L'/') {
                c = L'\\';
            }
        }
        wide = L"Z:" + wide;
    }
    return wide;
}

std::vector<std::vector<std::string>> ReadTable(const std::wstring& path) {
    const quorvel_test::Bytes bytes = ReadWholeFile(path);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    auto finish = [&rows](const std::string& text) {
        if (text.empty()) {
            return;
        }
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (std::size_t tab = text.find('\t'); tab != std::string::npos;
             tab = text.find('\t', start)) {
            fields.push_back(text.substr(start, tab - start));
            start = tab + 1;
        }
        fields.push_back(text.substr(start));
        rows.push_back(std::move(fields));
    };
    for (const unsigned char byte : bytes) {
        if (byte == '\n') {
            finish(line);
            line.clear();
        } else {
            line += static_cast<char>(byte);
        }
    }
    finish(line);
    return rows;
}

}  // namespace windows_test
