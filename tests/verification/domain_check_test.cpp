// Which payload domains may become the host of the key document URL.
#include "verification/domain_check.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DomainCheck, TableOfDomains) {
    const struct {
        const char* why;
        std::string domain;
        bool fetchable;
    } rows[] = {
        // clang-format off
        {"plain name", "Key-Server-01.example-2.org", true},
        {"one letter", "a", true},
        {"trailing root dot", "example.com.", true},
        {"two trailing dots", "example.com..", false},
        {"non-ASCII labels", "b\xc3\xbc" "cher.\xf0\x9f\x94\x91", true},
        {"255 bytes of name", std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." + std::string(63, 'd'), true},
        {"port of one digit", "example.com:1", true},
        {"port of five digits", "127.0.0.1:65535", true},
        {"port of six digits", "example.com:655350", false},
        {"empty port", "example.com:", false},
        {"port with a letter", "example.com:44a", false},
        {"two ports", "example.com:443:444", false},
        {"port without host", ":443", false},
        {"IPv6 loopback", "[::1]", true},
        {"IPv6 with port", "[::1]:8443", true},
        {"IPv6 with embedded IPv4", "[::ffff:192.0.2.1]", true},
        {"IPv6 with six-digit port", "[::1]:123456", false},
        {"IPv6 with empty port", "[::1]:", false},
        {"IPv6 zone id", "[fe80::1%25eth0]", false},
        {"IPv6 without colon", "[1234]", false},
        {"IPv6 last character outside hex", "[::g]", false},
        {"IPv6 unclosed", "[::1", false},
        {"IPv6 then text", "[::1]x", false},
        {"IPv6 unbracketed", "::1", false},
        {"closing bracket only", "example.com]", false},
        {"user info", "trusted.example@attacker.example", false},
        {"empty", "", false},
        {"dot only", ".", false},
        {"leading dot", ".example.com", false},
        {"empty label", "example..com", false},
        {"embedded NUL", std::string("example.com\0evil", 16), false},
        // clang-format on
    };
    for (const auto& row : rows) {
        EXPECT_EQ(IsFetchableDomain(row.domain), row.fetchable)
            << row.why << ": \"" << row.domain << "\"";
    }
}

TEST(DomainCheck, EveryAsciiByteInsideAName) {
    for (int byte = 1; byte < 0x80; ++byte) {
        const char c = static_cast<char>(byte);
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '-' || c == '.';
        EXPECT_EQ(IsFetchableDomain(std::string("ab") + c + "cd.example"), allowed)
            << "byte 0x" << std::hex << byte;
    }
}

}  // namespace
