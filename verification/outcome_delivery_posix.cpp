// Native delivery: the receiver that the caller supplied takes the outcome or refuses it.
#include "verification/outcome_delivery.h"

bool DeliverOutcome(PageWindow window, VerificationOutcome* outcome) {
    if (window == nullptr || window->receive == nullptr || outcome == nullptr) {
        return false;
    }
    return window->receive(window, outcome);
}
