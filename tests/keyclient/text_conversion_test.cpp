// The shared text conversions: UTF-8 and UTF-16 both ways, U+FFFD, Widen's sign extension.
#include "common/text_conversion.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TextConversion, BothWaysAtEachLengthBoundaryAndWhatCannotBeConverted) {
    const char utf8[] =
        "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
    const std::u16string utf16 = u"\u007F\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF";
    EXPECT_EQ(Utf8ToWide(utf8), utf16);
    bool lossless = false;
    EXPECT_EQ(WideToUtf8(utf16, &lossless), utf8);
    EXPECT_TRUE(lossless);

    // What cannot be converted becomes U+FFFD.
    EXPECT_EQ(Utf8ToWide("a\xC0\xAF\x62"), u"a\uFFFD\uFFFDb");  // tests/signature: the rules
    EXPECT_EQ(Utf8ToWide(nullptr), u"");
    EXPECT_EQ(WideToUtf8(u"a\xDC00\xDBFF"
                         u"b\xD800",
                         &lossless),
              "a\xEF\xBF\xBD\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_FALSE(lossless);
    EXPECT_EQ(Widen(std::string("a\0\x7F\x80\xFF", 5)),
              std::u16string(u"a\0\u007F\uFF80\uFFFF", 5));
}

}  // namespace
