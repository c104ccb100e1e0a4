#include "sign_commands.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sodium.h>

#include <memory>
#include <string>
#include <vector>

#include "program/files.h"
#include "quorvel/quorvel_sign.h"
#include "quorvel/quorvel_sign_pkcs11.h"
#include "signing_key.h"
#include "token_key.h"
#include "verification/domain_check.h"

namespace {

constexpr std::size_t kMaxImageBytes = 0xFFFFFFFFU;  // the directory entry's 32-bit offsets
constexpr std::size_t kBase64Url32Chars = 43;
constexpr char kKeyDocumentPath[] = "/.well-known/vantors/v1/";

constexpr char kDomainNotHost[] = "the domain is not a host name with an optional :port";
constexpr char kDomainUrlHint[] = " (give the host only, such as example.com, not a URL)";

int Refuse(std::FILE* err, const std::string& message) {
    std::fprintf(err, "quorvel-sign: %s\n", message.c_str());
    return kSignExitRefused;
}

std::string Base64Url(const unsigned char bytes[32]) {
    char text[kBase64Url32Chars + 1];
    sodium_bin2base64(text, sizeof text, bytes, 32, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    return text;
}

// The key id of a signer's public key, as text.
std::string KeyIdText(const quorvel_signer& signer) {
    unsigned char keyId[32];
    quorvel_sign_key_id(signer.public_key, keyId);
    return Base64Url(keyId);
}

// The message for a status of quorvel_sign_image, for the file at path.
std::string SignRefusal(int status, const std::string& path) {
    switch (status) {
        case QUORVEL_SIGN_ERR_NOT_PE:
            return path + ": not a PE file";
        case QUORVEL_SIGN_ERR_NO_DIRECTORY_ENTRY:
            return path + ": the PE header has no security directory entry";
        case QUORVEL_SIGN_ERR_TABLE_NOT_LAST:
            return path + ": the certificate table is not the last part of the file";
        case QUORVEL_SIGN_ERR_MALFORMED_TABLE:
            return path + ": the certificate table is malformed";
        case QUORVEL_SIGN_ERR_ALREADY_SIGNED:
            return path + ": the file already carries a Quorvel signature";
        case QUORVEL_SIGN_ERR_NO_AUTHENTICODE:
            return path +
                   ": no Authenticode signature to carry the Quorvel signature "
                   "(sign without --authenticode)";
        case QUORVEL_SIGN_ERR_PKCS7:
            return path + ": the Authenticode signature cannot be decoded and encoded again";
        case QUORVEL_SIGN_ERR_NOT_DER:
            return path +
                   ": the Authenticode signature is not in DER form; adding to it "
                   "would break it";
        case QUORVEL_SIGN_ERR_TOO_LARGE:
            return path + ": the signed file would be larger than 4 GiB";
        case QUORVEL_SIGN_ERR_DOMAIN_EMPTY:
            return "the domain is empty";
        case QUORVEL_SIGN_ERR_DOMAIN_TOO_LONG:
            return "the domain is longer than 255 bytes";
        case QUORVEL_SIGN_ERR_DOMAIN_NOT_UTF8:
            return "the domain is not valid UTF-8";
        case QUORVEL_SIGN_ERR_SELF_CHECK:
            return path + ": the signed file did not verify; nothing was written";
        case QUORVEL_SIGN_ERR_SIGNER_MISMATCH:
            return path + ": the key's signature does not verify under its public key";
        case QUORVEL_SIGN_ERR_PKCS11_SIGN_REFUSED:
            return path + ": the token refused to sign";
        default:
            return path + ": signing failed (status " + std::to_string(status) + ")";
    }
}

// The payload's rules (the library's), then the verification job's own check before its
// fetch: a domain either one refuses would make a signature that never verifies.
bool DomainAccepted(const std::string& domain, std::string* message) {
    const int status = quorvel_sign_check_domain(domain.data(), domain.size());
    if (status != QUORVEL_SIGN_OK) {
        *message = SignRefusal(status, "");
        return false;
    }
    if (!IsFetchableDomain(domain)) {
        *message = kDomainNotHost;
        if (domain.find('/') != std::string::npos) {
            *message += kDomainUrlHint;
        }
        return false;
    }
    return true;
}

}  // namespace

int RunKeygen(const SignCommandLine& line, std::FILE* out, std::FILE* err) {
    if (IsTokenUri(line.keyFile)) {
        std::string uri, message;
        const std::unique_ptr<SigningKey> key = GenerateTokenKey(line, &uri, &message);
        if (!key) {
            return Refuse(err, message);
        }
        std::fprintf(out, "%s\n", KeyIdText(key->Signer()).c_str());
        std::fprintf(err, "quorvel-sign: the new key is %s\n", uri.c_str());
        return kSignExitDone;
    }
    unsigned char seed[QUORVEL_SIGN_SEED_BYTES];
    char pem[QUORVEL_SIGN_PRIVATE_KEY_PEM_BYTES];
    quorvel_seed_signer key;
    randombytes_buf(seed, sizeof seed);
    quorvel_sign_private_key_to_pem(seed, pem);
    quorvel_sign_seed_signer_init(&key, seed);
    sodium_memzero(seed, sizeof seed);
    const std::string kid = KeyIdText(key.signer);
    quorvel_sign_seed_signer_wipe(&key);
    std::string text(pem, sizeof pem);
    sodium_memzero(pem, sizeof pem);
    std::string error;
    const bool created = CreatePrivateFile(line.keyFile, text, &error);
    sodium_memzero(text.data(), text.size());
    if (!created) {
        return Refuse(err, line.keyFile + ": cannot create the key (" + error +
                               "); an existing file is never overwritten");
    }
    std::fprintf(out, "%s\n", kid.c_str());
    return kSignExitDone;
}

int RunKeyDocument(const SignCommandLine& line, std::FILE* out, std::FILE* err) {
    std::string message;
    const std::unique_ptr<SigningKey> key = LoadSigningKey(line, &message);
    if (!key) {
        return Refuse(err, message);
    }
    const quorvel_signer& signer = key->Signer();
    const std::string kid = KeyIdText(signer);
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                      rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>
        writer(buffer);
    writer.StartObject();
    writer.Key("jwk");
    writer.StartObject();
    writer.Key("kty");
    writer.String("OKP");
    writer.Key("crv");
    writer.String("Ed25519");
    writer.Key("x");
    writer.String(Base64Url(signer.public_key).c_str());
    writer.Key("kid");
    writer.String(kid.c_str());
    writer.EndObject();
    writer.Key("status");
    writer.StartObject();
    writer.Key("state");
    writer.String(line.revoked ? "revoked" : "active");
    writer.EndObject();
    if (line.hasDescription) {
        writer.Key("description");
        if (!writer.String(line.description.data(),
                           static_cast<rapidjson::SizeType>(line.description.size()))) {
            return Refuse(err, "the description is not valid UTF-8");
        }
    }
    writer.EndObject();
    const std::string document = std::string(buffer.GetString(), buffer.GetSize()) + "\n";
    if (line.output.empty()) {
        std::fputs(document.c_str(), out);
    } else {
        std::string error;
        if (!WriteFileAtomically(line.output,
                                 std::vector<unsigned char>(document.begin(), document.end()),
                                 line.output, &error)) {
            return Refuse(err, line.output + ": cannot write: " + error);
        }
    }
    std::fprintf(err, "quorvel-sign: publish this document at https://DOMAIN%s%s\n",
                 kKeyDocumentPath, kid.c_str());
    return kSignExitDone;
}

int RunSign(const SignCommandLine& line, std::FILE* out, std::FILE* err) {
    std::string message;
    if (!DomainAccepted(line.domain, &message)) {
        return Refuse(err, message);
    }
    const std::unique_ptr<SigningKey> key = LoadSigningKey(line, &message);
    if (!key) {
        return Refuse(err, message);
    }
    std::vector<unsigned char> image;
    std::string error;
    if (!ReadWholeFile(line.file, kMaxImageBytes, &image, &error)) {
        return Refuse(err, line.file + ": cannot read: " + error);
    }
    std::vector<unsigned char> signedImage(image.size() + QUORVEL_SIGN_MAX_GROWTH);
    std::size_t signedSize = 0;
    const int status = quorvel_sign_image(
        image.data(), image.size(), &key->Signer(), line.domain.data(), line.domain.size(),
        line.authenticode ? QUORVEL_SIGN_CONTAINER_AUTHENTICODE : QUORVEL_SIGN_CONTAINER_ENTRY,
        signedImage.data(), signedImage.size(), &signedSize);
    if (status != QUORVEL_SIGN_OK) {
        return Refuse(err, SignRefusal(status, line.file));
    }
    signedImage.resize(signedSize);
    const std::string& target = line.output.empty() ? line.file : line.output;
    if (!WriteFileAtomically(target, signedImage, line.file, &error)) {
        return Refuse(err, target + ": cannot write: " + error);
    }
    std::fprintf(out, "%s: signed for %s with key %s\n", target.c_str(), line.domain.c_str(),
                 KeyIdText(key->Signer()).c_str());
    return kSignExitDone;
}
