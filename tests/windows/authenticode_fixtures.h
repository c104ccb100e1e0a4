// The Authenticode files made natively for the Windows tests, and what the library makes of a
// PKCS#7 message: natively with OpenSSL's decoder, under Wine with crypt32's.
#pragma once

#include <string>

#include "pkcs7_decoder.h"
#include "quorvel_internal.h"
#include "quorvel_test/bytes.h"

namespace windows_fixtures {

// FOLDER/NAME.p7b holds each message; FOLDER/expected.txt one "NAME DESCRIPTION" per line.
inline constexpr char kExpectedFile[] = "expected.txt";
// An Authenticode-signed PE, key KeyFromSeedByte(kSignedFileSeed) (also in NAME.key as PEM).
inline constexpr char kSignedFile[] = "authenticode-signed.exe";
inline constexpr unsigned char kSignedFileSeed = 0x21;

// "decoded|found|seen|attributes": the seam's and the payload search's answers, whether it met
// the attribute, and signer 0's unauthenticated attributes in order ("oid=hex,hex;...").
inline std::string DescribeMessage(const quorvel_test::Bytes& der) {
    std::string attributes;
    const int decoded = quorvel_pkcs7_visit_signer_attributes(
        der.data(), der.size(),
        [](void* context, const char* oid, const quorvel_der_value* values, size_t count) {
            std::string& text = *static_cast<std::string*>(context);
            text += (text.empty() ? "" : ";") + std::string(oid != nullptr ? oid : "(null)") + "=";
            for (size_t i = 0; i < count; ++i)
                text += (i > 0 ? "," : "") + quorvel_test::ToHex(values[i].bytes, values[i].length);
            return 0;
        },
        &attributes);
    quorvel_payload payload{};
    int seen = 0;
    const int found = quorvel_find_authenticode_payload(der.data(), der.size(), &payload, &seen);
    return std::to_string(decoded) + "|" + std::to_string(found) + "|" + std::to_string(seen) +
           "|" + (attributes.empty() ? "-" : attributes);
}

}  // namespace windows_fixtures
