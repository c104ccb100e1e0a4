// The well-formed UTF-8 table, once for the one decoder, then what each caller makes of a bad
// sequence: the domain refuses it, Utf8ToWide replaces each maximal subpart, JsonString each byte.
#include "quorvel/utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/text_conversion.h"
#include "quorvel_internal.h"
#include "quorvel_test/bytes.h"
#include "text_encoding.h"

namespace quorvel_test {
namespace {

struct Range {
    int low, high;
};
struct Row {
    std::vector<Range> bytes;
    uint32_t first, last;  // code points of the all-low and the all-high sequence
};
const Row kTable[] = {
    {{{0x00, 0x7F}}, 0x0, 0x7F},
    {{{0xC2, 0xDF}, {0x80, 0xBF}}, 0x80, 0x7FF},
    {{{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}}, 0x800, 0xFFF},
    {{{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}}, 0x1000, 0xCFFF},
    {{{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}}, 0xD000, 0xD7FF},
    {{{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}}, 0xE000, 0xFFFF},
    {{{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}, 0x10000, 0x3FFFF},
    {{{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}, 0x40000, 0xFFFFF},
    {{{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}, 0x100000, 0x10FFFF},
};

// Bytes of text that fit some row's ranges from the start: the sequence's length when a whole
// row fits, otherwise (returned negated) the maximal subpart, at least 1.
int Expected(const Bytes& text) {
    int longest = 1;
    for (const Row& row : kTable) {
        size_t k = 0;
        while (k < row.bytes.size() && k < text.size() && text[k] >= row.bytes[k].low &&
               text[k] <= row.bytes[k].high) {
            ++k;
        }
        if (k == row.bytes.size()) return static_cast<int>(k);
        if (k > 0) longest = std::max(longest, static_cast<int>(k));
    }
    return -longest;
}

TEST(Utf8, EveryRowAndBothNeighboursOfEveryBound) {
    int accepted = 0, refused = 0;
    for (const Row& row : kTable) {
        for (const bool high : {false, true}) {
            Bytes base;
            for (const Range& r : row.bytes)
                base.push_back(static_cast<unsigned char>(high ? r.high : r.low));
            uint32_t cp = 0;
            size_t consumed = 0;
            ASSERT_EQ(quorvel_utf8_next(base.data(), base.size(), &cp, &consumed), 1)
                << ToHex(base.data(), base.size());
            EXPECT_EQ(cp, high ? row.last : row.first) << ToHex(base.data(), base.size());
            // Each byte at its bound and one past it; then the sequence cut short.
            std::vector<Bytes> cases;
            for (size_t k = 0; k < base.size(); ++k) {
                for (const int step : {0, high ? 1 : -1}) {
                    Bytes text = base;
                    const int value = (high ? row.bytes[k].high : row.bytes[k].low) + step;
                    if (value < 0 || value > 0xFF) continue;
                    text[k] = static_cast<unsigned char>(value);
                    cases.push_back(text);
                }
            }
            for (size_t cut = 1; cut < base.size(); ++cut)
                cases.emplace_back(base.begin(), base.begin() + static_cast<long>(cut));
            for (const Bytes& text : cases) {
                const std::string name = ToHex(text.data(), text.size());
                const int expected = Expected(text);
                const int ok = quorvel_utf8_next(text.data(), text.size(), &cp, &consumed);
                EXPECT_EQ(ok, expected > 0 ? 1 : 0) << name;
                EXPECT_EQ(static_cast<int>(consumed), expected > 0 ? expected : -expected) << name;
                const bool whole = expected == static_cast<int>(text.size()) && text[0] != 0;
                EXPECT_EQ(quorvel_utf8_valid(text.data(), text.size()), whole ? 1 : 0) << name;
                // JsonString keeps a well-formed sequence and replaces the first bad byte.
                const std::string json = JsonString(std::string(text.begin(), text.end()) + "A");
                if (expected < 0) {
                    EXPECT_EQ(json.substr(0, 4), "\"\xEF\xBF\xBD") << name;
                } else if (expected == static_cast<int>(text.size()) && text[0] >= 0x20) {
                    EXPECT_EQ(json, "\"" + std::string(text.begin(), text.end()) + "A\"") << name;
                }
                (expected > 0 ? accepted : refused)++;
            }
        }
    }
    EXPECT_GT(accepted, 60);
    EXPECT_GT(refused, 60);
}

TEST(Utf8, DomainRuleOutsideTheTable) {
    const Bytes text = FromHex("61e282ac");
    EXPECT_EQ(quorvel_utf8_valid(text.data(), 4), 1);
    EXPECT_EQ(quorvel_utf8_valid(text.data(), 3), 0);  // the length bounds the text
    EXPECT_EQ(quorvel_utf8_valid(text.data(), 0), 1);
    EXPECT_EQ(quorvel_utf8_valid(nullptr, 0), 0);
    const Bytes zero = FromHex("610062");
    EXPECT_EQ(quorvel_utf8_valid(zero.data(), zero.size()), 0);
    const Bytes later = FromHex("61c0");
    EXPECT_EQ(quorvel_utf8_valid(later.data(), later.size()), 0);
}

// "E0 80": two maximal subparts; "ED A0 80": three; "E1 80" cut by 'b': one; U+1F600 a pair.
TEST(Utf8, Utf8ToWideReplacesEachMaximalSubpart) {
    EXPECT_EQ(Utf8ToWide("a\xE0\x80\xED\xA0\x80\xE1\x80"
                         "b\xF0\x9F\x98\x80\xC3\xBC"),
              u"a\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFDb\U0001F600\u00FC");
    EXPECT_EQ(Utf8ToWide("\xEF\xBF\xBF\xF0\x90\x80\x80"), u"\uFFFF\U00010000");  // the pair bound
    EXPECT_EQ(Utf8ToWide(nullptr), u"");
}

// Each byte of an ill-formed sequence is one U+FFFD; well-formed text stays as it is.
TEST(Utf8, JsonStringReplacesEachBadByte) {
    EXPECT_EQ(JsonString("\xE1\x80"
                         "b\xF0\x9F\x98\x80\x01\""),
              "\"\xEF\xBF\xBD\xEF\xBF\xBD"
              "b\xF0\x9F\x98\x80\\u0001\\\"\"");
}

}  // namespace
}  // namespace quorvel_test
