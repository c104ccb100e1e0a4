// The signature and the public key that attach takes, in the forms the usual tools give.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "quorvel/quorvel_sign.h"

using SignatureBytes = std::array<unsigned char, QUORVEL_SIGN_SIGNATURE_BYTES>;
using PublicKeyBytes = std::array<unsigned char, QUORVEL_SIGN_PUBLIC_KEY_BYTES>;

// A file of exactly 64 bytes is the raw signature (what 'openssl pkeyutl -sign' writes);
// anything else must be its base64 as key services return it: the standard or the URL-safe
// alphabet, with or without padding, white space around it allowed.
bool ParseSignature(const std::vector<unsigned char>& bytes, SignatureBytes* signature);

// An Ed25519 public key as PEM (SubjectPublicKeyInfo, as 'openssl pkey -pubout' writes it), or
// a key document of quorvel-sign key-document, whose kid must be the key's thumbprint and which
// must not mark the key as revoked. False with the reason in *error.
bool ParsePublicKey(const std::vector<unsigned char>& bytes, PublicKeyBytes* key,
                    std::string* error);
