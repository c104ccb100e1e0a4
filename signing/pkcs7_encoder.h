/*
 * The PKCS#7 encoder seam: the one place where the signer re-encodes Authenticode signed data.
 *
 * quorvel_pkcs7_encode decodes the binary PKCS#7 message der[0, length). When it is SignedData
 * with at least one signer, it encodes it again and returns 1 with *encoded a new block of
 * *encoded_length bytes, to be released with quorvel_pkcs7_release: unchanged when payload is
 * null, otherwise with one more unauthenticated attribute on signer 0 whose type is
 * QUORVEL_PAYLOAD_OID and whose single value is an OCTET STRING of the 352 payload bytes.
 * It returns 0 otherwise, with nothing left allocated. It keeps no state and prints nothing.
 *
 * quorvel_pkcs7_encode_without_payload does the same with every attribute of type
 * QUORVEL_PAYLOAD_OID taken out of signer 0's unauthenticated attributes; when none is left,
 * the message has no unauthenticated attributes at all (not an empty set).
 *
 * Implementations: pkcs7_encoder_openssl.c (native), pkcs7_encoder_cryptoapi.cpp (Windows).
 */
#ifndef QUORVEL_PKCS7_ENCODER_H
#define QUORVEL_PKCS7_ENCODER_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int quorvel_pkcs7_encode(const unsigned char* der, size_t length, const unsigned char* payload,
                         unsigned char** encoded, size_t* encoded_length);

int quorvel_pkcs7_encode_without_payload(const unsigned char* der, size_t length,
                                         unsigned char** encoded, size_t* encoded_length);

void quorvel_pkcs7_release(unsigned char* encoded);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_PKCS7_ENCODER_H */
