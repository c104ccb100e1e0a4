// Shared pieces of the fuzz targets: the property check, and reference models of the
// signature library's rules written separately from the library (own DER header reader, own
// header walk, OpenSSL's SHA-256 over a copy of the hashed bytes). The domain's UTF-8 rule is
// the library's own (tested whole by its table); thumbprints are the test builders'.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
#include "quorvel_internal.h"
}

namespace quorvel_fuzz {

// Prints the violated property and stops the process with a trap, which libFuzzer records as
// a crash and keeps the input.
[[noreturn]] void PropertyViolated(const char* what, const char* condition, const char* file,
                                   int line);

#define FUZZ_CHECK(condition, what)                                                   \
    do {                                                                              \
        if (!(condition)) {                                                           \
            ::quorvel_fuzz::PropertyViolated((what), #condition, __FILE__, __LINE__); \
        }                                                                             \
    } while (0)

using Digest = std::array<unsigned char, 32>;

// One tag-and-length header at the start of bytes[0, available): short form, or long form
// with 1 to 8 length bytes; the content must fit in what is left.
struct DerHeader {
    unsigned tag = 0;
    uint64_t content_length = 0;
    uint64_t header_size = 0;
};
bool ReadDerHeader(const unsigned char* bytes, uint64_t available, DerHeader& header);

// Length of one complete BER element at the start of bytes (definite or indefinite length,
// high tag numbers), or 0 when there is none or it nests deeper than depth_limit.
uint64_t BerElementLength(const unsigned char* bytes, uint64_t available, int depth_limit);

// The 352 payload bytes as the model reads them.
struct ModelPayload {
    std::array<unsigned char, QUORVEL_PAYLOAD_BYTES> bytes{};
    uint64_t domain_length = 0;
};
bool ModelParsePayload(const unsigned char* bytes, size_t length, ModelPayload& payload);

// Where an attribute value keeps its payload (raw, OCTET STRING or wrapped), per the value
// rules; false when the value is not acceptable.
bool ModelPayloadFromValue(const unsigned char* value, size_t length, ModelPayload& payload);

// Checks everything a found payload must satisfy: 352 bytes of fields, a domain of at most
// 255 bytes of well-formed UTF-8, its NUL, zeros to the end of the field; and that the record
// holds exactly the model's bytes when a model is given.
void CheckPayloadShape(const quorvel_payload& payload, const ModelPayload* model);

// The record's fields laid end to end: signature, key id, domain field.
std::array<unsigned char, QUORVEL_PAYLOAD_BYTES> PayloadBytes(const quorvel_payload& payload);

// Header walk to the security directory entry and the certificate table.
struct PeModel {
    bool ok = false;
    uint64_t checksum = 0;   // position of CheckSum
    uint64_t directory = 0;  // position of the security directory entry
    uint64_t table_offset = 0;
    uint64_t table_size = 0;
};
PeModel ModelLocate(const unsigned char* image, size_t size);

// SHA-256 (OpenSSL) of a copy of the image without the excluded bytes, found by marking
// CheckSum, the directory entry and the table byte by byte.
Digest ModelImageDigest(const unsigned char* image, size_t size, const PeModel& pe);

// The certificate-table walk with the model's own entry checks; Authenticode entries are
// handed to the library's quorvel_find_authenticode_payload (fuzzed on its own).
int ModelFindPayload(const unsigned char* image, size_t size, ModelPayload& payload);

// The file-stream target's input: a control header, then the file's bytes.
inline constexpr size_t kStreamControlBytes = 5;

}  // namespace quorvel_fuzz
