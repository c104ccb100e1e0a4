/* The Ed25519 check of the payload's signature and the JWK thumbprint of the caller's key. */
#include <sodium.h>
#include <string.h>

#include "quorvel_internal.h"

#define THUMBPRINT_PREFIX "{\"crv\":\"Ed25519\",\"kty\":\"OKP\",\"x\":\""
#define THUMBPRINT_PREFIX_BYTES 34U
#define THUMBPRINT_SUFFIX "\"}"
#define THUMBPRINT_SUFFIX_BYTES 2U
#define ENCODED_KEY_CHARS 43U /* base64url of 32 bytes, no padding */
#define THUMBPRINT_TEXT_BYTES \
    (THUMBPRINT_PREFIX_BYTES + ENCODED_KEY_CHARS + THUMBPRINT_SUFFIX_BYTES)

int quorvel_signature_verifies(const unsigned char signature[QUORVEL_SIGNATURE_BYTES],
                               const unsigned char digest[QUORVEL_DIGEST_BYTES],
                               const unsigned char public_key[QUORVEL_PUBLIC_KEY_BYTES]) {
    return crypto_sign_verify_detached(signature, digest, QUORVEL_DIGEST_BYTES, public_key) == 0;
}

void quorvel_key_thumbprint(const unsigned char public_key[QUORVEL_PUBLIC_KEY_BYTES],
                            unsigned char thumbprint[QUORVEL_KEY_ID_BYTES]) {
    char encoded[ENCODED_KEY_CHARS + 1];
    (void)sodium_bin2base64(encoded, sizeof encoded, public_key, QUORVEL_PUBLIC_KEY_BYTES,
                            sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    unsigned char text[THUMBPRINT_TEXT_BYTES];
    memcpy(text, THUMBPRINT_PREFIX, THUMBPRINT_PREFIX_BYTES);
    memcpy(text + THUMBPRINT_PREFIX_BYTES, encoded, ENCODED_KEY_CHARS);
    memcpy(text + THUMBPRINT_PREFIX_BYTES + ENCODED_KEY_CHARS, THUMBPRINT_SUFFIX,
           THUMBPRINT_SUFFIX_BYTES);
    (void)crypto_hash_sha256(thumbprint, text, THUMBPRINT_TEXT_BYTES);
}

int quorvel_key_id_matches(const unsigned char public_key[QUORVEL_PUBLIC_KEY_BYTES],
                           const unsigned char key_id[QUORVEL_KEY_ID_BYTES]) {
    unsigned char thumbprint[QUORVEL_KEY_ID_BYTES];
    quorvel_key_thumbprint(public_key, thumbprint);
    unsigned char difference = 0;
    for (size_t i = 0; i < QUORVEL_KEY_ID_BYTES; ++i) {
        difference |= (unsigned char)(thumbprint[i] ^ key_id[i]);
    }
    return difference == 0;
}
