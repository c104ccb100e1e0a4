// Utf8ToWide's bounds (one U+FFFD per maximal subpart off Windows) and Widen's sign extension.
#include <gtest/gtest.h>

#include <string>

#include "common/text_conversion.h"

namespace {

// Windows decodes with the system's converter, whose replacements tests/windows checks.
#ifndef _WIN32
TEST(TextConversion, Utf8ToWide) {
    const std::pair<const char*, std::u16string> rows[] = {
        {"\x7F\xC2\x80\xDF\xBF", u"\u007F\u0080\u07FF"},
        {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", u"\u0800\uD7FF\uE000\uFFFF"},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", u"\U00010000\U0010FFFF"},
        {"\xC1\xBF\xC3", u"\uFFFD\uFFFD\uFFFD"},
        {"\xE0\x9F\xBF", u"\uFFFD\uFFFD\uFFFD"},
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"\xF0\x8F\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"\xF5\xFF\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"\xE2\x82" "A\xF0\x9F\x94", u"\uFFFDA\uFFFD"},
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"},
    };
    for (const auto& [utf8, utf16] : rows) {
        EXPECT_EQ(Utf8ToWide(utf8), utf16) << "row starting " << int(static_cast<unsigned char>(utf8[0]));
    }
    EXPECT_EQ(Utf8ToWide(nullptr), u"");
}
#endif

TEST(TextConversion, WidenSignExtendsEachByte) {
    EXPECT_EQ(Widen(std::string("a\0\x7F\x80\xFF", 5)), std::u16string(u"a\0\u007F\uFF80\uFFFF", 5));
}

}  // namespace
