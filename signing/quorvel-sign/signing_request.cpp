#include "signing_request.h"

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <sodium.h>

namespace {

constexpr int kRequestVersion = 1;
constexpr char kVersionMember[] = "quorvel_signing_request";
constexpr char kEntry[] = "entry";
constexpr char kAuthenticode[] = "authenticode";

std::string Encoded(const Bytes32Array& bytes, int variant) {
    char text[sodium_base64_ENCODED_LEN(32, sodium_base64_VARIANT_ORIGINAL)];
    sodium_bin2base64(text, sizeof text, bytes.data(), bytes.size(), variant);
    return text;
}

std::string Hex(const Bytes32Array& bytes) {
    char text[2 * 32 + 1];
    sodium_bin2hex(text, sizeof text, bytes.data(), bytes.size());
    return text;
}

bool FromHex(const rapidjson::Value& value, Bytes32Array* bytes) {
    std::size_t length = 0;
    const char* end = nullptr;
    return value.IsString() && value.GetStringLength() == 2 * bytes->size() &&
           sodium_hex2bin(bytes->data(), bytes->size(), value.GetString(), value.GetStringLength(),
                          nullptr, &length, &end) == 0 &&
           length == bytes->size();
}

bool FromBase64Url(const rapidjson::Value& value, Bytes32Array* bytes) {
    std::size_t length = 0;
    const char* end = nullptr;
    return value.IsString() &&
           sodium_base642bin(bytes->data(), bytes->size(), value.GetString(),
                             value.GetStringLength(), nullptr, &length, &end,
                             sodium_base64_VARIANT_URLSAFE_NO_PADDING) == 0 &&
           length == bytes->size() && end == value.GetString() + value.GetStringLength();
}

const rapidjson::Value* Member(const rapidjson::Document& document, const char* name) {
    const auto member = document.FindMember(name);
    return member == document.MemberEnd() ? nullptr : &member->value;
}

}  // namespace

std::string FormatSigningRequest(const SigningRequest& request) {
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    writer.SetIndent(' ', 2);
    writer.StartObject();
    writer.Key(kVersionMember);
    writer.Int(kRequestVersion);
    writer.Key("file");
    writer.String(request.file.c_str());
    writer.Key("file_size");
    writer.Uint64(request.fileSize);
    writer.Key("file_sha256");
    writer.String(Hex(request.fileSha256).c_str());
    writer.Key("domain");
    writer.String(request.domain.c_str());
    writer.Key("container");
    writer.String(request.authenticode ? kAuthenticode : kEntry);
    writer.Key("replace");
    writer.Bool(request.replace);
    if (request.keyPinned) {
        writer.Key("key_id");
        writer.String(Encoded(request.keyId, sodium_base64_VARIANT_URLSAFE_NO_PADDING).c_str());
    }
    writer.Key("digest_hex");
    writer.String(Hex(request.digest).c_str());
    writer.Key("digest_base64");
    writer.String(Encoded(request.digest, sodium_base64_VARIANT_ORIGINAL).c_str());
    writer.Key("digest_base64url");
    writer.String(Encoded(request.digest, sodium_base64_VARIANT_URLSAFE_NO_PADDING).c_str());
    writer.Key("digest_file");
    writer.String(request.digestFile.c_str());
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

bool ParseSigningRequest(std::string_view text, SigningRequest* request, std::string* error) {
    rapidjson::Document document;
    document.Parse(text.data(), text.size());
    const rapidjson::Value* version = nullptr;
    if (document.HasParseError() || !document.IsObject() ||
        (version = Member(document, kVersionMember)) == nullptr) {
        *error = "not a signing request";
        return false;
    }
    if (!version->IsInt() || version->GetInt() != kRequestVersion) {
        *error = "a signing request of another version";
        return false;
    }
    const rapidjson::Value* file = Member(document, "file");
    const rapidjson::Value* size = Member(document, "file_size");
    const rapidjson::Value* sha256 = Member(document, "file_sha256");
    const rapidjson::Value* domain = Member(document, "domain");
    const rapidjson::Value* container = Member(document, "container");
    const rapidjson::Value* replace = Member(document, "replace");
    const rapidjson::Value* keyId = Member(document, "key_id");
    const rapidjson::Value* digest = Member(document, "digest_hex");
    const bool knownContainer = container != nullptr && container->IsString() &&
                                (container->GetString() == std::string_view(kEntry) ||
                                 container->GetString() == std::string_view(kAuthenticode));
    if (file == nullptr || !file->IsString() || size == nullptr || !size->IsUint64() ||
        sha256 == nullptr || !FromHex(*sha256, &request->fileSha256) || domain == nullptr ||
        !domain->IsString() || !knownContainer || replace == nullptr || !replace->IsBool() ||
        (keyId != nullptr && !FromBase64Url(*keyId, &request->keyId)) || digest == nullptr ||
        !FromHex(*digest, &request->digest)) {
        *error = "a signing request with a missing or malformed member";
        return false;
    }
    request->file = file->GetString();
    request->fileSize = size->GetUint64();
    request->domain.assign(domain->GetString(), domain->GetStringLength());
    request->authenticode = container->GetString() == std::string_view(kAuthenticode);
    request->replace = replace->GetBool();
    request->keyPinned = keyId != nullptr;
    return true;
}
