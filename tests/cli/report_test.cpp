// Text and JSON output of quorvel-verify, and the encodings beneath them.
#include "report.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>

#include "quorvel/quorvel.h"
#include "text_encoding.h"

namespace {

TEST(TextEncoding, ControlCharactersAreReplacedForTheTerminal) {
    EXPECT_EQ(WithoutControlCharacters(u"a\x1b[31mb\nc\td\u007f\u0085e\u009f"),
              u"a\ufffd[31mb\ufffdc\ufffdd\ufffd\ufffde\ufffd");
    EXPECT_EQ(WithoutControlCharacters(u" ~\u00a0\u00fc"), u" ~\u00a0\u00fc") << "kept";
}

TEST(TextEncoding, JsonString) {
    // clang-format off
    const struct { const char* name; std::string input, json; } rows[] = {
        {"empty", "", R"("")"},
        {"quote", "say \"hi\"", R"("say \"hi\"")"},
        {"backslash", "C:\\dir\\a.exe", R"("C:\\dir\\a.exe")"},
        {"short escapes", "\b\f\n\r\t", R"("\b\f\n\r\t")"},
        {"NUL", std::string("a\0b", 3), R"("a\u0000b")"},
        {"U+001F, last control", "\x1f", R"("\u001f")"},
        {"U+0020, first plain", " ", R"(" ")"},
        {"DEL kept", "\x7f", "\"\x7f\""},
        {"non-ASCII kept as UTF-8", "b\xc3\xbc" "cher \xe2\x9c\x93 \xf0\x9f\x94\x91", "\"b\xc3\xbc" "cher \xe2\x9c\x93 \xf0\x9f\x94\x91\""},
        {"invalid byte replaced", "a\xff" "b", "\"a\xef\xbf\xbd" "b\""},
        {"truncated sequence replaced", "a\xe2\x9c", "\"a\xef\xbf\xbd\xef\xbf\xbd\""},
        {"overlong replaced", "\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
        {"surrogate in UTF-8 replaced", "\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
        {"above U+10FFFF replaced", "\xf4\x90\x80\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string json = JsonString(row.input);
        EXPECT_EQ(json, row.json);
        rapidjson::Document document;
        document.Parse(json.c_str(), json.size());
        EXPECT_FALSE(document.HasParseError()) << json;
    }
}

VerificationOutcome SampleOutcome() {
    return {u"Quorvel: verified", u"The signature validated successfully.", u"b\u00fccher.example",
            u"Release \"key\" \\ 1\nline two", OutcomeKind::Verified};
}

TEST(Report, TextLayout) {
    EXPECT_EQ(FormatOutcomeText("dir/app.exe", SampleOutcome()),
              "dir/app.exe\n"
              "  Status:              Quorvel: verified\n"
              "  Verification domain: b\xc3\xbc"
              "cher.example\n"
              "  Key description:     Release \"key\" \\ 1\xef\xbf\xbdline two\n"
              "  Results:             The signature validated successfully.\n");
    VerificationOutcome undescribed = SampleOutcome();
    undescribed.descriptionText.clear();
    const std::string text = FormatOutcomeText("a.exe", undescribed);
    EXPECT_NE(text.find("  Key description:     (not provided)\n"), std::string::npos) << text;
}

TEST(Report, JsonMembersInOrder) {
    EXPECT_EQ(FormatOutcomeJson("dir/\"odd\".exe", SampleOutcome()),
              R"({"file":"dir/\"odd\".exe","kind":"verified","status":"Quorvel: verified",)"
              R"("result":"The signature validated successfully.","domain":")"
              "b\xc3\xbc"
              "cher.example"
              R"(","description":"Release \"key\" \\ 1\nline two"})");
    EXPECT_STREQ(KindName(OutcomeKind::Neutral), "neutral");
    EXPECT_STREQ(KindName(OutcomeKind::Failed), "failed");
}

TEST(Report, InfoText) {
    const SignatureInfoReport good{true, QUORVEL_OK, "signer.example", std::string(43, 'A')};
    EXPECT_EQ(FormatInfoText("a.exe", good),
              "a.exe\n"
              "  Verification domain: signer.example\n"
              "  Key id:              " +
                  std::string(43, 'A') + "\n");

    const SignatureInfoReport emptyDomain{true, QUORVEL_OK, "", good.keyIdText};
    EXPECT_NE(FormatInfoText("a.exe", emptyDomain).find("Verification domain: (not available)"),
              std::string::npos);

    // clang-format off
    const struct { SignatureInfoReport report; const char* sentence; } rows[] = {
        {{false, 0, "", ""}, "The file could not be opened."},
        {{true, QUORVEL_ERR_READ, "", ""}, "The file could not be read."},
        {{true, QUORVEL_ERR_NOT_PE, "", ""}, "The file is not a PE file."},
        {{true, QUORVEL_ERR_NO_SIGNATURE, "", ""}, "The file carries no Quorvel signature."},
        {{true, QUORVEL_ERR_INVALID_PAYLOAD, "", ""}, "The file's Quorvel signature payload is invalid."},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(FormatInfoText("b.dll", row.report),
                  std::string("b.dll\n  ") + row.sentence + "\n")
            << row.sentence;
    }
}

}  // namespace
