/* The signer of a key held in memory as its Ed25519 seed (a key file's), and key ids. */
#include <sodium.h>

#include "quorvel/quorvel_sign.h"
#include "quorvel_internal.h"

static int sign_with_seed(void* context, const unsigned char message[QUORVEL_SIGN_MESSAGE_BYTES],
                          unsigned char signature[QUORVEL_SIGN_SIGNATURE_BYTES]) {
    const quorvel_seed_signer* key = context;
    (void)crypto_sign_detached(signature, NULL, message, QUORVEL_SIGN_MESSAGE_BYTES,
                               key->secret_key);
    return QUORVEL_SIGN_OK;
}

int quorvel_sign_seed_signer_init(quorvel_seed_signer* key,
                                  const unsigned char seed[QUORVEL_SIGN_SEED_BYTES]) {
    if (key == NULL || seed == NULL) {
        return QUORVEL_SIGN_ERR_INVALID_ARGUMENT;
    }
    (void)crypto_sign_seed_keypair(key->signer.public_key, key->secret_key, seed);
    key->signer.sign = sign_with_seed;
    key->signer.context = key;
    return QUORVEL_SIGN_OK;
}

void quorvel_sign_seed_signer_wipe(quorvel_seed_signer* key) {
    if (key != NULL) {
        sodium_memzero(key, sizeof *key);
    }
}

int quorvel_sign_key_id(const unsigned char public_key[QUORVEL_SIGN_PUBLIC_KEY_BYTES],
                        unsigned char key_id[QUORVEL_KEY_ID_BYTES]) {
    if (public_key == NULL || key_id == NULL) {
        return QUORVEL_SIGN_ERR_INVALID_ARGUMENT;
    }
    quorvel_key_thumbprint(public_key, key_id);
    return QUORVEL_SIGN_OK;
}
