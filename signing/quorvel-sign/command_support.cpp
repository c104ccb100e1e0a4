#include "command_support.h"

#include <sodium.h>

#include "program/files.h"
#include "quorvel/quorvel_sign_pkcs11.h"
#include "verification/domain_check.h"

namespace {

constexpr std::size_t kBase64Url32Chars = 43;
constexpr std::size_t kMaxImageBytes = 0xFFFFFFFFU;  // the directory entry's 32-bit offsets
constexpr char kDomainNotHost[] = "the domain is not a host name with an optional :port";
constexpr char kDomainUrlHint[] = " (give the host only, such as example.com, not a URL)";

}  // namespace

int Refuse(std::FILE* err, const std::string& message) {
    std::fprintf(err, "quorvel-sign: %s\n", message.c_str());
    return kSignExitRefused;
}

std::string Base64Url(const unsigned char bytes[32]) {
    char text[kBase64Url32Chars + 1];
    sodium_bin2base64(text, sizeof text, bytes, 32, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    return text;
}

std::string KeyIdText(const unsigned char publicKey[QUORVEL_SIGN_PUBLIC_KEY_BYTES]) {
    unsigned char keyId[QUORVEL_SIGN_KEY_ID_BYTES];
    quorvel_sign_key_id(publicKey, keyId);
    return Base64Url(keyId);
}

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
            return path +
                   ": the file already carries a Quorvel signature (--replace takes it out "
                   "first)";
        case QUORVEL_SIGN_ERR_NO_AUTHENTICODE:
            return path +
                   ": no Authenticode signature to carry the Quorvel signature "
                   "(sign without --authenticode)";
        case QUORVEL_SIGN_ERR_PKCS7:
            return path + ": the Authenticode signature cannot be decoded and encoded again";
        case QUORVEL_SIGN_ERR_NOT_DER:
            return path +
                   ": the Authenticode signature is not in DER form; changing it "
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
            return path + ": the result did not pass its check; nothing was written";
        case QUORVEL_SIGN_ERR_SIGNER_MISMATCH:
            return path + ": the key's signature does not verify under its public key";
        case QUORVEL_SIGN_ERR_NOT_SIGNED:
            return path + ": the file carries no Quorvel signature";
        case QUORVEL_SIGN_ERR_NO_MEMORY:
            return path + ": not enough memory";
        case QUORVEL_SIGN_ERR_PKCS11_SIGN_REFUSED:
            return path + ": the token refused to sign";
        default:
            return path + ": signing failed (status " + std::to_string(status) + ")";
    }
}

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

int ForEachFile(const SignCommandLine& line, std::FILE* out, std::FILE* err, const FileWork& work) {
    std::string error;
    if (!line.outDir.empty() && !CreateFolder(line.outDir, &error)) {
        return Refuse(err, line.outDir + ": cannot make the folder: " + error);
    }
    int status = kSignExitDone;
    for (const std::string& file : line.files) {
        std::string said;
        if (work(file, &said)) {
            std::fprintf(out, "%s\n", said.c_str());
            std::fflush(out);
        } else {
            status = Refuse(err, said);
        }
    }
    return status;
}

bool ReadImage(const std::string& file, std::vector<unsigned char>* image, std::string* said) {
    std::string error;
    if (!ReadWholeFile(file, kMaxImageBytes, image, &error)) {
        *said = file + ": cannot read: " + error;
        return false;
    }
    return true;
}

int SigningOptions(bool authenticode, bool replace) {
    return (authenticode ? QUORVEL_SIGN_CONTAINER_AUTHENTICODE : QUORVEL_SIGN_CONTAINER_ENTRY) |
           (replace ? QUORVEL_SIGN_REPLACE : 0);
}

bool SignAndWrite(const SignCommandLine& line, const std::string& file,
                  const std::vector<unsigned char>& image, const quorvel_signer& signer,
                  std::string* said) {
    std::vector<unsigned char> signedImage(image.size() + QUORVEL_SIGN_MAX_GROWTH);
    std::size_t signedSize = 0;
    const int status =
        quorvel_sign_image(image.data(), image.size(), &signer, line.domain.data(),
                           line.domain.size(), SigningOptions(line.authenticode, line.replace),
                           signedImage.data(), signedImage.size(), &signedSize);
    if (status != QUORVEL_SIGN_OK) {
        *said = SignRefusal(status, file);
        return false;
    }
    signedImage.resize(signedSize);
    const std::string target = OutputPath(line, file, "");
    *said = target + ": signed for " + line.domain + " with key " + KeyIdText(signer.public_key);
    return WriteOutput(target, file, signedImage, said);
}

bool WriteOutput(const std::string& target, const std::string& file,
                 const std::vector<unsigned char>& bytes, std::string* said) {
    std::string error;
    if (!WriteFileAtomically(target, bytes, file, &error)) {
        *said = target + ": cannot write: " + error;
        return false;
    }
    return true;
}
