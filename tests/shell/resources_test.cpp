// The module's resources as the system reads them: the two dialog templates field by field,
// the version resource, the manifest and the embedded font.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "shell_test_support.h"

namespace {

constexpr WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr WORD kButtonClass = 0x0080;
constexpr WORD kEditClass = 0x0081;
constexpr WORD kStaticClass = 0x0082;

struct Control {
    DWORD helpId;
    DWORD exStyle;
    DWORD style;
    short x, y, cx, cy;
    DWORD id;
    WORD classOrdinal;  // 0 when the class is given by name
    std::wstring title;
    WORD extraBytes;
};

struct Dialog {
    WORD version;
    WORD signature;
    DWORD helpId;
    DWORD exStyle;
    DWORD style;
    short x, y, cx, cy;
    std::wstring menu;
    std::wstring windowClass;
    std::wstring title;
    WORD pointSize;
    WORD weight;
    BYTE italic;
    BYTE charset;
    std::wstring typeface;
    std::vector<Control> controls;
};

// Reads an extended dialog template (DLGTEMPLATEEX), checking that every read stays inside.
class TemplateReader {
public:
    TemplateReader(const BYTE* data, DWORD size) : data_(data), size_(size) {}

    bool ok() const { return ok_; }

    template <typename T>
    T Read() {
        T value{};
        if (!Need(sizeof(T))) {
            return value;
        }
        std::memcpy(&value, data_ + position_, sizeof(T));
        position_ += sizeof(T);
        return value;
    }
    std::wstring ReadString() {
        std::wstring text;
        for (;;) {
            const auto c = Read<WORD>();
            if (!ok_ || c == 0) {
                return text;
            }
            text.push_back(static_cast<wchar_t>(c));
        }
    }
    // sz_Or_Ord: an ordinal is returned in ordinal, a name as text.
    std::wstring ReadNameOrOrdinal(WORD& ordinal) {
        ordinal = 0;
        const auto first = Read<WORD>();
        if (first == 0xFFFF) {
            ordinal = Read<WORD>();
            return {};
        }
        if (first == 0) {
            return {};
        }
        std::wstring text(1, static_cast<wchar_t>(first));
        return text + ReadString();
    }
    void AlignDword() { position_ = (position_ + 3) & ~static_cast<size_t>(3); }
    void Skip(size_t bytes) {
        if (Need(bytes)) {
            position_ += bytes;
        }
    }

private:
    bool Need(size_t bytes) {
        if (position_ + bytes > size_) {
            ok_ = false;
        }
        return ok_;
    }
    const BYTE* data_;
    DWORD size_;
    size_t position_ = 0;
    bool ok_ = true;
};

const BYTE* FindResourceBytes(HMODULE module, LPCWSTR type, WORD id, DWORD& size) {
    HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), kEnglishUs);
    if (found == nullptr) {
        return nullptr;
    }
    size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    return loaded == nullptr ? nullptr : static_cast<const BYTE*>(LockResource(loaded));
}

bool ReadDialog(HMODULE module, WORD id, Dialog& dialog) {
    DWORD size = 0;
    const BYTE* bytes = FindResourceBytes(module, MAKEINTRESOURCEW(5) /* RT_DIALOG */, id, size);
    if (bytes == nullptr) {
        return false;
    }
    TemplateReader reader(bytes, size);
    dialog.version = reader.Read<WORD>();
    dialog.signature = reader.Read<WORD>();
    dialog.helpId = reader.Read<DWORD>();
    dialog.exStyle = reader.Read<DWORD>();
    dialog.style = reader.Read<DWORD>();
    const auto count = reader.Read<WORD>();
    dialog.x = reader.Read<short>();
    dialog.y = reader.Read<short>();
    dialog.cx = reader.Read<short>();
    dialog.cy = reader.Read<short>();
    WORD ordinal = 0;
    dialog.menu = reader.ReadNameOrOrdinal(ordinal);
    if (ordinal != 0) dialog.menu = L"#ordinal";
    dialog.windowClass = reader.ReadNameOrOrdinal(ordinal);
    if (ordinal != 0) dialog.windowClass = L"#ordinal";
    dialog.title = reader.ReadString();
    dialog.pointSize = reader.Read<WORD>();
    dialog.weight = reader.Read<WORD>();
    dialog.italic = reader.Read<BYTE>();
    dialog.charset = reader.Read<BYTE>();
    dialog.typeface = reader.ReadString();
    for (WORD i = 0; i < count && reader.ok(); ++i) {
        reader.AlignDword();
        Control control{};
        control.helpId = reader.Read<DWORD>();
        control.exStyle = reader.Read<DWORD>();
        control.style = reader.Read<DWORD>();
        control.x = reader.Read<short>();
        control.y = reader.Read<short>();
        control.cx = reader.Read<short>();
        control.cy = reader.Read<short>();
        control.id = reader.Read<DWORD>();
        const std::wstring className = reader.ReadNameOrOrdinal(control.classOrdinal);
        WORD titleOrdinal = 0;
        control.title = reader.ReadNameOrOrdinal(titleOrdinal);
        control.extraBytes = reader.Read<WORD>();
        reader.Skip(control.extraBytes);
        dialog.controls.push_back(control);
    }
    return reader.ok() && dialog.controls.size() == count;
}

struct ExpectedControl {
    DWORD id;
    WORD classOrdinal;
    const wchar_t* text;
    short x, y, cx, cy;
    DWORD style;
};

void ExpectDialog(const Dialog& dialog, DWORD style, short cx, short cy, const wchar_t* caption,
                  const std::vector<ExpectedControl>& controls) {
    EXPECT_EQ(dialog.version, 1);
    EXPECT_EQ(dialog.signature, 0xFFFF) << "an extended template";
    EXPECT_EQ(dialog.helpId, 0U);
    EXPECT_EQ(dialog.exStyle, 0U);
    EXPECT_EQ(dialog.style, style);
    EXPECT_EQ(dialog.x, 0);
    EXPECT_EQ(dialog.y, 0);
    EXPECT_EQ(dialog.cx, cx);
    EXPECT_EQ(dialog.cy, cy);
    EXPECT_EQ(dialog.menu, L"");
    EXPECT_EQ(dialog.windowClass, L"");
    EXPECT_EQ(dialog.title, caption);
    EXPECT_EQ(dialog.pointSize, 9);
    EXPECT_EQ(dialog.weight, 0);
    EXPECT_EQ(dialog.italic, 0);
    EXPECT_EQ(dialog.charset, 1);
    EXPECT_EQ(dialog.typeface, L"Segoe UI");
    ASSERT_EQ(dialog.controls.size(), controls.size());
    for (size_t i = 0; i < controls.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i + 1));
        const Control& got = dialog.controls[i];
        const ExpectedControl& want = controls[i];
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.classOrdinal, want.classOrdinal);
        EXPECT_EQ(got.title, want.text);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
        EXPECT_EQ(got.style, want.style);
        EXPECT_EQ(got.exStyle, 0U);
        EXPECT_EQ(got.helpId, 0U);
        EXPECT_EQ(got.extraBytes, 0);
    }
}

constexpr DWORD kNoId = 0xFFFFFFFF;  // -1

class ResourcesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(dll_.module(), nullptr); }
    shell_test::Dll dll_;
};

TEST_F(ResourcesTest, PropertyPageTemplate) {
    Dialog dialog{};
    ASSERT_TRUE(ReadDialog(dll_.module(), 1000, dialog));
    ExpectDialog(dialog, 0x50C00448, 220, 146, L"quorvel",
                 {
                     {kNoId, kStaticClass, L"Status:", 8, 8, 40, 12, 0x50020000},
                     {1001, kStaticClass, L"", 8, 20, 198, 16, 0x50020080},
                     {kNoId, kStaticClass, L"Verification domain:", 8, 42, 80, 12, 0x50020000},
                     {1003, kStaticClass, L"", 8, 54, 198, 16, 0x50020080},
                     {kNoId, kStaticClass, L"Key description:", 8, 74, 70, 12, 0x50020000},
                     {1005, kStaticClass, L"", 8, 86, 198, 16, 0x50002080},
                     {kNoId, kStaticClass, L"Results:", 8, 106, 40, 12, 0x50020000},
                     {1002, kStaticClass, L"", 8, 118, 198, 12, 0x50002080},
                     {1004, kStaticClass, L"Third Party Licenses", 94, 130, 116, 12, 0x50000182},
                 });
}

TEST_F(ResourcesTest, LicensesDialogTemplate) {
    Dialog dialog{};
    ASSERT_TRUE(ReadDialog(dll_.module(), 1006, dialog));
    ExpectDialog(dialog, 0x00C80048, 220, 120, L"Third Party Licenses",
                 {
                     {1007, kEditClass, L"", 8, 8, 204, 78, 0x50A10844},
                     {1, kButtonClass, L"OK", 170, 92, 42, 14, 0x50010001},
                 });
}

std::wstring VersionString(const std::vector<BYTE>& info, const wchar_t* name) {
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || value == nullptr) {
        return L"<missing>";
    }
    return std::wstring(static_cast<const wchar_t*>(value));
}

TEST_F(ResourcesTest, VersionResource) {
    const std::wstring path = shell_test::DllPath();
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    ASSERT_GT(size, 0U);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00000000U);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00010000U);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00000000U);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00010000U);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    const std::pair<const wchar_t*, const wchar_t*> strings[] = {
        {L"CompanyName", L"The Quorvel Shell Integration developers"},
        {L"FileDescription", L"Quorvel Shell Integration"},
        {L"ProductName", L"Quorvel Shell Integration"},
        {L"InternalName", L"quorvel-shell-integration"},
        {L"OriginalFilename", L"quorvel-shell-integration.dll"},
        {L"FileVersion", L"0.0.1.0"},
        {L"ProductVersion", L"0.0.1.0"},
    };
    for (const auto& [name, expected] : strings) {
        EXPECT_EQ(VersionString(info, name), expected) << shell_test::ToUtf8(name);
    }

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_GE(length, 4U);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);
}

TEST_F(ResourcesTest, ManifestAsksForTheCallersRights) {
    DWORD size = 0;
    const BYTE* bytes = FindResourceBytes(dll_.module(), MAKEINTRESOURCEW(24) /* RT_MANIFEST */, 2, size);
    ASSERT_NE(bytes, nullptr);
    const std::string manifest(reinterpret_cast<const char*>(bytes), size);
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
              std::string::npos)
        << manifest;
}

uint32_t BigEndian32(const BYTE* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

// The OS/2 table's usWeightClass, or 0 when the table cannot be found inside the file.
unsigned WeightClass(const BYTE* font, DWORD size) {
    if (size < 12) {
        return 0;
    }
    const unsigned tables = (static_cast<unsigned>(font[4]) << 8) | font[5];
    for (unsigned i = 0; i < tables; ++i) {
        const DWORD record = 12 + i * 16;
        if (record + 16 > size) {
            return 0;
        }
        if (std::memcmp(font + record, "OS/2", 4) == 0) {
            const uint32_t offset = BigEndian32(font + record + 8);
            if (static_cast<uint64_t>(offset) + 6 > size) {
                return 0;
            }
            return (static_cast<unsigned>(font[offset + 4]) << 8) | font[offset + 5];
        }
    }
    return 0;
}

bool ContainsUtf16BigEndian(const BYTE* bytes, DWORD size, const char* text) {
    std::string needle;
    for (const char* c = text; *c != '\0'; ++c) {
        needle.push_back('\0');
        needle.push_back(*c);
    }
    return std::string(reinterpret_cast<const char*>(bytes), size).find(needle) != std::string::npos;
}

TEST_F(ResourcesTest, EmbeddedFontIsAtkinsonHyperlegibleBold) {
    DWORD size = 0;
    const BYTE* font = FindResourceBytes(dll_.module(), MAKEINTRESOURCEW(10) /* RT_RCDATA */, 1100, size);
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(size, 54444U);
    EXPECT_EQ(BigEndian32(font), 0x00010000U) << "a TrueType outline font";
    EXPECT_EQ(WeightClass(font, size), 700U);
    EXPECT_TRUE(ContainsUtf16BigEndian(font, size, "Atkinson Hyperlegible"));
    EXPECT_TRUE(ContainsUtf16BigEndian(font, size, "Version 1.006"));

    // The system accepts the image as a private font.
    DWORD installed = 0;
    HANDLE registered = AddFontMemResourceEx(const_cast<BYTE*>(font), size, nullptr, &installed);
    ASSERT_NE(registered, nullptr);
    EXPECT_EQ(installed, 1U);
    EXPECT_TRUE(RemoveFontMemResourceEx(registered));
}

}  // namespace
