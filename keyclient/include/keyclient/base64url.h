// Base64url (RFC 4648 section 5, no padding) for 32-byte values: 43 characters exactly.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

using Bytes32 = std::array<std::uint8_t, 32>;

// Always 43 characters from the URL-safe alphabet, never padded.
std::string Base64UrlEncode(const Bytes32& value);

// True when text is a complete encoding of exactly 32 bytes. After false, value holds
// unspecified bytes.
bool Base64UrlDecode(std::string_view text, Bytes32& value);
