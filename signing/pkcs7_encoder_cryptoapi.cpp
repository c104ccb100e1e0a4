// The PKCS#7 encoder seam on the platform's cryptographic message functions (crypt32): the
// message is decoded, the attribute goes in with CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR (or out with
// CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR), and the message's encoded form comes back.
#include <windows.h>
// after windows.h, which it needs
#include <wincrypt.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "pkcs7_encoder.h"
#include "quorvel_internal.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct DecodedMessage {
    HCRYPTMSG handle = nullptr;

    DecodedMessage() = default;
    DecodedMessage(const DecodedMessage&) = delete;
    DecodedMessage& operator=(const DecodedMessage&) = delete;
    ~DecodedMessage() {
        if (handle != nullptr) {
            CryptMsgClose(handle);
        }
    }
};

// A block from CryptEncodeObjectEx's allocation, freed with LocalFree.
struct EncodedBlock {
    BYTE* bytes = nullptr;
    DWORD length = 0;

    EncodedBlock() = default;
    EncodedBlock(const EncodedBlock&) = delete;
    EncodedBlock& operator=(const EncodedBlock&) = delete;
    ~EncodedBlock() {
        if (bytes != nullptr) {
            LocalFree(bytes);
        }
    }
};

bool Encode(LPCSTR structType, const void* value, EncodedBlock& block) {
    return CryptEncodeObjectEx(kEncoding, structType, value, CRYPT_ENCODE_ALLOC_FLAG, nullptr,
                               &block.bytes, &block.length) != FALSE;
}

DWORD DwordParam(HCRYPTMSG message, DWORD type) {
    DWORD value = 0;
    DWORD size = sizeof value;
    return CryptMsgGetParam(message, type, 0, &value, &size) ? value : 0;
}

bool AddPayloadAttribute(HCRYPTMSG message, const unsigned char* payload) {
    CRYPT_DATA_BLOB octets = {QUORVEL_PAYLOAD_BYTES, const_cast<BYTE*>(payload)};
    EncodedBlock value;
    if (!Encode(X509_OCTET_STRING, &octets, value)) {
        return false;
    }
    CRYPT_ATTR_BLOB valueBlob = {value.length, value.bytes};
    CRYPT_ATTRIBUTE attribute = {const_cast<LPSTR>(QUORVEL_PAYLOAD_OID), 1, &valueBlob};
    EncodedBlock encodedAttribute;
    if (!Encode(PKCS_ATTRIBUTE, &attribute, encodedAttribute)) {
        return false;
    }
    CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR_PARA para = {};
    para.cbSize = sizeof para;
    para.dwSignerIndex = 0;
    para.blob.cbData = encodedAttribute.length;
    para.blob.pbData = encodedAttribute.bytes;
    return CryptMsgControl(message, 0, CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR, &para) != FALSE;
}

// Deletes every payload attribute of signer 0, from the last one back, so that the indexes of
// those still to go do not move. With none left, the encoder leaves the [1] set out.
bool RemovePayloadAttributes(HCRYPTMSG message) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, 0, nullptr, &size)) {
        return GetLastError() == static_cast<DWORD>(CRYPT_E_ATTRIBUTES_MISSING);
    }
    std::vector<unsigned char> buffer(size);
    if (!CryptMsgGetParam(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, 0, buffer.data(), &size)) {
        return false;
    }
    const auto* attributes = reinterpret_cast<const CRYPT_ATTRIBUTES*>(buffer.data());
    for (DWORD i = attributes->cAttr; i-- > 0;) {
        const char* oid = attributes->rgAttr[i].pszObjId;
        if (oid == nullptr || std::strcmp(oid, QUORVEL_PAYLOAD_OID) != 0) {
            continue;
        }
        CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR_PARA para = {};
        para.cbSize = sizeof para;
        para.dwSignerIndex = 0;
        para.dwUnauthAttrIndex = i;
        if (!CryptMsgControl(message, 0, CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR, &para)) {
            return false;
        }
    }
    return true;
}

// Decodes der, lets change alter the message, and returns its encoded form in a malloc block.
template <typename Change>
int EncodeChanged(const unsigned char* der, size_t length, Change change, unsigned char** encoded,
                  size_t* encoded_length) {
    if (der == nullptr || encoded == nullptr || encoded_length == nullptr || length > MAXDWORD) {
        return 0;
    }
    DecodedMessage message;
    message.handle = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    if (message.handle == nullptr ||
        !CryptMsgUpdate(message.handle, der, static_cast<DWORD>(length), TRUE) ||
        DwordParam(message.handle, CMSG_TYPE_PARAM) != CMSG_SIGNED ||
        DwordParam(message.handle, CMSG_SIGNER_COUNT_PARAM) == 0 || !change(message.handle)) {
        return 0;
    }
    DWORD size = 0;
    if (!CryptMsgGetParam(message.handle, CMSG_ENCODED_MESSAGE, 0, nullptr, &size) || size == 0) {
        return 0;
    }
    auto* out = static_cast<unsigned char*>(std::malloc(size));
    if (out == nullptr) {
        return 0;
    }
    if (!CryptMsgGetParam(message.handle, CMSG_ENCODED_MESSAGE, 0, out, &size)) {
        std::free(out);
        return 0;
    }
    *encoded = out;
    *encoded_length = size;
    return 1;
}

}  // namespace

extern "C" int quorvel_pkcs7_encode(const unsigned char* der, size_t length,
                                    const unsigned char* payload, unsigned char** encoded,
                                    size_t* encoded_length) {
    return EncodeChanged(
        der, length,
        [payload](HCRYPTMSG message) {
            return payload == nullptr || AddPayloadAttribute(message, payload);
        },
        encoded, encoded_length);
}

extern "C" int quorvel_pkcs7_encode_without_payload(const unsigned char* der, size_t length,
                                                    unsigned char** encoded,
                                                    size_t* encoded_length) {
    return EncodeChanged(der, length, RemovePayloadAttributes, encoded, encoded_length);
}

extern "C" void quorvel_pkcs7_release(unsigned char* encoded) { std::free(encoded); }

extern "C" const char* quorvel_sign_pkcs7_library(void) { return nullptr; }
