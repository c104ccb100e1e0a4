// Which payload domains may become the host of the key document URL.
#include "verification/domain_check.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct DomainRow {
    const char* why;
    std::string domain;
    bool fetchable;
};

const DomainRow kRows[] = {
    // Host names.
    {"plain name", "example.com", true},
    {"single label", "localhost", true},
    {"upper case kept", "Signer.Example.COM", true},
    {"hyphens and digits", "key-server-01.example-2.org", true},
    {"one letter", "a", true},
    {"trailing root dot", "example.com.", true},
    {"IPv4 address", "127.0.0.1", true},
    {"non-ASCII labels",
     "b\xc3\xbc"
     "cher.example",
     true},
    {"all non-ASCII", "\xe4\xbe\x8b\xe3\x81\x88.\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88", true},
    {"emoji label", "\xf0\x9f\x94\x91.example", true},
    {"255 bytes of name",
     std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
         std::string(63, 'd'),
     true},
    // Ports: 1 to 5 digits.
    {"port of one digit", "example.com:1", true},
    {"port of five digits", "example.com:65535", true},
    {"port of six digits", "example.com:655350", false},
    {"empty port", "example.com:", false},
    {"port with a letter", "example.com:44a", false},
    {"port with a sign", "example.com:+443", false},
    {"two ports", "example.com:443:444", false},
    {"loopback with port", "127.0.0.1:8443", true},
    // IPv6 literals.
    {"IPv6 loopback", "[::1]", true},
    {"IPv6 with port", "[::1]:8443", true},
    {"IPv6 full", "[2001:db8:0:0:0:0:0:1]", true},
    {"IPv6 with embedded IPv4", "[::ffff:192.0.2.1]", true},
    {"IPv6 upper case hex", "[2001:DB8::A]", true},
    {"IPv6 with six-digit port", "[::1]:123456", false},
    {"IPv6 with empty port", "[::1]:", false},
    {"IPv6 zone id", "[fe80::1%25eth0]", false},
    {"IPv6 without colon", "[1234]", false},
    {"IPv6 empty brackets", "[]", false},
    {"IPv6 unclosed", "[::1", false},
    {"IPv6 with letters outside hex", "[::g]", false},
    {"IPv6 then text", "[::1]x", false},
    {"IPv6 then path", "[::1]/x", false},
    {"IPv6 unbracketed", "::1", false},
    {"closing bracket only", "example.com]", false},
    // Anything that could move the request to another host or path.
    {"user info", "trusted.example@attacker.example", false},
    {"user info with password", "user:pw@attacker.example", false},
    {"path", "trusted.example/x?", false},
    {"query", "trusted.example?x", false},
    {"fragment", "trusted.example#", false},
    {"backslash", "trusted.example\\attacker.example", false},
    {"space", "trusted.example attacker.example", false},
    {"tab", "trusted.example\t", false},
    {"line feed", "trusted.example\nHost: x", false},
    {"DEL", "trusted.example\x7f", false},
    {"percent escape", "trusted%2eexample", false},
    {"underscore", "under_score.example", false},
    {"semicolon", "a.example;b", false},
    {"quote", "a.example\"", false},
    {"empty", "", false},
    {"dot only", ".", false},
    {"leading dot", ".example.com", false},
    {"empty label", "example..com", false},
    {"two trailing dots", "example.com..", false},
    {"port without host", ":443", false},
};

TEST(DomainCheck, TableOfDomains) {
    for (const DomainRow& row : kRows) {
        EXPECT_EQ(IsFetchableDomain(row.domain), row.fetchable)
            << row.why << ": \"" << row.domain << "\"";
    }
}

TEST(DomainCheck, EveryAsciiByteInsideAName) {
    for (int byte = 1; byte < 0x80; ++byte) {
        const char c = static_cast<char>(byte);
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '-' || c == '.';
        const std::string domain = std::string("ab") + c + "cd.example";
        EXPECT_EQ(IsFetchableDomain(domain), allowed) << "byte 0x" << std::hex << byte;
    }
}

TEST(DomainCheck, EmbeddedNulRefused) {
    EXPECT_FALSE(IsFetchableDomain(std::string("example.com\0evil", 16)));
}

}  // namespace
