// The signing request that prepare writes and attach reads: a small JSON text that says what
// to sign, in the shapes the usual tools take, and which file it is for.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

using Bytes32Array = std::array<unsigned char, 32>;

struct SigningRequest {
    std::string file;  // the prepared file as given to prepare (for the reader)
    std::uint64_t fileSize = 0;
    Bytes32Array fileSha256{};  // of the whole file: attach refuses any other file
    std::string domain;
    bool authenticode = false;
    bool replace = false;
    bool keyPinned = false;
    Bytes32Array keyId{};    // with keyPinned: the key that must sign
    Bytes32Array digest{};   // the 32 bytes to sign
    std::string digestFile;  // the file beside the request that holds them raw
};

// The request as JSON: "quorvel_signing_request": 1, "file", "file_size", "file_sha256" (hex),
// "domain", "container" ("entry" or "authenticode"), "replace", "key_id" (only when pinned),
// "digest_hex", "digest_base64", "digest_base64url" and "digest_file".
std::string FormatSigningRequest(const SigningRequest& request);

// Reads what FormatSigningRequest writes; the digest is taken from "digest_hex" (the other
// shapes are for the signing side). False with a short reason in *error.
bool ParseSigningRequest(std::string_view text, SigningRequest* request, std::string* error);
