#include "token_key.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "program/console.h"
#include "program/files.h"
#include "quorvel/quorvel_sign_pkcs11.h"

namespace {

constexpr char kScheme[] = "pkcs11:";
constexpr std::size_t kSchemeChars = sizeof kScheme - 1;
constexpr char kPinVariable[] = "QUORVEL_PKCS11_PIN";
constexpr char kPinFilePrefix[] = "file:";  // pin-source may be a file: URI or a path
constexpr std::size_t kMaxPinFileBytes = 1024;

constexpr char kBadUri[] =
    "not a pkcs11: URI that quorvel-sign reads (it takes token, manufacturer, serial, model, "
    "object, id and type, then after '?' module-path and pin-source, each once, with "
    "percent-encoded values)";
constexpr char kPinInUri[] =
    "the pkcs11: URI carries a pin-value, which is refused: the command line is visible to "
    "other users in the process list. Give the PIN in a file that the URI's pin-source names, "
    "or in the environment variable QUORVEL_PKCS11_PIN";
constexpr char kNoModulePath[] =
    "no PKCS#11 module: give its path in the URI's module-path or with --pkcs11-module";
constexpr char kNoSuchModule[] = ": no such PKCS#11 module (it cannot be loaded)";
constexpr char kNotModule[] = ": not a PKCS#11 module, or it failed to start";
constexpr char kNoToken[] = "no such token: no token present matches the pkcs11: URI";
constexpr char kNoKey[] =
    "no such key: no private key on the token matches the URI's object and id";
constexpr char kAmbiguous[] =
    "more than one token or key matches the pkcs11: URI: name the token with token= and the "
    "key with object= and id=";
constexpr char kNotEd25519[] = "the key on the token is not an Ed25519 key";
constexpr char kNoPublicKey[] =
    "the token has no public key object beside the private key (with its id, or its label)";
constexpr char kPinNeeded[] =
    "the token needs a PIN: give it in a file that the URI's pin-source names, or in the "
    "environment variable QUORVEL_PKCS11_PIN";
constexpr char kPinIncorrect[] = "wrong PIN for the token";
constexpr char kPinLocked[] = "the token's PIN is locked";
constexpr char kKeyExists[] =
    "the token already has an object with that label or id; an existing key is never replaced";
constexpr char kLabelNeeded[] = "keygen on a token needs the new key's label: object=NAME";
constexpr char kTokenFailed[] = "the token failed";

// The module's return value behind a failure, as text for a message; empty when there is none.
std::string ModuleCode(unsigned long result) {
    if (result == 0) {
        return "";
    }
    char text[48];
    std::snprintf(text, sizeof text, " (PKCS#11 error 0x%lX)", result);
    return text;
}

std::string TokenRefusal(int status, const std::string& module, unsigned long result) {
    switch (status) {
        case QUORVEL_SIGN_ERR_PKCS11_URI:
            return kBadUri;
        case QUORVEL_SIGN_ERR_PKCS11_PIN_IN_URI:
            return kPinInUri;
        case QUORVEL_SIGN_ERR_PKCS11_NO_MODULE:
            return module.empty() ? kNoModulePath : module + kNoSuchModule;
        case QUORVEL_SIGN_ERR_PKCS11_NOT_MODULE:
            return module + kNotModule + ModuleCode(result);
        case QUORVEL_SIGN_ERR_PKCS11_NO_TOKEN:
            return kNoToken;
        case QUORVEL_SIGN_ERR_PKCS11_NO_KEY:
            return kNoKey;
        case QUORVEL_SIGN_ERR_PKCS11_AMBIGUOUS:
            return kAmbiguous;
        case QUORVEL_SIGN_ERR_PKCS11_NOT_ED25519:
            return kNotEd25519;
        case QUORVEL_SIGN_ERR_PKCS11_NO_PUBLIC_KEY:
            return kNoPublicKey;
        case QUORVEL_SIGN_ERR_PKCS11_PIN_NEEDED:
            return kPinNeeded;
        case QUORVEL_SIGN_ERR_PKCS11_PIN_INCORRECT:
            return kPinIncorrect;
        case QUORVEL_SIGN_ERR_PKCS11_PIN_LOCKED:
            return kPinLocked;
        case QUORVEL_SIGN_ERR_PKCS11_KEY_EXISTS:
            return kKeyExists;
        case QUORVEL_SIGN_ERR_INVALID_ARGUMENT:
            return kLabelNeeded;
        default:
            return kTokenFailed + ModuleCode(result);
    }
}

// The PIN bytes, wiped when the object goes.
class Pin {
  public:
    ~Pin() {
        bytes_.resize(bytes_.capacity());  // bytes left behind by pop_back too
        if (!bytes_.empty()) {
            sodium_memzero(bytes_.data(), bytes_.size());
        }
    }
    // Null when there is no PIN; an empty PIN is still a PIN.
    const unsigned char* Bytes() const {
        static const unsigned char kEmpty = 0;
        return !given_ ? nullptr : bytes_.empty() ? &kEmpty : bytes_.data();
    }
    std::size_t Size() const { return bytes_.size(); }

    // From the URI's pin-source (one final line break is not part of the PIN), else from the
    // environment; no PIN when neither gives one.
    bool Read(const quorvel_sign_pkcs11_uri& uri, std::string* message) {
        if ((uri.present & QUORVEL_SIGN_PKCS11_PIN_SOURCE) != 0) {
            std::string path = uri.pin_source;
            if (path.rfind(kPinFilePrefix, 0) == 0) {
                path.erase(0, sizeof kPinFilePrefix - 1);
            }
            std::string error;
            if (!ReadWholeFile(path, kMaxPinFileBytes, &bytes_, &error)) {
                *message = path + ": cannot read the PIN: " + error;
                return false;
            }
            for (const char end : {'\n', '\r'}) {
                if (!bytes_.empty() && bytes_.back() == end) {
                    bytes_.pop_back();
                }
            }
            given_ = true;
            return true;
        }
        std::string value;
        given_ = EnvironmentVariable(kPinVariable, &value);
        bytes_.assign(value.begin(), value.end());
        sodium_memzero(value.data(), value.size());
        return true;
    }

  private:
    std::vector<unsigned char> bytes_;
    bool given_ = false;
};

// A key in a token, with the session that holds it open.
class TokenKey final : public SigningKey {
  public:
    ~TokenKey() override { quorvel_sign_pkcs11_close(&session_); }
    const quorvel_signer& Signer() const override { return signer_; }

    // Opens the token, then finds the URI's key or, with generate, makes it (writing the id it
    // chose into uri).
    bool Open(const SignCommandLine& line, quorvel_sign_pkcs11_uri* uri, bool generate,
              std::string* message) {
        const std::string& module =
            line.pkcs11Module.empty() ? uri->module_path : line.pkcs11Module;
        Pin pin;
        if (!pin.Read(*uri, message)) {
            return false;
        }
        int status =
            quorvel_sign_pkcs11_open(&session_, uri, module.c_str(), pin.Bytes(), pin.Size());
        if (status == QUORVEL_SIGN_OK) {
            status = generate ? quorvel_sign_pkcs11_generate_key(&session_, uri)
                              : quorvel_sign_pkcs11_find_key(&session_, uri);
        }
        if (status == QUORVEL_SIGN_OK) {
            status = quorvel_sign_pkcs11_signer(&session_, &signer_);
        }
        if (status != QUORVEL_SIGN_OK) {
            *message = TokenRefusal(status, module, session_.result);
        }
        return status == QUORVEL_SIGN_OK;
    }

  private:
    quorvel_sign_pkcs11_session session_{};
    quorvel_signer signer_{};
};

bool ParseUri(const std::string& text, quorvel_sign_pkcs11_uri* uri, std::string* message) {
    const int status = quorvel_sign_pkcs11_parse_uri(text.data(), text.size(), uri);
    if (status != QUORVEL_SIGN_OK) {
        *message = TokenRefusal(status, "", 0);
    }
    return status == QUORVEL_SIGN_OK;
}

std::unique_ptr<SigningKey> OpenTokenKey(const SignCommandLine& line, bool generate,
                                         quorvel_sign_pkcs11_uri* uri, std::string* message) {
    auto key = std::make_unique<TokenKey>();
    if (!key->Open(line, uri, generate, message)) {
        return nullptr;
    }
    return key;
}

}  // namespace

bool IsTokenUri(const std::string& text) {
    if (text.size() < kSchemeChars) {
        return false;
    }
    for (std::size_t i = 0; i < kSchemeChars; ++i) {
        const char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kScheme[i]) {
            return false;
        }
    }
    return true;
}

std::unique_ptr<SigningKey> LoadTokenKey(const SignCommandLine& line, std::string* message) {
    quorvel_sign_pkcs11_uri uri;
    if (!ParseUri(line.keyFile, &uri, message)) {
        return nullptr;
    }
    return OpenTokenKey(line, false, &uri, message);
}

std::unique_ptr<SigningKey> GenerateTokenKey(const SignCommandLine& line, std::string* uriText,
                                             std::string* message) {
    quorvel_sign_pkcs11_uri uri;
    if (!ParseUri(line.keyFile, &uri, message)) {
        return nullptr;
    }
    const bool namedId = (uri.present & QUORVEL_SIGN_PKCS11_ID) != 0;
    std::unique_ptr<SigningKey> key = OpenTokenKey(line, true, &uri, message);
    *uriText = line.keyFile;
    if (key && !namedId) {  // the id keygen chose goes at the end of the path
        std::string id = ";id=";
        for (std::size_t i = 0; i < uri.id_length; ++i) {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", uri.id[i]);
            id += escape;
        }
        uriText->insert(std::min(uriText->find('?'), uriText->size()), id);
    }
    return key;
}
