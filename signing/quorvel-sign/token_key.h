// Keys in a PKCS#11 token: a "pkcs11:" URI given as --key (or as keygen's operand) becomes a
// session on the token, which lives as long as the key and serves all of a call's files.
#pragma once

#include <memory>
#include <string>

#include "sign_command_line.h"
#include "signing_key.h"

// Whether text names a key in a token rather than a key file: it starts with "pkcs11:" in
// any case.
bool IsTokenUri(const std::string& text);

// The key that the URI in line.keyFile names. The module comes from --pkcs11-module, else the
// URI's module-path; the PIN from the file that the URI's pin-source names, else the
// environment variable QUORVEL_PKCS11_PIN, never from the command line. Null, with the
// message to show in *message, when the key cannot be used.
std::unique_ptr<SigningKey> LoadTokenKey(const SignCommandLine& line, std::string* message);

// A new Ed25519 key pair on the token that the URI in line.keyFile names, labelled with its
// object; *uri is the URI that names the new key (the given one, with the id keygen chose when
// it named none).
std::unique_ptr<SigningKey> GenerateTokenKey(const SignCommandLine& line, std::string* uri,
                                             std::string* message);
