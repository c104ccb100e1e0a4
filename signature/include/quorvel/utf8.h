/*
 * The one UTF-8 decoder of the project: well-formed sequences as the Unicode Standard defines
 * them (no overlong forms, no UTF-16 surrogates, nothing above U+10FFFF). Flat C, no state;
 * the signature library checks the domain with it and the text conversions decode with it.
 */
#ifndef QUORVEL_UTF8_H
#define QUORVEL_UTF8_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Looks at the sequence starting at text[0] of the length bytes available (length > 0).
 * Yes (1): a well-formed sequence of *consumed bytes (1 to 4) encodes *code_point (0 included).
 * No (0): none starts there; *consumed (1 to 3) is the maximal subpart, the longest prefix that
 * could begin one (1 for a byte that can never start a sequence), and *code_point is 0.
 */
int quorvel_utf8_next(const unsigned char* text, size_t length, uint32_t* code_point,
                      size_t* consumed);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_UTF8_H */
