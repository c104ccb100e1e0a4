// How a finished outcome reaches the page. On Windows the page is a window and the outcome
// travels as the lParam of a posted WM_VERIFICATION_RESULT; natively the "window" is a
// receiver that tests and the command-line verifier supply.
#pragma once

#include "verification/verification_job.h"

#ifdef _WIN32
#include <windows.h>

using PageWindow = HWND;

// wParam 0, lParam a heap VerificationOutcome that the receiver frees with delete.
inline constexpr UINT WM_VERIFICATION_RESULT = WM_APP + 1;
#else
struct OutcomeReceiver {
    // Takes ownership of outcome and returns true, or returns false and leaves it with the
    // caller, as a post to a window that is gone does.
    bool (*receive)(OutcomeReceiver* self, VerificationOutcome* outcome);
};

using PageWindow = OutcomeReceiver*;
#endif

// Hands outcome (allocated with new) to window. True: the receiver owns it now.
// False: the caller still owns it.
bool DeliverOutcome(PageWindow window, VerificationOutcome* outcome);
