// Native paths: the UTF-16 path is converted to UTF-8 for fopen, and the stream is read with
// fread, fseeko and ftello (64-bit positions).
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>

#include "verification/file_stream.h"

namespace {

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// False for a path that no file can have: an unpaired surrogate or an embedded NUL.
bool ToNativePath(const std::u16string& path, std::string& native) {
    native.clear();
    native.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char16_t unit = path[i];
        if (unit == 0 || IsLowSurrogate(unit)) {
            return false;
        }
        if (IsHighSurrogate(unit)) {
            if (i + 1 >= path.size() || !IsLowSurrogate(path[i + 1])) {
                return false;
            }
            const char32_t high = unit - 0xD800U;
            const char32_t low = path[i + 1] - 0xDC00U;
            AppendUtf8(native, 0x10000U + (high << 10) + low);
            ++i;
        } else {
            AppendUtf8(native, unit);
        }
    }
    return true;
}

std::size_t StreamRead(void* buffer, std::size_t size, std::size_t count, void* handle) {
    return std::fread(buffer, size, count, static_cast<std::FILE*>(handle));
}

int StreamSeek(void* handle, std::int64_t offset, int origin) {
    return fseeko(static_cast<std::FILE*>(handle), static_cast<off_t>(offset), origin);
}

std::int64_t StreamTell(void* handle) {
    return static_cast<std::int64_t>(ftello(static_cast<std::FILE*>(handle)));
}

int StreamClose(void* handle) { return std::fclose(static_cast<std::FILE*>(handle)); }

constexpr quorvel_io kFileStreamIo{StreamRead, StreamSeek, StreamTell, StreamClose};

}  // namespace

void* OpenFileStream(const std::u16string& path) {
    std::string native;
    if (!ToNativePath(path, native)) {
        return nullptr;
    }
    // The library asks for the whole file in one read, which the runtime serves straight into
    // the caller's buffer; the stream's own buffer size therefore does not matter.
    std::FILE* stream = std::fopen(native.c_str(), "rb");
    if (stream == nullptr) {
        return nullptr;
    }
    // A directory opens here but not on Windows; its "size" would be whatever the file system
    // reports for seeking to its end. It is not a file to read.
    struct stat status {};
    if (fstat(fileno(stream), &status) != 0 || S_ISDIR(status.st_mode)) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}

const quorvel_io* FileStreamIo() { return &kFileStreamIo; }
