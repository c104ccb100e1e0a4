#include "ui/licenses_dialog.h"

#include <string>

#include "common/text_conversion.h"
#include "notice_blocks.h"
#include "resource.h"
#include "ui/wide_text.h"

std::string_view NoticeBlock(int index) {
    if (index < 0 || index >= kNoticeBlockCount) {
        return {};
    }
    const auto slot = static_cast<std::size_t>(index);
    return std::string_view(kNoticeBlockTexts[slot], kNoticeBlockSizes[slot]);
}

std::u16string BuildThirdPartyNotices() {
    std::u16string text;
    for (int index = 0; index < kNoticeBlockCount; ++index) {
        if (index > 0) {
            text += kNoticeSeparator;
        }
        // The stored blocks end in a NUL byte, so each is a NUL-terminated UTF-8 string.
        text += Utf8ToWide(kNoticeBlockTexts[static_cast<std::size_t>(index)]);
    }
    return text;
}

INT_PTR CALLBACK LicensesDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        try {
            const std::u16string text = BuildThirdPartyNotices();
            SetDlgItemTextW(window, IDC_LICENSES_TEXT, AsWide(text));
        } catch (...) {
            // Out of memory: the field stays empty.
        }
        return TRUE;
    case WM_COMMAND:
        // Enter, the OK button, Escape and the caption's close box all end up here.
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(window, 0);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
