#include "general_page.h"

#include <shlwapi.h>

#include <cstdint>
#include <string>

namespace {

// Dialog units of the page, in the sheet's own font. Explorer's General tab is 227 x 215; the
// Quorvel page is 220 units wide in "Segoe UI" 9, whose units are wider than the sheet's (and
// under Wine "Segoe UI" falls back to a wider face still), so the stand-in is made wider to
// show the whole Quorvel page.
constexpr short kPageWidth = 262;
constexpr short kPageHeight = 215;
constexpr WORD kStaticClass = 0x0082;

void AppendText(std::vector<WORD>& words, const std::wstring& text) {
    for (wchar_t c : text) {
        words.push_back(static_cast<WORD>(c));
    }
    words.push_back(0);
}

void AlignToDword(std::vector<WORD>& words) {
    if (words.size() % 2 != 0) {
        words.push_back(0);
    }
}

void AppendDword(std::vector<WORD>& words, DWORD value) {
    words.push_back(LOWORD(value));
    words.push_back(HIWORD(value));
}

// One DLGITEMTEMPLATE for a STATIC control.
void AppendStatic(std::vector<WORD>& words, const std::wstring& text, short x, short y, short cx,
                  short cy) {
    AlignToDword(words);
    AppendDword(words, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS);
    AppendDword(words, 0);  // extended style
    words.push_back(static_cast<WORD>(x));
    words.push_back(static_cast<WORD>(y));
    words.push_back(static_cast<WORD>(cx));
    words.push_back(static_cast<WORD>(cy));
    words.push_back(0xFFFF);  // id -1
    words.push_back(0xFFFF);  // class by atom
    words.push_back(kStaticClass);
    AppendText(words, text);
    words.push_back(0);  // no creation data
}

std::wstring SizeText(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return L"(unknown)";
    }
    const std::uint64_t bytes =
        (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    std::wstring digits = std::to_wstring(bytes);
    for (size_t position = digits.size(); position > 3; position -= 3) {
        digits.insert(position - 3, L",");
    }
    return digits + L" bytes";
}

INT_PTR CALLBACK GeneralPageProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

}  // namespace

GeneralPage::GeneralPage(std::wstring path) : path_(std::move(path)) {}

HPROPSHEETPAGE GeneralPage::Create() {
    const wchar_t* name = PathFindFileNameW(path_.c_str());
    std::wstring folder(path_.c_str(), static_cast<size_t>(name - path_.c_str()));
    if (folder.size() > 1 && (folder.back() == L'\\' || folder.back() == L'/')) {
        folder.pop_back();
    }

    template_.clear();
    const short rows = 4;
    AppendDword(template_, WS_CHILD | WS_CAPTION | DS_SETFONT | DS_CONTROL);
    AppendDword(template_, 0);
    template_.push_back(static_cast<WORD>(rows * 2));
    template_.push_back(0);  // x
    template_.push_back(0);  // y
    template_.push_back(static_cast<WORD>(kPageWidth));
    template_.push_back(static_cast<WORD>(kPageHeight));
    template_.push_back(0);  // no menu
    template_.push_back(0);  // default class
    AppendText(template_, L"General");
    template_.push_back(9);
    AppendText(template_, L"Segoe UI");

    struct Row {
        const wchar_t* label;
        std::wstring value;
    };
    const Row table[rows] = {{L"Name:", name},
                             {L"Type of file:", L"Application or library"},
                             {L"Location:", folder},
                             {L"Size:", SizeText(path_)}};
    short y = 10;
    for (const Row& row : table) {
        AppendStatic(template_, row.label, 8, y, 56, 10);
        AppendStatic(template_, row.value, 66, y, 146, 10);
        y = static_cast<short>(y + 16);
    }

    PROPSHEETPAGEW page = {};
    page.dwSize = sizeof(page);
    page.dwFlags = PSP_DLGINDIRECT;
    page.hInstance = GetModuleHandleW(nullptr);
    page.pResource = reinterpret_cast<LPCDLGTEMPLATEW>(template_.data());
    page.pfnDlgProc = GeneralPageProc;
    return CreatePropertySheetPageW(&page);
}
