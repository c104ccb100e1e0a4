// Windows random access: CreateFileW for a disk file, GetFileSizeEx, ReadFile at an offset.
#include <windows.h>

#include <cstdint>
#include <new>

#include "verification/random_access_file.h"

namespace {

struct WindowsFile {
    HANDLE file;
};

std::size_t ReadAt(void* handle, std::uint64_t offset, void* buffer, std::size_t count) {
    // ReadFile takes a DWORD count; the library asks again for whatever is left.
    const DWORD asked = count < 0x40000000u ? static_cast<DWORD>(count) : 0x40000000u;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(static_cast<WindowsFile*>(handle)->file, buffer, asked, &got, &at)) {
        return 0;
    }
    return got;
}

std::int64_t Size(void* handle) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(static_cast<WindowsFile*>(handle)->file, &size)) {
        return -1;
    }
    return size.QuadPart;
}

int Close(void* handle) {
    auto* file = static_cast<WindowsFile*>(handle);
    const BOOL closed = CloseHandle(file->file);
    delete file;
    return closed ? 0 : -1;
}

constexpr quorvel_random_io kRandomAccessFileIo{ReadAt, Size, Close};

}  // namespace

void* OpenRandomAccessFile(const std::u16string& path) {
    // A path with an embedded NUL would name another file than the one asked for.
    if (path.find(u'\0') != std::u16string::npos) {
        return nullptr;
    }
    // The sharing of the runtime's "rb" streams; a directory does not open without
    // FILE_FLAG_BACKUP_SEMANTICS.
    const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto* opened =
        GetFileType(file) == FILE_TYPE_DISK ? new (std::nothrow) WindowsFile{file} : nullptr;
    if (opened == nullptr) {
        CloseHandle(file);
        return nullptr;
    }
    return opened;
}

const quorvel_random_io* RandomAccessFileIo() { return &kRandomAccessFileIo; }
