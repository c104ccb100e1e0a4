// Checks a fetched JSON key document against the expected key id.
#pragma once

#include <string>
#include <string_view>

#include "keyclient/base64url.h"

// The message when memory ran out during the parse: it says nothing about the document.
inline constexpr char kKeyDocumentOutOfMemory[] = "out of memory";

// True when body is a valid key document for expectedKeyId. On false, error (when given)
// holds one short lower-case message such as "kid mismatch"; outputs written before the
// failing check stay written.
bool ParseKeyDocument(std::string_view body, std::string_view expectedKeyId, Bytes32& publicKey,
                      std::u16string* state, std::u16string* description, std::string* error);
