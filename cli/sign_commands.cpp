#include "sign_commands.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sodium.h>

#include <string>
#include <vector>

#include "quorvel/quorvel_sign.h"
#include "sign_files.h"
#include "verification/domain_check.h"

namespace {

constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;
constexpr std::size_t kMaxImageBytes = 0xFFFFFFFFU;  // the directory entry's 32-bit offsets
constexpr std::size_t kBase64Url32Chars = 43;
constexpr char kKeyDocumentPath[] = "/.well-known/vantors/v1/";

constexpr char kKeyFormat[] =
    "not an Ed25519 private key in PKCS#8 PEM form (as 'openssl genpkey -algorithm ed25519' "
    "writes it)";
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

// The seed of a key file; every copy of the file's text is wiped before this returns.
class Seed {
  public:
    ~Seed() { sodium_memzero(bytes_, sizeof bytes_); }
    const unsigned char* get() const { return bytes_; }

    bool Load(const std::string& path, std::string* message) {
        std::vector<unsigned char> text;
        std::string error;
        const bool read = ReadWholeFile(path, kMaxKeyFileBytes, &text, &error);
        const bool parsed =
            read && quorvel_sign_private_key_from_pem(reinterpret_cast<const char*>(text.data()),
                                                      text.size(), bytes_) == QUORVEL_SIGN_OK;
        if (!text.empty()) {
            sodium_memzero(text.data(), text.size());
        }
        if (!read) {
            *message = path + ": cannot read the key: " + error;
        } else if (!parsed) {
            *message = path + ": " + kKeyFormat;
        }
        return parsed;
    }

  private:
    unsigned char bytes_[QUORVEL_SIGN_SEED_BYTES] = {};
};

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
    unsigned char seed[QUORVEL_SIGN_SEED_BYTES];
    char pem[QUORVEL_SIGN_PRIVATE_KEY_PEM_BYTES];
    unsigned char publicKey[32];
    unsigned char keyId[32];
    randombytes_buf(seed, sizeof seed);
    quorvel_sign_private_key_to_pem(seed, pem);
    quorvel_sign_public_key(seed, publicKey, keyId);
    sodium_memzero(seed, sizeof seed);
    std::string text(pem, sizeof pem);
    sodium_memzero(pem, sizeof pem);
    std::string error;
    const bool created = CreatePrivateFile(line.keyFile, text, &error);
    sodium_memzero(text.data(), text.size());
    if (!created) {
        return Refuse(err, line.keyFile + ": cannot create the key (" + error +
                               "); an existing file is never overwritten");
    }
    std::fprintf(out, "%s\n", Base64Url(keyId).c_str());
    return kSignExitDone;
}

int RunKeyDocument(const SignCommandLine& line, std::FILE* out, std::FILE* err) {
    unsigned char publicKey[32];
    unsigned char keyId[32];
    {
        Seed seed;
        std::string message;
        if (!seed.Load(line.keyFile, &message)) {
            return Refuse(err, message);
        }
        quorvel_sign_public_key(seed.get(), publicKey, keyId);
    }
    const std::string kid = Base64Url(keyId);
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
    writer.String(Base64Url(publicKey).c_str());
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
    Seed seed;
    if (!seed.Load(line.keyFile, &message)) {
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
        image.data(), image.size(), seed.get(), line.domain.data(), line.domain.size(),
        line.authenticode ? QUORVEL_SIGN_CONTAINER_AUTHENTICODE : QUORVEL_SIGN_CONTAINER_ENTRY,
        signedImage.data(), signedImage.size(), &signedSize);
    if (status != QUORVEL_SIGN_OK) {
        return Refuse(err, SignRefusal(status, line.file));
    }
    signedImage.resize(signedSize);
    const std::string& target = line.output.empty() ? line.file : line.output;
    // The success line is made before the signed file is put in place: after that nothing may
    // fail (printing it allocates nothing of ours).
    unsigned char publicKey[32];
    unsigned char keyId[32];
    quorvel_sign_public_key(seed.get(), publicKey, keyId);
    const std::string keyIdText = Base64Url(keyId);
    if (!WriteFileAtomically(target, signedImage, line.file, &error)) {
        return Refuse(err, target + ": cannot write: " + error);
    }
    std::fprintf(out, "%s: signed for %s with key %s\n", target.c_str(), line.domain.c_str(),
                 keyIdText.c_str());
    return kSignExitDone;
}
