// Utf8ToWide on Windows is the system's MultiByteToWideChar (CP_UTF8, flags 0). Valid text
// must come out exactly; invalid text is not refused and turns into U+FFFD, but how many
// U+FFFD one bad sequence gives is the system's choice. The native decoder gives one per
// maximal subpart (the Unicode Standard's recommended practice); Wine 8 gives fewer in some
// cases (for example two, not three, for the surrogate bytes ED A0 80). These tests hold the
// seam to what does not depend on the system's version, and print each difference.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "common/text_conversion.h"

namespace {

std::u16string Direct(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 1) {
        return std::u16string();
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), length);
    return std::u16string(wide.begin(), wide.end() - 1);
}

size_t Replacements(const std::u16string& text) {
    size_t count = 0;
    for (const char16_t c : text) {
        count += c == u'\uFFFD' ? 1 : 0;
    }
    return count;
}

bool SurrogatesPaired(const std::u16string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
                return false;
            }
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

std::string Hex(const std::u16string& text) {
    std::string out;
    char unit[8];
    for (const char16_t c : text) {
        std::snprintf(unit, sizeof unit, "%04X ", static_cast<unsigned>(c));
        out += unit;
    }
    return out;
}

TEST(WindowsUtf8ToWide, ValidTextExactly) {
    const std::string longest(255, 'd');  // the longest domain a payload can hold
    struct Case {
        const char* name;
        const char* utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"null", nullptr, u""},
        {"empty", "", u""},
        {"ASCII", "key.example", u"key.example"},
        {"two-byte", "b\xC3\xBC" "cher", u"b\u00FCcher"},
        {"three-byte", "\xE6\x97\xA5\xE6\x9C\xAC", u"\u65E5\u672C"},
        {"four-byte: surrogate pair", "\xF0\x9F\x94\x91", u"\U0001F511"},
        {"highest scalar U+10FFFF", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"last before surrogates U+D7FF", "\xED\x9F\xBF", u"\uD7FF"},
        {"first after surrogates U+E000", "\xEE\x80\x80", u"\uE000"},
        {"U+FFFD itself", "\xEF\xBF\xBD", u"\uFFFD"},
        {"255 bytes", longest.c_str(), std::u16string(255, u'd')},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.utf8), c.utf16) << c.name;
    }
}

TEST(WindowsUtf8ToWide, InvalidTextBecomesReplacementCharacters) {
    struct Case {
        const char* name;
        const char* bad;       // between "a" and "z"
        size_t nativeCount;    // U+FFFD from the native decoder (one per maximal subpart)
    };
    const Case cases[] = {
        {"lone continuation byte 80", "\x80", 1},
        {"lone continuation byte BF", "\xBF", 1},
        {"C0 80 (overlong NUL)", "\xC0\x80", 2},
        {"C1 BF (overlong)", "\xC1\xBF", 2},
        {"F5 (never a lead)", "\xF5\x80\x80\x80", 4},
        {"FF", "\xFF", 1},
        {"two-byte lead, no trail", "\xC3", 1},
        {"three-byte lead, one trail", "\xE6\x97", 1},
        {"four-byte lead, two trails", "\xF0\x9F\x94", 1},
        {"overlong three-byte E0 80 80", "\xE0\x80\x80", 3},
        {"overlong three-byte E0 9F BF", "\xE0\x9F\xBF", 3},
        {"surrogate ED A0 80", "\xED\xA0\x80", 3},
        {"surrogate ED BF BF", "\xED\xBF\xBF", 3},
        {"overlong four-byte F0 8F BF BF", "\xF0\x8F\xBF\xBF", 4},
        {"above U+10FFFF F4 90 80 80", "\xF4\x90\x80\x80", 4},
        {"lead then lead", "\xC3\xC3", 2},
    };
    int differences = 0;
    for (const Case& c : cases) {
        const std::string text = std::string("a") + c.bad + "z";
        const std::u16string result = Utf8ToWide(text.c_str());
        // The seam adds and drops nothing: it is the system's conversion.
        EXPECT_EQ(result, Direct(text.c_str())) << c.name;
        // The good text around the bad bytes survives.
        ASSERT_GE(result.size(), 3u) << c.name << ": " << Hex(result);
        EXPECT_EQ(result.front(), u'a') << c.name << ": " << Hex(result);
        EXPECT_EQ(result.back(), u'z') << c.name << ": " << Hex(result);
        // Everything between is replacement characters: no bad byte slips through as a
        // character of its own, and no lone surrogate is made.
        const std::u16string middle = result.substr(1, result.size() - 2);
        EXPECT_EQ(Replacements(middle), middle.size()) << c.name << ": " << Hex(result);
        EXPECT_TRUE(SurrogatesPaired(result)) << c.name << ": " << Hex(result);
        // At least one and never more than one per byte.
        EXPECT_GE(middle.size(), 1u) << c.name;
        EXPECT_LE(middle.size(), std::char_traits<char>::length(c.bad)) << c.name;
        if (middle.size() != c.nativeCount) {
            ++differences;
            std::printf("%s: %zu U+FFFD here, %zu from the native decoder\n", c.name,
                        middle.size(), c.nativeCount);
        }
    }
    std::printf("%d of %zu invalid inputs differ from the native decoder in their count\n",
                differences, sizeof cases / sizeof cases[0]);
}

}  // namespace
