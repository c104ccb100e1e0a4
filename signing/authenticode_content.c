/* Adding the payload to an Authenticode entry, and taking it out again, without touching what
 * its signature covers. */
#include <string.h>

#include "pkcs7_encoder.h"
#include "quorvel/quorvel_sign.h"
#include "quorvel_internal.h"
#include "signing_internal.h"

/* Stands in for the payload while only the encoded size is wanted. */
static const unsigned char kSizingPayload[QUORVEL_PAYLOAD_BYTES] = {0};

/* Yes when the encoder gives back der[0, length) exactly: the decoder then kept every byte that
 * the Authenticode signature covers, so a re-encoding with or without the attribute keeps them
 * too. */
static int survives_reencoding(const unsigned char* der, size_t length, int* encoder_failed) {
    unsigned char* again = NULL;
    size_t again_length = 0;
    if (!quorvel_pkcs7_encode(der, length, NULL, &again, &again_length)) {
        *encoder_failed = 1;
        return 0;
    }
    const int same = again_length == length && memcmp(again, der, length) == 0;
    quorvel_pkcs7_release(again);
    return same;
}

/* The length of the DER message at the start of content, which may only be followed by the
 * zero bytes that some signers pad the entry with, and which must survive re-encoding. */
static int message_length(const unsigned char* content, size_t length, size_t* message) {
    unsigned tag = 0;
    uint64_t body_length = 0;
    uint64_t header_size = 0;
    if (!quorvel_der_read_header(content, length, &tag, &body_length, &header_size)) {
        return QUORVEL_SIGN_ERR_PKCS7;
    }
    *message = (size_t)(header_size + body_length);
    for (size_t i = *message; i < length; ++i) {
        if (content[i] != 0) {
            return QUORVEL_SIGN_ERR_NOT_DER;
        }
    }
    int encoder_failed = 0;
    if (!survives_reencoding(content, *message, &encoder_failed)) {
        return encoder_failed ? QUORVEL_SIGN_ERR_PKCS7 : QUORVEL_SIGN_ERR_NOT_DER;
    }
    return QUORVEL_SIGN_OK;
}

int quorvel_sign_authenticode_content(const unsigned char* content, size_t length,
                                      const unsigned char* payload, unsigned char** encoded,
                                      size_t* encoded_length) {
    size_t message = 0;
    const int status = message_length(content, length, &message);
    if (status != QUORVEL_SIGN_OK) {
        return status;
    }
    return quorvel_pkcs7_encode(content, message, payload ? payload : kSizingPayload, encoded,
                                encoded_length)
               ? QUORVEL_SIGN_OK
               : QUORVEL_SIGN_ERR_PKCS7;
}

int quorvel_sign_authenticode_without_payload(const unsigned char* content, size_t length,
                                              unsigned char** encoded, size_t* encoded_length) {
    size_t message = 0;
    const int status = message_length(content, length, &message);
    if (status != QUORVEL_SIGN_OK) {
        return status;
    }
    return quorvel_pkcs7_encode_without_payload(content, message, encoded, encoded_length)
               ? QUORVEL_SIGN_OK
               : QUORVEL_SIGN_ERR_PKCS7;
}

size_t quorvel_sign_authenticode_entry_length(uint32_t length, size_t encoded_length) {
    const size_t entry_length = QUORVEL_SIGN_CERT_HEADER_BYTES + encoded_length;
    return length % QUORVEL_CERT_ALIGNMENT == 0 ? (size_t)quorvel_sign_align8(entry_length)
                                                : entry_length;
}
