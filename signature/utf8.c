/* The well-formed UTF-8 rule for the domain text (the zero byte excluded). */
#include "quorvel_internal.h"

static int in_range(unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
}

int quorvel_utf8_valid(const unsigned char* text, size_t length) {
    if (text == NULL) {
        return 0;
    }
    size_t i = 0;
    while (i < length) {
        const unsigned char lead = text[i];
        size_t continuation;
        unsigned char second_low = 0x80;
        unsigned char second_high = 0xBF;
        if (in_range(lead, 0x01, 0x7F)) {
            continuation = 0;
        } else if (in_range(lead, 0xC2, 0xDF)) {
            continuation = 1;
        } else if (lead == 0xE0) {
            continuation = 2;
            second_low = 0xA0; /* no overlong forms */
        } else if (in_range(lead, 0xE1, 0xEC) || in_range(lead, 0xEE, 0xEF)) {
            continuation = 2;
        } else if (lead == 0xED) {
            continuation = 2;
            second_high = 0x9F; /* no UTF-16 surrogates */
        } else if (lead == 0xF0) {
            continuation = 3;
            second_low = 0x90;
        } else if (in_range(lead, 0xF1, 0xF3)) {
            continuation = 3;
        } else if (lead == 0xF4) {
            continuation = 3;
            second_high = 0x8F; /* nothing above U+10FFFF */
        } else {
            return 0;
        }
        if (continuation > length - i - 1) {
            return 0; /* the sequence would run past the end */
        }
        if (continuation > 0 && !in_range(text[i + 1], second_low, second_high)) {
            return 0;
        }
        for (size_t k = 2; k <= continuation; ++k) {
            if (!in_range(text[i + k], 0x80, 0xBF)) {
                return 0;
            }
        }
        i += continuation + 1;
    }
    return 1;
}
