#include "hardening_support.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include <zlib.h>

namespace hardening {

namespace {

size_t StreamRead(void* buffer, size_t size, size_t count, void* handle) {
    auto* stream = static_cast<MemoryStream*>(handle);
    const size_t wanted = size * count;
    const size_t left = stream->size - stream->position;
    const size_t n = wanted < left ? wanted : left;
    if (n > 0) {
        std::memcpy(buffer, stream->data + stream->position, n);
    }
    stream->position += n;
    return size == 0 ? 0 : n / size;
}

int StreamSeek(void* handle, int64_t offset, int origin) {
    auto* stream = static_cast<MemoryStream*>(handle);
    if (offset != 0) {
        return -1;
    }
    if (origin == SEEK_SET) {
        stream->position = 0;
        return 0;
    }
    if (origin == SEEK_END) {
        stream->position = stream->size;
        return 0;
    }
    return -1;
}

int64_t StreamTell(void* handle) {
    return static_cast<int64_t>(static_cast<MemoryStream*>(handle)->position);
}

int StreamClose(void* handle) {
    ++static_cast<MemoryStream*>(handle)->closeCalls;
    return 0;
}

const quorvel_io kMemoryIo = {&StreamRead, &StreamSeek, &StreamTell, &StreamClose};

}  // namespace

quorvel_test::Bytes Gzip(std::string_view text) {
    z_stream z{};
    // windowBits 15 + 16: a gzip wrapper around the deflate stream.
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return {};
    }
    quorvel_test::Bytes out(deflateBound(&z, static_cast<uLong>(text.size())) + 64);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return result == Z_STREAM_END ? out : quorvel_test::Bytes{};
}

bool Gunzip(const std::string& gzip, std::string* text) {
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) {
        return false;
    }
    std::string out(1 << 20, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzip.data()));
    z.avail_in = static_cast<uInt>(gzip.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&z, Z_FINISH);
    const bool whole = result == Z_STREAM_END && z.avail_in == 0;
    out.resize(z.total_out);
    inflateEnd(&z);
    if (whole) {
        *text = out;
    }
    return whole;
}

long ProcStatusField(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(name) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::stol(line.substr(prefix.size()));
        }
    }
    return -1;
}

const quorvel_io* MemoryStreamIo() {
    return &kMemoryIo;
}

int ReadInfo(const quorvel_test::Bytes& image, quorvel_signature_info* info, int* closeCalls) {
    MemoryStream stream;
    stream.data = image.data();
    stream.size = image.size();
    const int status = quorvel_read_signature_info(&stream, &kMemoryIo, info);
    if (closeCalls != nullptr) {
        *closeCalls = stream.closeCalls;
    }
    return status;
}

int Verify(const quorvel_test::Bytes& image, const unsigned char* publicKey,
           quorvel_verify_result* result, int* closeCalls) {
    MemoryStream stream;
    stream.data = image.data();
    stream.size = image.size();
    const int status = quorvel_verify_file(&stream, &kMemoryIo, publicKey, result);
    if (closeCalls != nullptr) {
        *closeCalls = stream.closeCalls;
    }
    return status;
}

}  // namespace hardening
