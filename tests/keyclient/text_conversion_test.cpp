// Utf8ToWide and Widen.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/text_conversion.h"

namespace {

std::string Hex(const std::u16string& text) {
    std::string out;
    char unit[8];
    for (const char16_t c : text) {
        std::snprintf(unit, sizeof unit, "%04X ", static_cast<unsigned>(c));
        out += unit;
    }
    return out;
}

// Runs of U+FFFD collapsed into one. Off Windows the decoder is ours and the number of U+FFFD
// per ill-formed sequence is fixed (one per maximal subpart); on Windows it is the system's
// choice, and only where replacement characters stand is compared.
[[maybe_unused]] std::u16string CollapseReplacements(const std::u16string& text) {
    std::u16string out;
    for (const char16_t c : text) {
        if (c == u'\uFFFD' && !out.empty() && out.back() == u'\uFFFD') {
            continue;
        }
        out.push_back(c);
    }
    return out;
}

TEST(Utf8ToWide, NullAndEmptyGiveEmpty) {
    EXPECT_EQ(Utf8ToWide(nullptr), u"");
    EXPECT_EQ(Utf8ToWide(""), u"");
}

TEST(Utf8ToWide, ValidText) {
    struct Case {
        const char* name;
        const char* utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"ASCII", "Release key 2026", u"Release key 2026"},
        {"U+007F, the last one-byte value", "\x7F", u"\u007F"},
        {"U+0080, the first two-byte value", "\xC2\x80", u"\u0080"},
        {"U+00E9", "caf\xC3\xA9", u"caf\u00E9"},
        {"U+07FF, the last two-byte value", "\xDF\xBF", u"\u07FF"},
        {"U+0800, the first three-byte value", "\xE0\xA0\x80", u"\u0800"},
        {"U+D7FF, just below the surrogates", "\xED\x9F\xBF", u"\uD7FF"},
        {"U+E000, just above the surrogates", "\xEE\x80\x80", u"\uE000"},
        {"U+FEFF kept, not a BOM here", "\xEF\xBB\xBF" "a", u"\uFEFFa"},
        {"U+FFFD itself", "\xEF\xBF\xBD", u"\uFFFD"},
        {"U+FFFF, the last three-byte value", "\xEF\xBF\xBF", u"\uFFFF"},
        {"U+10000, the first four-byte value", "\xF0\x90\x80\x80", u"\U00010000"},
        {"U+1F511 key emoji", "\xF0\x9F\x94\x91", u"\U0001F511"},
        {"U+10FFFF, the last code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"mixed", "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x94\x91Z", u"A\u00E9\u20AC\U0001F511Z"},
    };
    for (const Case& c : cases) {
        const std::u16string result = Utf8ToWide(c.utf8);
        EXPECT_EQ(result, c.utf16) << c.name << ": got " << Hex(result);
    }
}

TEST(Utf8ToWide, FourByteSequencesBecomeSurrogatePairs) {
    const std::u16string key = Utf8ToWide("\xF0\x9F\x94\x91");
    ASSERT_EQ(key.size(), 2u);
    EXPECT_EQ(key[0], 0xD83D);
    EXPECT_EQ(key[1], 0xDD11);
    const std::u16string last = Utf8ToWide("\xF4\x8F\xBF\xBF");
    ASSERT_EQ(last.size(), 2u);
    EXPECT_EQ(last[0], 0xDBFF);
    EXPECT_EQ(last[1], 0xDFFF);
}

TEST(Utf8ToWide, InvalidSequencesBecomeReplacementCharacters) {
    // One U+FFFD per maximal subpart of an ill-formed sequence.
    struct Case {
        const char* name;
        const char* utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"lone continuation byte", "a\x80z", u"a\uFFFDz"},
        {"two continuation bytes", "\x80\xBF", u"\uFFFD\uFFFD"},
        {"overlong lead C0", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong lead C1", "\xC1\xBF", u"\uFFFD\uFFFD"},
        {"lead F5", "\xF5\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"byte FF", "a\xFF" "b", u"a\uFFFDb"},
        {"byte FE", "\xFE", u"\uFFFD"},
        {"two-byte lead then ASCII", "\xC3" "A", u"\uFFFDA"},
        {"two-byte lead at the end", "ab\xC3", u"ab\uFFFD"},
        {"three-byte truncated after two", "\xE2\x82" "A", u"\uFFFDA"},
        {"three-byte truncated at the end", "\xE2\x82", u"\uFFFD"},
        {"four-byte truncated after three", "\xF0\x9F\x94" "A", u"\uFFFDA"},
        {"four-byte truncated at the end", "\xF0\x9F\x94", u"\uFFFD"},
        {"overlong three-byte E0 80", "\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"overlong three-byte E0 9F", "\xE0\x9F\xBF", u"\uFFFD\uFFFD\uFFFD"},
        {"surrogate ED A0 80", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"surrogate ED BF BF", "\xED\xBF\xBF", u"\uFFFD\uFFFD\uFFFD"},
        {"overlong four-byte F0 8F", "\xF0\x8F\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF F4 90", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"two-byte lead followed by a lead", "\xC3\xC3\xA9", u"\uFFFD\u00E9"},
        {"three-byte lead followed by a four-byte sequence", "\xE2\xF0\x9F\x94\x91",
         u"\uFFFD\U0001F511"},
        {"Unicode example: 61 F1 80 80 E1 80 C2 62 80 63 80 BF 64",
         "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"},
    };
    for (const Case& c : cases) {
        const std::u16string result = Utf8ToWide(c.utf8);
#ifdef _WIN32
        EXPECT_EQ(CollapseReplacements(result), CollapseReplacements(c.utf16))
            << c.name << ": got " << Hex(result);
#else
        EXPECT_EQ(result, c.utf16) << c.name << ": got " << Hex(result);
#endif
    }
}

TEST(Widen, OneUnitPerByteSignExtended) {
    struct Case {
        const char* name;
        std::string bytes;
        std::u16string wide;
    };
    const Case cases[] = {
        {"empty", "", u""},
        {"ASCII word", "revoked", u"revoked"},
        {"NUL kept", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        {"0x7F stays", "\x7F", u"\u007F"},
        {"0x80 sign-extended", "\x80", u"\uFF80"},
        {"0xC3 0xA9 not decoded", "\xC3\xA9", u"\uFFC3\uFFA9"},
        {"0xFF sign-extended", "\xFF", u"\uFFFF"},
        {"0x01 stays", "\x01", u"\u0001"},
    };
    for (const Case& c : cases) {
        const std::u16string result = Widen(c.bytes);
        EXPECT_EQ(result, c.wide) << c.name << ": got " << Hex(result);
    }
}

}  // namespace
