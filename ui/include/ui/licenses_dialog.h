// The licences dialog (template IDD_LICENSES): one read-only text field with the licence
// notices of the components that the module carries, and an OK button.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The dialog procedure, for DialogBoxParamW with template IDD_LICENSES.
INT_PTR CALLBACK LicensesDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The dialog's whole text: the five notice blocks converted from UTF-8, joined by CR LF CR LF.
std::u16string BuildThirdPartyNotices();

// Number of notice blocks and the separator between two of them.
inline constexpr int kNoticeBlockCount = 5;
inline constexpr char16_t kNoticeSeparator[] = u"\r\n\r\n";

// Block index (0 to 4) as stored in the module: UTF-8, a line feed, the heading line, an empty
// line, then the component's notice. Out-of-range indexes give an empty view.
std::string_view NoticeBlock(int index);
