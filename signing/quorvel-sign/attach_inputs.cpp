#include "attach_inputs.h"

#include <rapidjson/document.h>
#include <sodium.h>

#include <cstring>
#include <string_view>

#include "keyclient/key_document.h"

namespace {

constexpr char kWhiteSpace[] = " \t\r\n";
constexpr std::string_view kPemBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kPemEnd = "-----END PUBLIC KEY-----";
// SEQUENCE { SEQUENCE { OID 1.3.101.112 }, BIT STRING (33 bytes: 0 unused bits, the key) }
constexpr unsigned char kSpkiPrefix[] = {0x30, 0x2A, 0x30, 0x05, 0x06, 0x03,
                                         0x2B, 0x65, 0x70, 0x03, 0x21, 0x00};
constexpr std::size_t kSpkiBytes = sizeof kSpkiPrefix + QUORVEL_SIGN_PUBLIC_KEY_BYTES;
constexpr char16_t kRevoked[] = u"revoked";

std::string_view Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kWhiteSpace) - first + 1);
}

// All of text decodes to exactly out.size() bytes in the given variant.
template <std::size_t N>
bool DecodeBase64(std::string_view text, int variant, std::array<unsigned char, N>* out,
                  const char* ignore) {
    std::size_t length = 0;
    const char* end = nullptr;
    return sodium_base642bin(out->data(), out->size(), text.data(), text.size(), ignore, &length,
                             &end, variant) == 0 &&
           length == out->size() && end == text.data() + text.size();
}

bool ParsePem(std::string_view text, PublicKeyBytes* key, std::string* error) {
    const std::size_t begin = text.find(kPemBegin);
    const std::size_t end = text.find(kPemEnd);
    std::array<unsigned char, kSpkiBytes> der{};
    if (begin == std::string_view::npos || end == std::string_view::npos || end < begin ||
        !DecodeBase64(text.substr(begin + kPemBegin.size(), end - begin - kPemBegin.size()),
                      sodium_base64_VARIANT_ORIGINAL, &der, kWhiteSpace) ||
        std::memcmp(der.data(), kSpkiPrefix, sizeof kSpkiPrefix) != 0) {
        *error = "not an Ed25519 public key in PEM form";
        return false;
    }
    std::memcpy(key->data(), der.data() + sizeof kSpkiPrefix, key->size());
    return true;
}

// The key of jwk.x; the keyclient's parser then checks the document as a verifier would,
// with the key's own thumbprint as the key id it must name.
bool ParseKeyDocumentKey(std::string_view text, PublicKeyBytes* key, std::string* error) {
    rapidjson::Document document;
    document.Parse(text.data(), text.size());
    Bytes32 publicKey{};
    bool found = false;
    if (!document.HasParseError() && document.IsObject()) {
        const auto jwk = document.FindMember("jwk");
        if (jwk != document.MemberEnd() && jwk->value.IsObject()) {
            const auto x = jwk->value.FindMember("x");
            found =
                x != jwk->value.MemberEnd() && x->value.IsString() &&
                Base64UrlDecode(std::string_view(x->value.GetString(), x->value.GetStringLength()),
                                publicKey);
        }
    }
    if (!found) {
        *error = "neither an Ed25519 public key in PEM form nor a key document";
        return false;
    }
    std::memcpy(key->data(), publicKey.data(), key->size());
    unsigned char keyId[QUORVEL_SIGN_KEY_ID_BYTES];
    quorvel_sign_key_id(key->data(), keyId);
    std::u16string state;
    std::string reason;
    Bytes32 checked{};
    char kid[sodium_base64_ENCODED_LEN(32, sodium_base64_VARIANT_URLSAFE_NO_PADDING)];
    sodium_bin2base64(kid, sizeof kid, keyId, sizeof keyId,
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    if (!ParseKeyDocument(text, kid, checked, &state, nullptr, &reason)) {
        *error = "the key document is not valid: " + reason;
        return false;
    }
    if (state == kRevoked) {
        *error = "the key document marks the key as revoked";
        return false;
    }
    return true;
}

}  // namespace

bool ParseSignature(const std::vector<unsigned char>& bytes, SignatureBytes* signature) {
    if (bytes.size() == signature->size()) {
        std::memcpy(signature->data(), bytes.data(), bytes.size());
        return true;
    }
    const std::string_view text =
        Trimmed(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    const bool urlSafe = text.find_first_of("-_") != std::string_view::npos;
    const bool padded = !text.empty() && text.back() == '=';
    const int variant =
        urlSafe
            ? (padded ? sodium_base64_VARIANT_URLSAFE : sodium_base64_VARIANT_URLSAFE_NO_PADDING)
            : (padded ? sodium_base64_VARIANT_ORIGINAL : sodium_base64_VARIANT_ORIGINAL_NO_PADDING);
    return DecodeBase64(text, variant, signature, nullptr);
}

bool ParsePublicKey(const std::vector<unsigned char>& bytes, PublicKeyBytes* key,
                    std::string* error) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.find(kPemBegin) != std::string_view::npos) {
        return ParsePem(text, key, error);
    }
    return ParseKeyDocumentKey(text, key, error);
}
