#include "ui/property_page.h"

#include <new>
#include <string>

#include "resource.h"
#include "shell/module_state.h"
#include "shell/property_sheet_handler.h"
#include "ui/licenses_dialog.h"
#include "ui/wide_text.h"
#include "verification/outcome_delivery.h"

namespace {

PageState* GetPageState(HWND window) {
    return reinterpret_cast<PageState*>(GetWindowLongPtrW(window, DWLP_USER));
}

void SetControlText(HWND window, int controlId, const std::u16string& text) {
    SetDlgItemTextW(window, controlId, AsWide(text));
}

// The module's embedded TrueType file, or null when the resource is missing or not whole.
const void* FindEmbeddedFont() {
    HRSRC found = FindResourceW(g_moduleInstance, MAKEINTRESOURCEW(IDR_DOMAIN_FONT),
                                MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (found == nullptr || SizeofResource(g_moduleInstance, found) != kDomainFontBytes) {
        return nullptr;
    }
    HGLOBAL loaded = LoadResource(g_moduleInstance, found);
    return loaded == nullptr ? nullptr : LockResource(loaded);
}

HFONT CreatePageFont(int height, DWORD underline, const wchar_t* face) {
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, underline, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, face);
}

void CreateFonts(HWND window, PageState& state) {
    int dotsPerInch = kDefaultDotsPerInch;
    if (HDC context = GetDC(window); context != nullptr) {
        dotsPerInch = GetDeviceCaps(context, LOGPIXELSY);
        ReleaseDC(window, context);
    }

    if (const void* fontImage = FindEmbeddedFont(); fontImage != nullptr) {
        DWORD installed = 0;
        // All 54,444 bytes, registered for this process only.
        state.fontResource = AddFontMemResourceEx(const_cast<void*>(fontImage), kDomainFontBytes,
                                                  nullptr, &installed);
    }

    const int height = PageFontHeight(dotsPerInch);
    state.domainFont = CreatePageFont(height, 0, kDomainFontFace);
    state.linkFont = CreatePageFont(height, 1, kLinkFontFace);
    if (state.domainFont != nullptr) {
        SendMessageW(GetDlgItem(window, IDC_DOMAIN), WM_SETFONT,
                     reinterpret_cast<WPARAM>(state.domainFont), TRUE);
    }
    if (state.linkFont != nullptr) {
        SendMessageW(GetDlgItem(window, IDC_LICENSES_LINK), WM_SETFONT,
                     reinterpret_cast<WPARAM>(state.linkFont), TRUE);
    }
}

// Outcomes posted by the worker just before the window went away would otherwise never be
// received; they are freed here. The queue holds finitely many, the loop ends with it.
void DiscardPendingOutcomes(HWND window) {
    MSG message;
    while (PeekMessageW(&message, window, WM_VERIFICATION_RESULT, WM_VERIFICATION_RESULT,
                        PM_REMOVE)) {
        delete reinterpret_cast<VerificationOutcome*>(message.lParam);
    }
}

INT_PTR OnInitDialog(HWND window, LPARAM lParam) {
    QuorvelPropertySheetHandler* handler = nullptr;
    if (lParam != 0) {
        handler = reinterpret_cast<QuorvelPropertySheetHandler*>(
            reinterpret_cast<const PROPSHEETPAGEW*>(lParam)->lParam);
    }

    auto* state = new (std::nothrow) PageState();
    if (state == nullptr) {
        return FALSE;
    }
    state->handler = handler;
    if (handler != nullptr) {
        // The window's own reference, given back at WM_DESTROY; the page description keeps
        // the one that AddPages took until the sheet destroys the page.
        handler->AddRef();
    }
    SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(state));

    std::u16string status;
    std::u16string domain;
    std::u16string result;
    bool textsReady = false;
    try {
        status = kStatusUnavailableText;
        domain = kDomainNotAvailableText;
        result = kResultCheckingText;
        if (handler != nullptr) {
            if (!handler->statusText.empty()) {
                status = handler->statusText;
            }
            if (!handler->resultText.empty()) {
                result = handler->resultText;
            }
            domain = ReadDomainPreview(handler->targetPath);
            StartVerificationWorker(window, &state->request, handler->targetPath);
        }
        textsReady = true;
    } catch (...) {
        // Out of memory while copying texts: the controls keep the template's texts.
    }

    CreateFonts(window, *state);

    if (textsReady) {
        try {
            SetControlText(window, IDC_STATUS, status);
            SetControlText(window, IDC_DOMAIN, domain);
            SetControlText(window, IDC_DESCRIPTION, kDescriptionNotProvidedText);
            SetControlText(window, IDC_RESULTS, result);
        } catch (...) {
            // Out of memory for a placeholder text: that line keeps the template's text.
        }
    }
    UpdateWindow(window);
    return TRUE;
}

INT_PTR OnControlColor(HWND window, HDC context, HWND control) {
    if (control == nullptr) {
        return FALSE;
    }
    COLORREF color = 0;
    switch (GetDlgCtrlID(control)) {
    case IDC_LICENSES_LINK:
        color = kLicensesLinkColor;
        break;
    case IDC_STATUS: {
        const PageState* state = GetPageState(window);
        color = StatusColorForKind(state != nullptr ? state->statusKind : OutcomeKind::Neutral);
        break;
    }
    default:
        return FALSE;
    }
    SetTextColor(context, color);
    SetBkMode(context, TRANSPARENT);
    return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_WINDOW));
}

INT_PTR OnCommand(HWND window, WPARAM wParam) {
    if (LOWORD(wParam) != IDC_LICENSES_LINK || HIWORD(wParam) != STN_CLICKED) {
        return FALSE;
    }
    DialogBoxParamW(g_moduleInstance, MAKEINTRESOURCEW(IDD_LICENSES), window, LicensesDialogProc,
                    0);
    return TRUE;
}

INT_PTR OnVerificationResult(HWND window, LPARAM lParam) {
    auto* outcome = reinterpret_cast<VerificationOutcome*>(lParam);
    if (outcome == nullptr) {
        return TRUE;
    }
    PageState* state = GetPageState(window);
    if (state == nullptr ||
        (state->request != nullptr && state->request->cancelled.load() != 0)) {
        delete outcome;
        return TRUE;
    }
    // Before the text changes, so that the repaint it causes already uses the new colour.
    state->statusKind = outcome->kind;
    try {
        SetControlText(window, IDC_STATUS, outcome->statusText);
        SetControlText(window, IDC_DOMAIN, outcome->domainText);
        SetControlText(window, IDC_DESCRIPTION, outcome->descriptionText.empty()
                                                    ? std::u16string(kDescriptionNotProvidedText)
                                                    : outcome->descriptionText);
        SetControlText(window, IDC_RESULTS, outcome->resultText);
    } catch (...) {
        // Out of memory for the placeholder text: the line keeps what it shows.
    }
    delete outcome;
    return TRUE;
}

INT_PTR OnDestroy(HWND window) {
    PageState* state = GetPageState(window);
    if (state == nullptr) {
        DiscardPendingOutcomes(window);
        return TRUE;
    }
    if (state->request != nullptr) {
        state->request->cancelled.exchange(1);
        ReleaseVerificationRequest(state->request);
        state->request = nullptr;
    }
    DiscardPendingOutcomes(window);
    if (state->handler != nullptr) {
        state->handler->Release();
        state->handler = nullptr;
    }
    if (state->domainFont != nullptr) {
        DeleteObject(state->domainFont);
    }
    if (state->linkFont != nullptr) {
        DeleteObject(state->linkFont);
    }
    if (state->fontResource != nullptr) {
        RemoveFontMemResourceEx(state->fontResource);
    }
    SetWindowLongPtrW(window, DWLP_USER, 0);
    delete state;
    return TRUE;
}

}  // namespace

COLORREF StatusColorForKind(OutcomeKind kind) {
    switch (kind) {
    case OutcomeKind::Verified:
        return kVerifiedColor;
    case OutcomeKind::Failed:
        return kFailedColor;
    case OutcomeKind::Neutral:
        break;
    }
    return GetSysColor(COLOR_WINDOWTEXT);
}

int PageFontHeight(int dotsPerInch) {
    return -MulDiv(kPageFontPoints, dotsPerInch, 72);
}

INT_PTR CALLBACK PropertyPageDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(window, lParam);
    case WM_CTLCOLORSTATIC:
        return OnControlColor(window, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_COMMAND:
        return OnCommand(window, wParam);
    case WM_VERIFICATION_RESULT:
        return OnVerificationResult(window, lParam);
    case WM_DESTROY:
        return OnDestroy(window);
    default:
        return FALSE;
    }
}
