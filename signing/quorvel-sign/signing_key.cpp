#include "signing_key.h"

#include <sodium.h>

#include <vector>

#include "program/files.h"
#include "token_key.h"

namespace {

constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;

constexpr char kKeyFormat[] =
    "not an Ed25519 private key in PKCS#8 PEM form (as 'openssl genpkey -algorithm ed25519' "
    "writes it)";

// A key file's key, in memory while the object lives.
class KeyFileKey final : public SigningKey {
  public:
    explicit KeyFileKey(const unsigned char seed[QUORVEL_SIGN_SEED_BYTES]) {
        quorvel_sign_seed_signer_init(&key_, seed);
    }
    ~KeyFileKey() override { quorvel_sign_seed_signer_wipe(&key_); }

    const quorvel_signer& Signer() const override { return key_.signer; }

  private:
    quorvel_seed_signer key_{};
};

// Every copy of the file's text and of the seed is wiped before this returns.
std::unique_ptr<SigningKey> LoadKeyFile(const std::string& path, std::string* message) {
    std::vector<unsigned char> text;
    std::string error;
    if (!ReadWholeFile(path, kMaxKeyFileBytes, &text, &error)) {
        *message = path + ": cannot read the key: " + error;
        return nullptr;
    }
    unsigned char seed[QUORVEL_SIGN_SEED_BYTES];
    const bool parsed =
        quorvel_sign_private_key_from_pem(reinterpret_cast<const char*>(text.data()), text.size(),
                                          seed) == QUORVEL_SIGN_OK;
    if (!text.empty()) {
        sodium_memzero(text.data(), text.size());
    }
    if (!parsed) {
        *message = path + ": " + kKeyFormat;
        return nullptr;
    }
    auto key = std::make_unique<KeyFileKey>(seed);
    sodium_memzero(seed, sizeof seed);
    return key;
}

}  // namespace

std::unique_ptr<SigningKey> LoadSigningKey(const SignCommandLine& line, std::string* message) {
    if (IsTokenUri(line.keyFile)) {
        return LoadTokenKey(line, message);
    }
    return LoadKeyFile(line.keyFile, message);
}
