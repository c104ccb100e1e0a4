// The domain's UTF-8 rule, checked against a separate decoder that works on code points.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "quorvel_internal.h"
#include "quorvel_test/bytes.h"

namespace quorvel_test {
namespace {

// Decodes code point by code point and rejects overlong forms, surrogates, values above
// U+10FFFF, the zero byte and truncated sequences.
bool ReferenceValid(const std::vector<unsigned char>& text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = text[i];
        if (lead == 0) return false;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t code_point;
        uint32_t minimum;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, code_point = lead & 0x1Fu, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, code_point = lead & 0x0Fu, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, code_point = lead & 0x07u, minimum = 0x10000;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((text[i + k] & 0xC0) != 0x80) return false;
            code_point = (code_point << 6) | (text[i + k] & 0x3Fu);
        }
        if (code_point < minimum || code_point > 0x10FFFF ||
            (code_point >= 0xD800 && code_point <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

int Valid(const std::vector<unsigned char>& text) {
    return quorvel_utf8_valid(text.data(), text.size());
}

TEST(Utf8, EveryOneByteText) {
    for (unsigned b = 0; b < 256; ++b) {
        const std::vector<unsigned char> text{static_cast<unsigned char>(b)};
        EXPECT_EQ(Valid(text), (b >= 0x01 && b <= 0x7F) ? 1 : 0) << "byte " << b;
    }
}

TEST(Utf8, EveryTwoByteText) {
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            const std::vector<unsigned char> text{static_cast<unsigned char>(a),
                                                  static_cast<unsigned char>(b)};
            const bool two_ascii = a >= 0x01 && a <= 0x7F && b >= 0x01 && b <= 0x7F;
            const bool pair = a >= 0xC2 && a <= 0xDF && b >= 0x80 && b <= 0xBF;
            ASSERT_EQ(Valid(text), (two_ascii || pair) ? 1 : 0) << "bytes " << a << " " << b;
        }
    }
}

TEST(Utf8, EveryThreeByteTextMatchesTheReferenceDecoder) {
    std::vector<unsigned char> text(3);
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            for (unsigned c = 0; c < 256; ++c) {
                text[0] = static_cast<unsigned char>(a);
                text[1] = static_cast<unsigned char>(b);
                text[2] = static_cast<unsigned char>(c);
                ASSERT_EQ(Valid(text), ReferenceValid(text) ? 1 : 0)
                    << "bytes " << ToHex(text.data(), text.size());
            }
        }
    }
}

TEST(Utf8, FourByteTextsAroundEveryContinuationLimit) {
    const unsigned edges[] = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
    std::vector<unsigned char> text(4);
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            for (const unsigned c : edges) {
                for (const unsigned d : edges) {
                    text = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                            static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
                    ASSERT_EQ(Valid(text), ReferenceValid(text) ? 1 : 0)
                        << "bytes " << ToHex(text.data(), text.size());
                }
            }
        }
    }
}

TEST(Utf8, BoundaryValuesOfLongerSequences) {
    struct Case {
        const char* hex;
        int valid;
    };
    const Case cases[] = {
        {"e0a080", 1},     {"e09fbf", 0},   {"e0bfbf", 1},
        {"e0c080", 0},     {"e18080", 1},   {"ecbfbf", 1},
        {"ed8080", 1},     {"ed9fbf", 1},   {"eda080", 0},
        {"edbfbf", 0},     {"ee8080", 1},   {"efbfbf", 1},
        {"e17f80", 0},     {"e1807f", 0},   {"e180c0", 0},
        {"f0908080", 1},   {"f08fbfbf", 0}, {"f0bfbfbf", 1},
        {"f0c08080", 0},   {"f1808080", 1}, {"f3bfbfbf", 1},
        {"f4808080", 1},   {"f48fbfbf", 1}, {"f4908080", 0},
        {"f5808080", 0},   {"ff", 0},       {"c080", 0},
        {"c1bf", 0},       {"c280", 1},     {"dfbf", 1},
        {"80", 0},         {"bf", 0},       {"e180", 0},
        {"f09080", 0},     {"f1", 0},       {"616263e282ac", 1},
        {"616263e282", 0}, {"61006263", 0}, {"c3bc6e69636f6465", 1},
    };
    for (const Case& c : cases) {
        const Bytes text = FromHex(c.hex);
        EXPECT_EQ(quorvel_utf8_valid(text.data(), text.size()), c.valid) << c.hex;
    }
}

TEST(Utf8, EmptyAndNullText) {
    const unsigned char byte = 'a';
    EXPECT_EQ(quorvel_utf8_valid(&byte, 0), 1);
    EXPECT_EQ(quorvel_utf8_valid(nullptr, 0), 0);
    EXPECT_EQ(quorvel_utf8_valid(nullptr, 5), 0);
}

TEST(Utf8, LengthBoundsTheText) {
    // A valid first byte followed, beyond the given length, by a continuation byte.
    const Bytes text = FromHex("61e282ac");
    EXPECT_EQ(quorvel_utf8_valid(text.data(), 4), 1);
    EXPECT_EQ(quorvel_utf8_valid(text.data(), 3), 0);
    EXPECT_EQ(quorvel_utf8_valid(text.data(), 1), 1);
}

}  // namespace
}  // namespace quorvel_test
