// When two payload domains name the same signer.
#pragma once

#include <span>
#include <string>
#include <string_view>

// Host names compared without regard to ASCII letter case; every other byte, the port
// included, must be equal ("Example.COM" is "example.com", "example.com:8443" is not
// "example.com", and non-ASCII letters are not folded).
bool SameDomainName(std::string_view a, std::string_view b);

// True when domains is empty (any signer) or one of them is domain.
bool IsRequiredDomain(std::string_view domain, std::span<const std::string> domains);
