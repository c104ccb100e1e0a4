// Base64url codec for 32-byte values.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "keyclient/base64url.h"

namespace {

Bytes32 Filled(std::uint8_t byte) {
    Bytes32 value;
    value.fill(byte);
    return value;
}

Bytes32 Counting() {
    Bytes32 value;
    for (std::size_t i = 0; i < value.size(); ++i) {
        value[i] = static_cast<std::uint8_t>(i);
    }
    return value;
}

const std::string kCountingText = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";

TEST(Base64UrlEncode, KnownVectors) {
    struct Case {
        const char* name;
        Bytes32 value;
        std::string text;
    };
    const Case cases[] = {
        {"zero bytes", Filled(0x00), std::string(43, 'A')},
        {"0xFF bytes", Filled(0xFF), std::string(42, '_') + "8"},
        {"counting 0..31", Counting(), kCountingText},
    };
    for (const Case& c : cases) {
        const std::string text = Base64UrlEncode(c.value);
        EXPECT_EQ(text, c.text) << c.name;
        EXPECT_EQ(text.size(), 43u) << c.name;
    }
}

TEST(Base64UrlDecode, KnownVectors) {
    struct Case {
        const char* name;
        std::string text;
        Bytes32 value;
    };
    const Case cases[] = {
        {"43 A", std::string(43, 'A'), Filled(0x00)},
        {"42 _ then 8", std::string(42, '_') + "8", Filled(0xFF)},
        {"counting", kCountingText, Counting()},
    };
    for (const Case& c : cases) {
        Bytes32 out = Filled(0x5A);
        EXPECT_TRUE(Base64UrlDecode(c.text, out)) << c.name;
        EXPECT_EQ(out, c.value) << c.name;
    }
}

TEST(Base64UrlDecode, FourTextsPerValueDifferOnlyInDroppedBits) {
    // Values 60..63 share their upper four bits; the two dropped low bits make no difference.
    const std::string prefix(42, '_');
    for (const char last : {'8', '9', '-', '_'}) {
        Bytes32 out{};
        EXPECT_TRUE(Base64UrlDecode(prefix + last, out)) << "last character " << last;
        EXPECT_EQ(out, Filled(0xFF)) << "last character " << last;
    }
    // The next value down changes the decoded last byte.
    Bytes32 out{};
    ASSERT_TRUE(Base64UrlDecode(prefix + "7", out));
    EXPECT_EQ(out[31], 0xFE);
    EXPECT_EQ(Base64UrlEncode(Filled(0xFF)).back(), '8') << "encoder emits the zero-low-bits form";
}

TEST(Base64UrlDecode, RejectsWrongLengthsAndForeignBytes) {
    const std::string good = kCountingText;
    struct Case {
        const char* name;
        std::string text;
    };
    std::string withNul = good;
    withNul[10] = '\0';
    const Case cases[] = {
        {"empty", ""},
        {"41 characters (tail of one)", good.substr(0, 41)},
        {"42 characters (31 bytes)", good.substr(0, 42)},
        {"44 alphabet characters", good + "A"},
        {"43 characters then =", good + "="},
        {"44 characters ending in = (padded form)", good.substr(0, 42) + "8="},
        {"one character", "A"},
        {"40 characters (30 bytes, full groups)", good.substr(0, 40)},
        {"48 characters", good + "AAAAA"},
        {"plus from standard alphabet", "+" + good.substr(1)},
        {"slash from standard alphabet", good.substr(0, 20) + "/" + good.substr(21)},
        {"blank inside", good.substr(0, 20) + " " + good.substr(21)},
        {"leading blank", " " + good.substr(1)},
        {"trailing line break", good.substr(0, 42) + "\n"},
        {"line break inside", good.substr(0, 5) + "\n" + good.substr(6)},
        {"tab inside", good.substr(0, 5) + "\t" + good.substr(6)},
        {"NUL inside", withNul},
        {"byte 0x80", good.substr(0, 42) + "\x80"},
        {"byte 0xFF first", "\xFF" + good.substr(1)},
        {"byte 0xC3 0xA9 pair", good.substr(0, 41) + "\xC3\xA9"},
        {"character before A", good.substr(0, 42) + "@"},
        {"character after Z", good.substr(0, 42) + "["},
        {"character before a", good.substr(0, 42) + "`"},
        {"character after z", good.substr(0, 42) + "{"},
        {"character before 0", good.substr(0, 42) + "."},
        {"character after 9", good.substr(0, 42) + ":"},
    };
    for (const Case& c : cases) {
        Bytes32 out{};
        EXPECT_FALSE(Base64UrlDecode(c.text, out)) << c.name;
    }
}

TEST(Base64UrlDecode, AlphabetRangeEdgesAccepted) {
    // Each range's first and last characters as the fourth value of the first group, which
    // becomes byte 2 unchanged.
    struct Case {
        char c;
        std::uint8_t value;
    };
    const Case cases[] = {{'A', 0}, {'Z', 25}, {'a', 26}, {'z', 51},
                          {'0', 52}, {'9', 61}, {'-', 62}, {'_', 63}};
    for (const Case& c : cases) {
        std::string text(43, 'A');
        text[3] = c.c;
        Bytes32 out;
        out.fill(0xEE);
        ASSERT_TRUE(Base64UrlDecode(text, out)) << c.c;
        Bytes32 expected{};
        expected[2] = c.value;
        EXPECT_EQ(out, expected) << "character " << c.c;
    }
}

TEST(Base64Url, RandomValuesRoundTrip) {
    std::mt19937 random(20261206u);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        Bytes32 value;
        for (auto& b : value) {
            b = static_cast<std::uint8_t>(byte(random));
        }
        const std::string text = Base64UrlEncode(value);
        ASSERT_EQ(text.size(), 43u) << "round " << round;
        ASSERT_EQ(text.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos)
            << "round " << round << ": " << text;
        Bytes32 back{};
        ASSERT_TRUE(Base64UrlDecode(text, back)) << "round " << round << ": " << text;
        ASSERT_EQ(back, value) << "round " << round << ": " << text;
    }
}

}  // namespace
