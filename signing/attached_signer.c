/* The signer of a signature made elsewhere: it signs nothing, it hands the signature over for
 * the one message it belongs to. */
#include <string.h>

#include "quorvel/quorvel_sign.h"

static int hand_over(void* context, const unsigned char message[QUORVEL_SIGN_MESSAGE_BYTES],
                     unsigned char signature[QUORVEL_SIGN_SIGNATURE_BYTES]) {
    const quorvel_attached_signer* attached = context;
    if (memcmp(message, attached->message, QUORVEL_SIGN_MESSAGE_BYTES) != 0) {
        return QUORVEL_SIGN_ERR_OTHER_DIGEST;
    }
    memcpy(signature, attached->signature, QUORVEL_SIGN_SIGNATURE_BYTES);
    return QUORVEL_SIGN_OK;
}

int quorvel_sign_attached_signer_init(quorvel_attached_signer* attached,
                                      const unsigned char public_key[QUORVEL_SIGN_PUBLIC_KEY_BYTES],
                                      const unsigned char message[QUORVEL_SIGN_MESSAGE_BYTES],
                                      const unsigned char signature[QUORVEL_SIGN_SIGNATURE_BYTES]) {
    if (attached == NULL || public_key == NULL || message == NULL || signature == NULL) {
        return QUORVEL_SIGN_ERR_INVALID_ARGUMENT;
    }
    memcpy(attached->signer.public_key, public_key, QUORVEL_SIGN_PUBLIC_KEY_BYTES);
    memcpy(attached->message, message, QUORVEL_SIGN_MESSAGE_BYTES);
    memcpy(attached->signature, signature, QUORVEL_SIGN_SIGNATURE_BYTES);
    attached->signer.sign = hand_over;
    attached->signer.context = attached;
    return QUORVEL_SIGN_OK;
}
