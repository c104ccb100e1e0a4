// Signing elsewhere: prepare writes what is to be signed, attach puts the signature in.
#include <sodium.h>

#include <cstring>
#include <string>
#include <vector>

#include "attach_inputs.h"
#include "command_support.h"
#include "program/files.h"
#include "sign_commands.h"
#include "signing_request.h"

namespace {

constexpr std::size_t kMaxSmallFileBytes = 64 * 1024;  // requests, signatures, public keys
constexpr char kRequestSuffix[] = ".quorvel-request";
constexpr char kDigestSuffix[] = ".quorvel-digest";

Bytes32Array Sha256(const std::vector<unsigned char>& bytes) {
    Bytes32Array digest{};
    (void)quorvel_sign_file_sha256(bytes.data(), bytes.size(), digest.data());
    return digest;
}

// The raw digest goes beside the request: its name without ".quorvel-request", then
// ".quorvel-digest" (app.exe.quorvel-request: app.exe.quorvel-digest).
std::string DigestPath(const std::string& requestPath) {
    const std::size_t suffix = sizeof kRequestSuffix - 1;
    const bool named =
        requestPath.size() > suffix &&
        requestPath.compare(requestPath.size() - suffix, suffix, kRequestSuffix) == 0;
    return (named ? requestPath.substr(0, requestPath.size() - suffix) : requestPath) +
           kDigestSuffix;
}

bool ReadSmallFile(const std::string& path, const char* what, std::vector<unsigned char>* bytes,
                   std::string* message) {
    std::string error;
    if (!ReadWholeFile(path, kMaxSmallFileBytes, bytes, &error)) {
        *message = path + ": cannot read the " + what + ": " + error;
        return false;
    }
    return true;
}

bool ReadPublicKey(const std::string& path, PublicKeyBytes* key, std::string* message) {
    std::vector<unsigned char> bytes;
    if (!ReadSmallFile(path, "public key", &bytes, message)) {
        return false;
    }
    std::string error;
    if (!ParsePublicKey(bytes, key, &error)) {
        *message = path + ": " + error;
        return false;
    }
    return true;
}

bool Prepare(const SignCommandLine& line, const PublicKeyBytes* pinned, const std::string& file,
             std::string* said) {
    std::vector<unsigned char> image;
    std::string error;
    if (!ReadImage(file, &image, said)) {
        return false;
    }
    SigningRequest request;
    const int status = quorvel_sign_image_digest(image.data(), image.size(),
                                                 SigningOptions(line.authenticode, line.replace),
                                                 request.digest.data());
    if (status != QUORVEL_SIGN_OK) {
        *said = SignRefusal(status, file);
        return false;
    }
    const std::string requestPath = OutputPath(line, file, kRequestSuffix);
    const std::string digestPath = DigestPath(requestPath);
    if (requestPath == file || digestPath == file) {
        *said = file + ": the request would overwrite the file itself";
        return false;
    }
    request.file = file;
    request.fileSize = image.size();
    request.fileSha256 = Sha256(image);
    request.domain = line.domain;
    request.authenticode = line.authenticode;
    request.replace = line.replace;
    request.keyPinned = pinned != nullptr;
    if (pinned != nullptr) {
        quorvel_sign_key_id(pinned->data(), request.keyId.data());
    }
    request.digestFile = BaseName(digestPath);
    const std::string text = FormatSigningRequest(request);
    // The line is made before the files are in place: after that nothing may fail.
    *said = file + ": sign " + digestPath + " (request " + requestPath + ")";
    if (!WriteFileAtomically(digestPath, {request.digest.begin(), request.digest.end()}, "",
                             &error)) {
        *said = digestPath + ": cannot write: " + error;
        return false;
    }
    if (!WriteFileAtomically(requestPath, {text.begin(), text.end()}, "", &error)) {
        RemoveFile(digestPath);
        *said = requestPath + ": cannot write: " + error;
        return false;
    }
    return true;
}

// Everything attach checks before it writes, in the order a mistake is most likely found.
bool Attach(const SignCommandLine& line, const std::string& file, std::string* said) {
    std::vector<unsigned char> bytes;
    SigningRequest request;
    std::string error;
    if (!ReadSmallFile(line.request, "request", &bytes, said)) {
        return false;
    }
    if (!ParseSigningRequest({reinterpret_cast<const char*>(bytes.data()), bytes.size()}, &request,
                             &error)) {
        *said = line.request + ": " + error;
        return false;
    }
    if (request.replace != line.replace) {
        *said = std::string("mismatched request: ") + line.request + " was prepared " +
                (request.replace ? "with" : "without") + " --replace; attach must say the same";
        return false;
    }
    if (!DomainAccepted(request.domain, said)) {
        *said = line.request + ": " + *said;
        return false;
    }
    PublicKeyBytes publicKey{};
    if (!ReadPublicKey(line.publicKey, &publicKey, said)) {
        return false;
    }
    Bytes32Array keyId{};
    quorvel_sign_key_id(publicKey.data(), keyId.data());
    if (request.keyPinned && keyId != request.keyId) {
        *said = "wrong key: " + line.request + " was prepared for key " +
                Base64Url(request.keyId.data()) + ", " + line.publicKey + " is key " +
                Base64Url(keyId.data());
        return false;
    }
    SignatureBytes signature{};
    if (!ReadSmallFile(line.signature, "signature", &bytes, said)) {
        return false;
    }
    if (!ParseSignature(bytes, &signature)) {
        *said = line.signature + ": not a signature (64 bytes, or their base64)";
        return false;
    }
    std::vector<unsigned char> image;
    if (!ReadImage(file, &image, said)) {
        return false;
    }
    if (image.size() != request.fileSize || Sha256(image) != request.fileSha256) {
        *said = "changed file: " + file + " is not the file " + line.request +
                " was prepared for (its size or SHA-256 differs)";
        return false;
    }
    Bytes32Array digest{};
    const int status = quorvel_sign_image_digest(
        image.data(), image.size(), SigningOptions(request.authenticode, request.replace),
        digest.data());
    if (status != QUORVEL_SIGN_OK) {
        *said = SignRefusal(status, file);
        return false;
    }
    if (digest != request.digest) {
        *said =
            "mismatched request: the digest in " + line.request + " is not the digest of " + file;
        return false;
    }
    if (crypto_sign_verify_detached(signature.data(), digest.data(), digest.size(),
                                    publicKey.data()) != 0) {
        *said = "wrong signature: " + line.signature + " does not sign the digest of " +
                line.request + " under the key of " + line.publicKey;
        return false;
    }
    quorvel_attached_signer attached;
    quorvel_sign_attached_signer_init(&attached, publicKey.data(), digest.data(), signature.data());
    SignCommandLine signing = line;
    signing.domain = request.domain;
    signing.authenticode = request.authenticode;
    return SignAndWrite(signing, file, image, attached.signer, said);
}

}  // namespace

int RunPrepare(const SignCommandLine& line, std::FILE* out, std::FILE* err) {
    std::string message;
    if (!DomainAccepted(line.domain, &message)) {
        return Refuse(err, message);
    }
    PublicKeyBytes pinned{};
    if (!line.publicKey.empty() && !ReadPublicKey(line.publicKey, &pinned, &message)) {
        return Refuse(err, message);
    }
    const PublicKeyBytes* pin = line.publicKey.empty() ? nullptr : &pinned;
    return ForEachFile(line, out, err, [&](const std::string& file, std::string* said) {
        return Prepare(line, pin, file, said);
    });
}

int RunAttach(const SignCommandLine& line, std::FILE* out, std::FILE* err) {
    return ForEachFile(line, out, err, [&](const std::string& file, std::string* said) {
        return Attach(line, file, said);
    });
}
