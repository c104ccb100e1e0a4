// UTF-8 for the terminal and for JSON.
#pragma once

#include <string>
#include <string_view>

#include "common/text_conversion.h"

// Text fit for a terminal line: control characters (C0, DEL and C1), which could move the
// cursor or start an escape sequence, become U+FFFD. Texts from key servers and payloads are
// shown through this.
std::u16string WithoutControlCharacters(std::u16string_view text);

// A JSON string literal, quotes included: '"', '\' and control characters escaped, other
// characters kept as UTF-8. Invalid UTF-8 in the input becomes U+FFFD.
std::string JsonString(std::string_view utf8);
