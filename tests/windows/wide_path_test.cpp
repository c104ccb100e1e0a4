// File names beyond ASCII and beyond 260 characters through the file seam (_wfopen_s and the
// 64-bit stream calls), the domain preview and the job.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "quorvel_test/bytes.h"
#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"
#include "verification/file_stream.h"
#include "verification/verification_job.h"
#include "windows_test_files.h"

namespace {

using quorvel_test::Bytes;

constexpr char kDomain[] = "wide-paths.example";

std::u16string U16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

Bytes SignedImage() {
    const quorvel_test::TestKey key = quorvel_test::KeyFromSeedByte(0x31);
    return quorvel_test::SignPe(quorvel_test::MakeUnsignedPe({}), key, kDomain,
                                quorvel_test::Container::kQuorvelEntry);
}

struct ReadResult {
    bool opened = false;
    int status = 1;
    std::string domain;
};

ReadResult ReadInfo(const std::wstring& path) {
    ReadResult r;
    void* stream = OpenFileStream(U16(path));
    if (stream == nullptr) {
        return r;
    }
    r.opened = true;
    quorvel_signature_info info{};
    r.status = quorvel_read_signature_info(stream, FileStreamIo(), &info);
    r.domain.assign(info.domain, static_cast<size_t>(info.domain_length));
    return r;
}

TEST(WidePaths, NonAsciiFolderAndFileNames) {
    windows_test::TempFolder temp;
    // Latin with diacritics, Greek, CJK, and a character outside the BMP (a surrogate pair).
    const std::wstring folder = temp.Path() + L"\\Pr\u00fcfung \u03a9\u03bc\u03ad\u03b3\u03b1 "
                                              L"\u65e5\u672c\u8a9e \U0001F600";
    windows_test::CreateFolders(folder);
    struct Case {
        const char* name;
        std::wstring file;
    };
    const Case cases[] = {
        {"umlaut", folder + L"\\signiert \u00fc.exe"},
        {"CJK", folder + L"\\\u7f72\u540d.dll"},
        {"surrogate pair", folder + L"\\\U0001F512 locked.exe"},
        {"ASCII file in a non-ASCII folder", folder + L"\\plain.exe"},
    };
    const Bytes image = SignedImage();
    for (const Case& c : cases) {
        windows_test::WriteWholeFile(c.file, image);
        const ReadResult r = ReadInfo(c.file);
        EXPECT_TRUE(r.opened) << c.name;
        EXPECT_EQ(r.status, QUORVEL_OK) << c.name;
        EXPECT_EQ(r.domain, kDomain) << c.name;
        EXPECT_EQ(ReadDomainPreview(U16(c.file)), u"wide-paths.example") << c.name;
    }
    // A name that differs only in one non-ASCII character is another file.
    EXPECT_FALSE(ReadInfo(folder + L"\\signiert \u00fd.exe").opened);
}

TEST(WidePaths, JobGivesTheSameOutcomeForAnAsciiAndANonAsciiPath) {
    windows_test::TempFolder temp;
    const Bytes unsignedImage = quorvel_test::MakeUnsignedPe({});
    const std::wstring ascii = temp.Path() + L"\\unsigned.exe";
    const std::wstring wide = temp.Path() + L"\\\u00fcnsigniert \u4e2d.exe";
    windows_test::WriteWholeFile(ascii, unsignedImage);
    windows_test::WriteWholeFile(wide, unsignedImage);
    const VerificationOutcome expected = RunVerification(U16(ascii), nullptr);
    const VerificationOutcome actual = RunVerification(U16(wide), nullptr);
    ASSERT_FALSE(expected.statusText.empty());
    EXPECT_EQ(actual.statusText, expected.statusText);
    EXPECT_EQ(actual.resultText, expected.resultText);
    EXPECT_EQ(actual.domainText, expected.domainText);
    EXPECT_EQ(actual.kind, expected.kind);
    // And a missing non-ASCII file is not the same as the unsigned one.
    const VerificationOutcome missing = RunVerification(U16(wide + L"x"), nullptr);
    EXPECT_NE(missing.statusText, expected.statusText);
    EXPECT_EQ(missing.kind, OutcomeKind::Failed);
}

// A file whose full plain path is exactly length characters: TEMP\<filler>\f.exe.
std::wstring PathOfLength(const std::wstring& base, size_t length) {
    const size_t fixed = base.size() + 1 + 1 + 5;  // "\" filler "\" "f.exe"
    if (length <= fixed || length - fixed > 255) {
        throw std::runtime_error("cannot make a path of that length here");
    }
    return base + L"\\" + std::wstring(length - fixed, L'd') + L"\\f.exe";
}

TEST(WidePaths, LongPathsThroughTheExtendedForm) {
    windows_test::TempFolder temp;
    const Bytes image = SignedImage();
    // Deep: several 200-character levels make a path of well over 600 characters.
    std::wstring deep = temp.Path();
    for (int level = 0; level < 3; ++level) {
        deep += L"\\" + std::wstring(200, static_cast<wchar_t>(L'a' + level));
    }
    windows_test::CreateFolders(deep);
    const std::wstring deepFile = deep + L"\\\u00e4 long.exe";
    ASSERT_GT(deepFile.size(), 600u);
    windows_test::WriteWholeFile(deepFile, image);

    struct Case {
        const char* name;
        std::wstring path;
    };
    std::vector<Case> cases = {
        {"over 600 characters, extended form", windows_test::ExtendedPath(deepFile)},
    };
    for (size_t length : {259u, 260u, 261u, 300u}) {
        const std::wstring plain = PathOfLength(temp.Path(), length);
        ASSERT_EQ(plain.size(), length);
        windows_test::CreateFolders(plain.substr(0, plain.find_last_of(L'\\')));
        windows_test::WriteWholeFile(plain, image);
        cases.push_back({"extended form", windows_test::ExtendedPath(plain)});
    }
    for (const Case& c : cases) {
        const ReadResult r = ReadInfo(c.path);
        EXPECT_TRUE(r.opened) << c.name << " (" << c.path.size() << " characters)";
        EXPECT_EQ(r.status, QUORVEL_OK) << c.name << " (" << c.path.size() << " characters)";
        EXPECT_EQ(r.domain, kDomain) << c.name << " (" << c.path.size() << " characters)";
        EXPECT_EQ(ReadDomainPreview(U16(c.path)), u"wide-paths.example") << c.name;
    }
}

TEST(WidePaths, PlainFormUpToAndBeyondTheClassicLimit) {
    windows_test::TempFolder temp;
    const Bytes image = SignedImage();
    // 259 characters is the longest plain file path that every Windows opens; a plain path of
    // 260 or more opens only where long paths are enabled for the process (Wine always lets
    // it through). Beyond the limit the seam must give either the right answer or "cannot
    // open", never a wrong one.
    struct Case {
        size_t length;
        bool mustOpen;
    };
    for (const Case& c : {Case{200, true}, Case{259, true}, Case{260, false}, Case{261, false},
                          Case{400, false}}) {
        std::wstring plain;
        if (c.length <= temp.Path().size() + 7 + 255) {
            plain = PathOfLength(temp.Path(), c.length);
        } else {
            std::wstring folder = temp.Path() + L"\\" + std::wstring(200, L'x');
            plain = folder + L"\\" + std::wstring(c.length - folder.size() - 1, L'y');
        }
        ASSERT_EQ(plain.size(), c.length);
        windows_test::CreateFolders(plain.substr(0, plain.find_last_of(L'\\')));
        windows_test::WriteWholeFile(plain, image);
        const ReadResult r = ReadInfo(plain);
        if (c.mustOpen) {
            EXPECT_TRUE(r.opened) << c.length << " characters";
        }
        if (r.opened) {
            EXPECT_EQ(r.status, QUORVEL_OK) << c.length << " characters";
            EXPECT_EQ(r.domain, kDomain) << c.length << " characters";
        }
        std::printf("plain path of %zu characters: %s\n", c.length,
                    r.opened ? "opened" : "not opened");
    }
}

}  // namespace
