// The well-formed UTF-8 table for the one decoder, and the domain rule built on it.
#include "quorvel/utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "quorvel_internal.h"
#include "quorvel_test/bytes.h"

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

// Every row at both ends, each byte at its bound and one past it, and each sequence cut short.
TEST(Utf8, EveryRowAndBothNeighboursOfEveryBound) {
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
                SCOPED_TRACE(ToHex(text.data(), text.size()));
                const int expected = Expected(text);
                EXPECT_EQ(quorvel_utf8_next(text.data(), text.size(), &cp, &consumed),
                          expected > 0 ? 1 : 0);
                EXPECT_EQ(static_cast<int>(consumed), expected > 0 ? expected : -expected);
                const bool whole = expected == static_cast<int>(text.size()) && text[0] != 0;
                EXPECT_EQ(quorvel_utf8_valid(text.data(), text.size()), whole ? 1 : 0);
            }
        }
    }
}

TEST(Utf8, DomainRuleOutsideTheTable) {
    const Bytes text = FromHex("61e282ac610062");
    EXPECT_EQ(quorvel_utf8_valid(text.data(), 5), 1);
    EXPECT_EQ(quorvel_utf8_valid(text.data(), 3), 0);  // the length bounds the text
    EXPECT_EQ(quorvel_utf8_valid(text.data(), 0), 1);
    EXPECT_EQ(quorvel_utf8_valid(nullptr, 0), 0);
    EXPECT_EQ(quorvel_utf8_valid(text.data(), text.size()), 0);  // the zero byte
}

}  // namespace
}  // namespace quorvel_test
