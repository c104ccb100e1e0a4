// The embedded font that the page installs for the domain, as the system reads it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cwchar>

#include "shell_module.h"

namespace {

using namespace shell_test;

// The page takes the font only at exactly this size and asks for it by this face name.
TEST(Resources, EmbeddedFontInstallsTheDomainFace) {
    const HRSRC found = FindResourceW(Module(), MAKEINTRESOURCEW(1100), RT_RCDATA);
    ASSERT_NE(found, nullptr);
    ASSERT_EQ(SizeofResource(Module(), found), 54444U);
    DWORD installed = 0;
    const HANDLE added = AddFontMemResourceEx(LockResource(LoadResource(Module(), found)), 54444,
                                              nullptr, &installed);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(installed, 1U);
    LOGFONTW wanted = {};
    wanted.lfCharSet = DEFAULT_CHARSET;
    std::wcscpy(wanted.lfFaceName, L"Atkinson Hyperlegible");
    int faces = 0;
    const HDC screen = GetDC(nullptr);
    EnumFontFamiliesExW(
        screen, &wanted,
        [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM count) -> int {
            ++*reinterpret_cast<int*>(count);
            return 1;
        },
        reinterpret_cast<LPARAM>(&faces), 0);
    ReleaseDC(nullptr, screen);
    EXPECT_GT(faces, 0);
    EXPECT_TRUE(RemoveFontMemResourceEx(added));
}

}  // namespace
