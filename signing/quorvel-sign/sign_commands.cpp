#include "sign_commands.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sodium.h>

#include <memory>
#include <string>
#include <vector>

#include "command_support.h"
#include "program/files.h"
#include "quorvel/quorvel_sign.h"
#include "quorvel/quorvel_sign_pkcs11.h"
#include "signing_key.h"
#include "token_key.h"

namespace {

constexpr char kKeyDocumentPath[] = "/.well-known/vantors/v1/";

}  // namespace

int RunKeygen(const SignCommandLine& line, std::FILE* out, std::FILE* err) {
    if (IsTokenUri(line.keyFile)) {
        std::string uri, message;
        const std::unique_ptr<SigningKey> key = GenerateTokenKey(line, &uri, &message);
        if (!key) {
            return Refuse(err, message);
        }
        std::fprintf(out, "%s\n", KeyIdText(key->Signer().public_key).c_str());
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
    const std::string kid = KeyIdText(key.signer.public_key);
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
    const std::string kid = KeyIdText(signer.public_key);
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
    // One key load (one token session) for all files.
    const std::unique_ptr<SigningKey> key = LoadSigningKey(line, &message);
    if (!key) {
        return Refuse(err, message);
    }
    return ForEachFile(line, out, err, [&](const std::string& file, std::string* said) {
        std::vector<unsigned char> image;
        return ReadImage(file, &image, said) &&
               SignAndWrite(line, file, image, key->Signer(), said);
    });
}

int RunRemove(const SignCommandLine& line, std::FILE* out, std::FILE* err) {
    return ForEachFile(line, out, err, [&](const std::string& file, std::string* said) {
        std::vector<unsigned char> image;
        if (!ReadImage(file, &image, said)) {
            return false;
        }
        std::vector<unsigned char> removed(image.size());
        std::size_t size = 0;
        const int status =
            quorvel_sign_remove(image.data(), image.size(), removed.data(), removed.size(), &size);
        if (status != QUORVEL_SIGN_OK) {
            *said = SignRefusal(status, file);
            return false;
        }
        removed.resize(size);
        const std::string target = OutputPath(line, file, "");
        *said = target + ": Quorvel signature removed";
        return WriteOutput(target, file, removed, said);
    });
}
