// Whether a payload's domain can go into the key document URL as its host.
#pragma once

#include <string_view>

// The domain goes into "https://" + domain + "/..." verbatim, so it must not be able to change
// which host the URL names: a user-info part ('@'), a path, query or fragment ('/', '?', '#'),
// a backslash, a percent escape, white space or a control character would make the fetch go
// to another host than the one the page shows.
//
// Accepted: a host name of dot-separated labels, each label made of ASCII letters, digits and
// hyphens or of non-ASCII UTF-8 bytes (one final dot allowed), or an IPv6 literal in brackets
// (hex digits, ':' and '.'); either optionally followed by ':' and a port of 1 to 5 digits.
bool IsFetchableDomain(std::string_view domain);
