// Helpers shared by the hardening tests: gzip bodies, process figures from /proc, and an
// in-memory stream behind the signature library's callback table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "keyserver/keyserver_client.h"
#include "quorvel/quorvel.h"
#include "quorvel_test/bytes.h"

namespace hardening {

// A gzip member holding text, compressed with zlib, and its inverse. Inflate returns false on
// anything that is not one complete gzip member.
quorvel_test::Bytes Gzip(std::string_view text);
bool Gunzip(const std::string& gzip, std::string* text);

// A numeric field of /proc/self/status ("VmRSS", in kB; "Threads"); -1 when it is missing.
long ProcStatusField(const char* name);

// An in-memory stream for the signature library that counts its close calls and never
// allocates.
struct MemoryStream {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    std::size_t position = 0;
    int closeCalls = 0;
};

const quorvel_io* MemoryStreamIo();

// Both entry operations on an image through a fresh MemoryStream; closeCalls reports how often
// the library closed it.
int ReadInfo(const quorvel_test::Bytes& image, quorvel_signature_info* info, int* closeCalls);
int Verify(const quorvel_test::Bytes& image, const unsigned char* publicKey,
           quorvel_verify_result* result, int* closeCalls);

}  // namespace hardening
