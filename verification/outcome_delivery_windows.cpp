// Windows delivery: the outcome travels as the lParam of a message posted to the page window.
#include "verification/outcome_delivery.h"

bool DeliverOutcome(PageWindow window, VerificationOutcome* outcome) {
    if (outcome == nullptr) {
        return false;
    }
    return PostMessageW(window, WM_VERIFICATION_RESULT, 0, reinterpret_cast<LPARAM>(outcome)) !=
           FALSE;
}
