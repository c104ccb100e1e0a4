// The "Quorvel" tab of the Properties window: a dialog page built from template
// IDD_PROPERTY_PAGE. It shows provisional texts and the signer's domain at once, runs the
// verification on a worker thread and shows the outcome, coloured by its kind.
//
// Everything here runs on the property sheet's user-interface thread.
#pragma once

#include <windows.h>

#include "verification/verification_job.h"
#include "verification/verification_worker.h"

class QuorvelPropertySheetHandler;

// Bytes of the embedded TrueType file ("Atkinson Hyperlegible" Bold 1.006).
inline constexpr DWORD kDomainFontBytes = 54444;
inline constexpr wchar_t kDomainFontFace[] = L"Atkinson Hyperlegible";
inline constexpr wchar_t kLinkFontFace[] = L"Segoe UI";
// Character height of both created fonts, in points.
inline constexpr int kPageFontPoints = 10;
// Resolution assumed when the page's device context cannot be had.
inline constexpr int kDefaultDotsPerInch = 96;

// Text colours (COLORREF: red in the low byte).
inline constexpr COLORREF kLicensesLinkColor = 0xCC6600;  // RGB(0, 102, 204)
inline constexpr COLORREF kVerifiedColor = 0x006400;      // RGB(0, 100, 0)
inline constexpr COLORREF kFailedColor = 0x3C14DC;        // RGB(220, 20, 60)

// Texts the page shows before an outcome arrives or in place of an empty field.
inline constexpr char16_t kStatusUnavailableText[] = u"Quorvel: unavailable";
inline constexpr char16_t kDomainNotAvailableText[] = u"(not available)";
inline constexpr char16_t kDescriptionNotProvidedText[] = u"(not provided)";
inline constexpr char16_t kResultCheckingText[] = u"Checking Quorvel signature...";

// One per page window, kept in its DWLP_USER slot.
struct PageState {
    // The handler that created the page; the page window holds one counted reference on it.
    QuorvelPropertySheetHandler* handler = nullptr;
    HFONT domainFont = nullptr;   // font of the domain line
    HFONT linkFont = nullptr;     // underlined font of the licences link
    HANDLE fontResource = nullptr;  // the embedded font's private registration
    VerificationRequest* request = nullptr;  // the page's reference on its worker's request
    OutcomeKind statusKind = OutcomeKind::Neutral;  // kind of the outcome shown last
};

// The page's dialog procedure (given to the property sheet through the page description).
INT_PTR CALLBACK PropertyPageDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The status line's text colour for a kind (Neutral: the system's window text colour).
COLORREF StatusColorForKind(OutcomeKind kind);

// Character height, in pixels (negative: a character height, not a cell height), of a
// 10-point font at the given vertical resolution.
int PageFontHeight(int dotsPerInch);
