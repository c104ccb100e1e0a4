#include <windows.h>
// after windows.h, which it needs
#include <sddl.h>

#include <string>

#include "common/text_conversion.h"
#include "program/files.h"

namespace {

std::wstring Wide(const std::string& utf8) {
    const std::u16string text = Utf8ToWide(utf8.c_str());
    return std::wstring(text.begin(), text.end());
}

bool Fail(std::string* error) {
    *error = "Windows error " + std::to_string(GetLastError());
    return false;
}

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    bool Close() {
        const bool closed = !valid() || CloseHandle(handle_) != FALSE;
        handle_ = INVALID_HANDLE_VALUE;
        return closed;
    }

  private:
    HANDLE handle_;
};

// Closes and removes a file made on the way, then reports the failure that made it useless: in
// this order, because the message may run out of memory, and no partial file may stay behind.
bool RemoveAndFail(Handle& file, const std::wstring& path, std::string* error) {
    const DWORD failure = GetLastError();
    file.Close();
    DeleteFileW(path.c_str());
    SetLastError(failure);
    return Fail(error);
}

bool WriteAll(HANDLE file, const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = size > 0x40000000U ? 0x40000000U : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, bytes, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return FlushFileBuffers(file) != FALSE;
}

// "D:P(A;;FA;;;SID)" for the user of this process: full access for the user, nobody else,
// nothing inherited. Freed with LocalFree.
PSECURITY_DESCRIPTOR UserOnlyDescriptor() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return nullptr;
    }
    Handle tokenHandle(token);
    unsigned char buffer[512];
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
        return nullptr;
    }
    LPWSTR sid = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
        return nullptr;
    }
    const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
    LocalFree(sid);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return nullptr;
    }
    return descriptor;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "." : path.substr(0, slash + 1 == 1 ? 1 : slash);
}

}  // namespace

bool ReadRegularFile(const std::string& path, std::size_t maxBytes, LargeFile large,
                     std::vector<unsigned char>* bytes, std::string* error) {
    if (path.find('\0') != std::string::npos) {
        *error = "the path holds a NUL character";
        return false;
    }
    Handle file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file.valid()) {
        return Fail(error);
    }
    // A device ("CON") or a pipe opens like a file but can make a read wait for ever.
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        *error = "not a regular file";
        return false;
    }
    if (!GetFileSizeEx(file.get(), &size)) {
        return Fail(error);
    }
    const auto fileSize = static_cast<unsigned long long>(size.QuadPart);
    if (fileSize > maxBytes && large == LargeFile::Refused) {
        *error = "too large";
        return false;
    }
    bytes->assign(fileSize > maxBytes ? maxBytes : static_cast<std::size_t>(fileSize), 0);
    std::size_t done = 0;
    while (done < bytes->size()) {
        const std::size_t left = bytes->size() - done;
        DWORD got = 0;
        if (!ReadFile(file.get(), bytes->data() + done,
                      left > 0x40000000U ? 0x40000000U : static_cast<DWORD>(left), &got, nullptr)) {
            return Fail(error);
        }
        if (got == 0) {
            *error = "the file shrank while it was read";
            return false;
        }
        done += got;
    }
    return true;
}

bool CreatePrivateFile(const std::string& path, const std::string& text, std::string* error) {
    PSECURITY_DESCRIPTOR descriptor = UserOnlyDescriptor();
    if (descriptor == nullptr) {
        return Fail(error);
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    const std::wstring widePath = Wide(path);
    Handle file(CreateFileW(widePath.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    LocalFree(descriptor);
    if (!file.valid()) {
        return Fail(error);
    }
    if (!WriteAll(file.get(), reinterpret_cast<const unsigned char*>(text.data()), text.size()) ||
        !file.Close()) {
        return RemoveAndFail(file, widePath, error);
    }
    return true;
}

bool WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes,
                         const std::string& /*modelPath: the folder's inherited ACL applies*/,
                         std::string* error) {
    const std::wstring target = Wide(path);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::wstring temporary = Wide(FolderOf(path)) + L"\\.quorvel-sign-" +
                                       std::to_wstring(GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(attempt) + L".tmp";
        Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            if (GetLastError() == ERROR_FILE_EXISTS) {
                continue;
            }
            return Fail(error);
        }
        if (!WriteAll(file.get(), bytes.data(), bytes.size()) || !file.Close() ||
            !MoveFileExW(temporary.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return RemoveAndFail(file, temporary, error);
        }
        return true;
    }
    *error = "no free temporary name";
    return false;
}

bool CreateFolder(const std::string& path, std::string* error) {
    const std::wstring folder = Wide(path);
    if (CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return true;
        }
    }
    return Fail(error);
}

bool RemoveFile(const std::string& path) { return DeleteFileW(Wide(path).c_str()) != FALSE; }
