/*
 * The PKCS#7 seam: the one place where the library decodes Authenticode signed data.
 *
 * quorvel_pkcs7_visit_signer_attributes decodes a binary (DER/BER) PKCS#7 message from
 * der[0, length). When it is a SignedData message with at least one signer, it calls visit
 * once per unauthenticated attribute of signer 0 (the first signer in encoded order), in the
 * order in which the attributes are encoded, and returns 1. Nested messages are not opened:
 * an attribute whose value is itself a signature is just one more attribute.
 *
 * For each attribute the visitor receives:
 *   oid          the attribute's object identifier in dotted text ("1.2.3"), NUL-terminated;
 *                null when the decoder cannot render it;
 *   values       the attribute's values, each as its complete encoding (tag, length and
 *                content), in order; value_count may be 0;
 *   context      the caller's pointer, passed through.
 * The visitor returns 0 to go on, non-zero to stop: no further attribute is visited.
 * Everything that the visitor receives is valid only during that call.
 *
 * The function returns 0, visiting nothing, when the bytes are not a decodable PKCS#7
 * message, when it is not SignedData, or when it has no signer. It returns
 * QUORVEL_PKCS7_OUT_OF_MEMORY when memory ran out on the way (while decoding, or while
 * listing an attribute's values; the visits made before that stand): then nothing can be said
 * about the message, and it must not be taken for an undecodable one. Whatever the outcome, every
 * object the decoder made (message, certificate store, signer record, encodings) has been
 * released when it returns. It keeps no state, prints nothing and may run on any thread.
 *
 * Implementations: pkcs7_decoder_openssl.c (native), pkcs7_decoder_cryptoapi.cpp (Windows).
 */
#ifndef QUORVEL_PKCS7_DECODER_H
#define QUORVEL_PKCS7_DECODER_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QUORVEL_PKCS7_OUT_OF_MEMORY (-1)

typedef struct quorvel_der_value {
    const unsigned char* bytes;
    size_t length;
} quorvel_der_value;

typedef int (*quorvel_pkcs7_attribute_visitor)(void* context, const char* oid,
                                               const quorvel_der_value* values, size_t value_count);

int quorvel_pkcs7_visit_signer_attributes(const unsigned char* der, size_t length,
                                          quorvel_pkcs7_attribute_visitor visit, void* context);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_PKCS7_DECODER_H */
