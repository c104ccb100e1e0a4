// One HTTPS GET of a key document through libcurl's easy interface.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Largest accepted body, in bytes; a body of exactly this size is accepted.
inline constexpr std::size_t kMaxResponseBytes = 65536;

// The error text of a body that would exceed kMaxResponseBytes; saved key documents that are
// too large are refused with the same words.
inline constexpr char kResponseTooLargeMessage[] =
    "Vantor response exceeded the maximum allowed size";

// Options for callers other than the shell extension. The shell passes none, so the platform's
// trust store alone decides; the command-line verifier and the tests may add a CA bundle.
struct FetchOptions {
    const char* extraCaFile = nullptr;  // PEM bundle trusted in addition to the system's
};

// "https://" + domain + "/.well-known/vantors/v1/" + keyIdText, the pieces joined verbatim.
std::string BuildKeyDocumentUrl(std::string_view domain, std::string_view keyIdText);

// True when the transfer completed and its HTTP status was read, whatever the status; body
// and status then hold the answer. False otherwise: body is untouched and error (when given)
// holds a message, except when body or status is missing.
bool HttpGet(const std::string& url, std::string* body, long* status, std::string* error,
             const FetchOptions* options = nullptr);

// libcurl write callback: appends a chunk to the ResponseBuffer in userdata, or refuses the
// whole chunk (returns 0) when it would take the body past kMaxResponseBytes.
std::size_t WriteResponseChunk(char* data, std::size_t size, std::size_t count, void* userdata);
