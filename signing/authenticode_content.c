/* Adding the payload to an Authenticode entry without touching what its signature covers. */
#include <string.h>

#include "pkcs7_encoder.h"
#include "quorvel/quorvel_sign.h"
#include "quorvel_internal.h"
#include "signing_internal.h"

/* Stands in for the payload while only the encoded size is wanted. */
static const unsigned char kSizingPayload[QUORVEL_PAYLOAD_BYTES] = {0};

/* Yes when the encoder gives back der[0, length) exactly: the decoder then kept every byte that
 * the Authenticode signature covers, so the re-encoding with the attribute keeps them too. */
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

int quorvel_sign_authenticode_content(const unsigned char* content, size_t length,
                                      const unsigned char* payload, unsigned char** encoded,
                                      size_t* encoded_length) {
    unsigned tag = 0;
    uint64_t body_length = 0;
    uint64_t header_size = 0;
    if (!quorvel_der_read_header(content, length, &tag, &body_length, &header_size)) {
        return QUORVEL_SIGN_ERR_PKCS7;
    }
    /* The message, then at most the zero bytes that some signers pad the entry with. */
    const size_t message_length = (size_t)(header_size + body_length);
    for (size_t i = message_length; i < length; ++i) {
        if (content[i] != 0) {
            return QUORVEL_SIGN_ERR_NOT_DER;
        }
    }
    int encoder_failed = 0;
    if (!survives_reencoding(content, message_length, &encoder_failed)) {
        return encoder_failed ? QUORVEL_SIGN_ERR_PKCS7 : QUORVEL_SIGN_ERR_NOT_DER;
    }
    if (!quorvel_pkcs7_encode(content, message_length, payload ? payload : kSizingPayload, encoded,
                              encoded_length)) {
        return QUORVEL_SIGN_ERR_PKCS7;
    }
    return QUORVEL_SIGN_OK;
}
