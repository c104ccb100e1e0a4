/* Well-formed UTF-8: the one decoder, and the domain rule built on it (the zero byte excluded). */
#include "quorvel/utf8.h"

#include "quorvel_internal.h"

static int in_range(unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
}

int quorvel_utf8_next(const unsigned char* text, size_t length, uint32_t* code_point,
                      size_t* consumed) {
    const unsigned char lead = text[0];
    size_t continuation;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    *code_point = 0;
    *consumed = 1;
    if (lead <= 0x7F) {
        *code_point = lead;
        return 1;
    }
    if (in_range(lead, 0xC2, 0xDF)) {
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
    uint32_t value = lead & (0xFFu >> (continuation + 2));
    for (size_t k = 1; k <= continuation; ++k) {
        const unsigned char low = k == 1 ? second_low : 0x80;
        const unsigned char high = k == 1 ? second_high : 0xBF;
        if (k >= length || !in_range(text[k], low, high)) {
            *consumed = k; /* the unfitting byte (or the end) cuts the sequence short */
            return 0;
        }
        value = (value << 6) | (text[k] & 0x3Fu);
    }
    *code_point = value;
    *consumed = continuation + 1;
    return 1;
}

int quorvel_utf8_valid(const unsigned char* text, size_t length) {
    if (text == NULL) {
        return 0;
    }
    size_t i = 0;
    while (i < length) {
        uint32_t code_point;
        size_t consumed;
        if (text[i] == 0 || !quorvel_utf8_next(text + i, length - i, &code_point, &consumed)) {
            return 0;
        }
        i += consumed;
    }
    return 1;
}
