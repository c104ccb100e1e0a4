#include "verification/domain_name.h"

#include <algorithm>

namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool SameDomainName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return AsciiLower(x) == AsciiLower(y);
           });
}

bool IsRequiredDomain(std::string_view domain, std::span<const std::string> domains) {
    return domains.empty() ||
           std::any_of(domains.begin(), domains.end(), [&](const std::string& required) {
               return SameDomainName(domain, required);
           });
}
