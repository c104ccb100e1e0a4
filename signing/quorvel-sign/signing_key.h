// Where quorvel-sign's key comes from: --key becomes a signer here, and only here.
#pragma once

#include <memory>
#include <string>

#include "quorvel/quorvel_sign.h"
#include "sign_command_line.h"

// A loaded key. Its signer is valid while the object lives; destroying the object wipes or
// releases the key.
class SigningKey {
  public:
    SigningKey() = default;
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;
    virtual ~SigningKey() = default;

    virtual const quorvel_signer& Signer() const = 0;
};

// The key that line.keyFile names: a key file (unencrypted Ed25519 PKCS#8 PEM), or a key in a
// PKCS#11 token named by a pkcs11: URI (token_key.h). Null, with the message to show in
// *message, when it cannot be loaded.
std::unique_ptr<SigningKey> LoadSigningKey(const SignCommandLine& line, std::string* message);
