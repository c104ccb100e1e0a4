// Windows paths: the UTF-16 path is the wide path for _wfopen_s, and the stream is read with
// fread, _fseeki64 and _ftelli64.
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "verification/file_stream.h"

namespace {

std::size_t StreamRead(void* buffer, std::size_t size, std::size_t count, void* handle) {
    return std::fread(buffer, size, count, static_cast<std::FILE*>(handle));
}

int StreamSeek(void* handle, std::int64_t offset, int origin) {
    return _fseeki64(static_cast<std::FILE*>(handle), offset, origin);
}

std::int64_t StreamTell(void* handle) { return _ftelli64(static_cast<std::FILE*>(handle)); }

int StreamClose(void* handle) { return std::fclose(static_cast<std::FILE*>(handle)); }

constexpr quorvel_io kFileStreamIo{StreamRead, StreamSeek, StreamTell, StreamClose};

}  // namespace

void* OpenFileStream(const std::u16string& path) {
    // A path with an embedded NUL would name another file than the one asked for.
    if (path.find(u'\0') != std::u16string::npos) {
        return nullptr;
    }
    std::FILE* stream = nullptr;
    if (_wfopen_s(&stream, reinterpret_cast<const wchar_t*>(path.c_str()), L"rb") != 0) {
        return nullptr;
    }
    // A device ("CON", "COM1") or a pipe ("\\.\pipe\NAME") opens like a file but can make a
    // read wait for ever: only a file on a disk is read.
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) != FILE_TYPE_DISK) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}

const quorvel_io* FileStreamIo() { return &kFileStreamIo; }
