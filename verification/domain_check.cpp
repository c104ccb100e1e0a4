#include "verification/domain_check.h"

#include <cstddef>

namespace {

constexpr std::size_t kMaxPortDigits = 5;

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHostNameByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsAsciiDigit(c) || c == '-' ||
           byte >= 0x80;
}

bool IsIpv6LiteralByte(char c) {
    return IsAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
           c == '.';
}

// Empty (no port) or ':' followed by 1 to 5 digits.
bool IsPortSuffix(std::string_view suffix) {
    if (suffix.empty()) {
        return true;
    }
    if (suffix.front() != ':') {
        return false;
    }
    const std::string_view digits = suffix.substr(1);
    if (digits.empty() || digits.size() > kMaxPortDigits) {
        return false;
    }
    for (char c : digits) {
        if (!IsAsciiDigit(c)) {
            return false;
        }
    }
    return true;
}

bool IsHostName(std::string_view host) {
    if (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);  // a fully qualified name may end in the root's dot
    }
    if (host.empty()) {
        return false;
    }
    std::size_t labelLength = 0;
    for (char c : host) {
        if (c == '.') {
            if (labelLength == 0) {
                return false;
            }
            labelLength = 0;
        } else if (IsHostNameByte(c)) {
            ++labelLength;
        } else {
            return false;
        }
    }
    return labelLength != 0;
}

bool IsBracketedIpv6(std::string_view literal) {
    if (literal.size() < 2 || literal.front() != '[' || literal.back() != ']') {
        return false;
    }
    const std::string_view inner = literal.substr(1, literal.size() - 2);
    if (inner.find(':') == std::string_view::npos) {
        return false;
    }
    for (char c : inner) {
        if (!IsIpv6LiteralByte(c)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsFetchableDomain(std::string_view domain) {
    if (!domain.empty() && domain.front() == '[') {
        const std::size_t close = domain.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        return IsBracketedIpv6(domain.substr(0, close + 1)) &&
               IsPortSuffix(domain.substr(close + 1));
    }
    const std::size_t colon = domain.find(':');
    const std::string_view host = domain.substr(0, colon);
    const std::string_view port =
        colon == std::string_view::npos ? std::string_view{} : domain.substr(colon);
    return IsHostName(host) && IsPortSuffix(port);
}
