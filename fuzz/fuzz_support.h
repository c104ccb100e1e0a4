// The property check shared by the fuzz targets, and what every found payload must satisfy.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

extern "C" {
#include "quorvel_internal.h"
}

// Prints the violated property and traps, which libFuzzer records as a crash.
#define FUZZ_CHECK(condition, what)                                                          \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            std::fprintf(stderr, "\n*** property violated: %s\n    (%s) at %s:%d\n", (what), \
                         #condition, __FILE__, __LINE__);                                    \
            __builtin_trap();                                                                \
        }                                                                                    \
    } while (0)

namespace quorvel_fuzz {

// A domain of at most 255 bytes of well-formed UTF-8, its NUL, then zeros to the field's end.
inline void CheckPayloadShape(const quorvel_payload& payload) {
    FUZZ_CHECK(payload.domain_length < QUORVEL_DOMAIN_BYTES, "domain length is at most 255");
    const auto* domain = reinterpret_cast<const unsigned char*>(payload.domain);
    FUZZ_CHECK(quorvel_utf8_valid(domain, payload.domain_length), "the domain is UTF-8, no NUL");
    for (size_t i = payload.domain_length; i < QUORVEL_DOMAIN_BYTES; ++i) {
        FUZZ_CHECK(domain[i] == 0, "the domain field is zero from the NUL on");
    }
}

// Whether the payload's 352 bytes, fields end to end, occur in bytes[0, size).
inline bool PayloadIn(const quorvel_payload& payload, const unsigned char* bytes, size_t size) {
    static_assert(offsetof(quorvel_payload, domain_length) == QUORVEL_PAYLOAD_BYTES);
    const auto* raw = reinterpret_cast<const unsigned char*>(&payload);
    for (size_t p = 0; p + QUORVEL_PAYLOAD_BYTES <= size; ++p) {
        if (std::memcmp(bytes + p, raw, QUORVEL_PAYLOAD_BYTES) == 0) return true;
    }
    return false;
}

}  // namespace quorvel_fuzz
