// The PKCS#7 seam on the platform's cryptographic message functions (crypt32).
#include <windows.h>
// wincrypt.h needs the base types from windows.h.
#include <wincrypt.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "pkcs7_decoder.h"

namespace {

// Everything CryptQueryObject hands out, released on every path.
struct DecodedMessage {
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    DWORD contentType = 0;

    DecodedMessage() = default;
    DecodedMessage(const DecodedMessage&) = delete;
    DecodedMessage& operator=(const DecodedMessage&) = delete;
    ~DecodedMessage() {
        if (message != nullptr) {
            CryptMsgClose(message);
        }
        if (store != nullptr) {
            CertCloseStore(store, 0);
        }
    }
};

// Whether the last failure of a crypt32 call was for want of memory.
bool LastErrorIsOutOfMemory() {
    const DWORD error = GetLastError();
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
           error == static_cast<DWORD>(E_OUTOFMEMORY);
}

bool Decode(const unsigned char* der, size_t length, DecodedMessage& decoded) {
    CERT_BLOB blob;
    blob.cbData = static_cast<DWORD>(length);
    blob.pbData = const_cast<BYTE*>(der);
    DWORD encoding = 0;
    DWORD format = 0;
    const BOOL ok = CryptQueryObject(
        CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_ALL, CERT_QUERY_FORMAT_FLAG_BINARY,
        0, &encoding, &decoded.contentType, &format, &decoded.store, &decoded.message, nullptr);
    if (!ok || decoded.message == nullptr) {
        return false;
    }
    // Only signed data counts; a bare certificate, a CRL or unsigned PKCS#7 data does not.
    return decoded.contentType == CERT_QUERY_CONTENT_PKCS7_SIGNED ||
           decoded.contentType == CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED;
}

// Signer 0's complete signer information: once for the size, once into a block of that size.
// Returns a block to be released with std::free, or null (outOfMemory set when that is why).
CMSG_SIGNER_INFO* FirstSignerInfo(HCRYPTMSG message, DWORD& size, bool& outOfMemory) {
    size = 0;
    if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) ||
        size < sizeof(CMSG_SIGNER_INFO)) {
        outOfMemory = LastErrorIsOutOfMemory();
        return nullptr;
    }
    void* block = std::malloc(size);
    if (block == nullptr) {
        outOfMemory = true;
        return nullptr;
    }
    if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, block, &size)) {
        outOfMemory = LastErrorIsOutOfMemory();
        std::free(block);
        return nullptr;
    }
    return static_cast<CMSG_SIGNER_INFO*>(block);
}

// The signer information block as CryptMsgGetParam filled it: every pointer inside the record
// points into the same block.
struct SignerBlock {
    const unsigned char* begin;
    size_t size;

    bool Holds(const void* pointer, size_t length) const {
        const auto* p = static_cast<const unsigned char*>(pointer);
        if (p == nullptr || p < begin) {
            return false;
        }
        const auto offset = static_cast<size_t>(p - begin);
        return offset <= size && length <= size - offset;
    }
};

// Calls the visitor for one attribute; returns its answer (non-zero: stop), or
// QUORVEL_PKCS7_OUT_OF_MEMORY.
// A value that the decoder reports outside its own output is not read and not passed on:
// Wine's crypt32 reports an empty SET OF values as one value with a length and address that
// point past the block.
int VisitAttribute(const SignerBlock& block, const CRYPT_ATTRIBUTE& attribute,
                   quorvel_pkcs7_attribute_visitor visit, void* context) {
    const char* oid = attribute.pszObjId;
    if (oid != nullptr && !block.Holds(oid, 1)) {
        oid = nullptr;
    }
    size_t valueCount = 0;
    quorvel_der_value* values = nullptr;
    if (attribute.cValue > 0 &&
        block.Holds(attribute.rgValue, size_t{attribute.cValue} * sizeof(CRYPT_ATTR_BLOB))) {
        values = new (std::nothrow) quorvel_der_value[attribute.cValue];
        if (values == nullptr) {
            return QUORVEL_PKCS7_OUT_OF_MEMORY;
        }
        for (DWORD i = 0; i < attribute.cValue; ++i) {
            const CRYPT_ATTR_BLOB& value = attribute.rgValue[i];
            if (value.cbData > 0 && block.Holds(value.pbData, value.cbData)) {
                values[valueCount].bytes = value.pbData;
                values[valueCount].length = value.cbData;
                ++valueCount;
            }
        }
    }
    const int answer = visit(context, oid, values, valueCount);
    delete[] values;
    return answer;
}

}  // namespace

extern "C" int quorvel_pkcs7_visit_signer_attributes(const unsigned char* der, size_t length,
                                                     quorvel_pkcs7_attribute_visitor visit,
                                                     void* context) {
    if (der == nullptr || visit == nullptr || length == 0 ||
        static_cast<std::uint64_t>(length) > 0xFFFFFFFFu) {
        return 0;
    }
    DecodedMessage decoded;
    if (!Decode(der, length, decoded)) {
        return LastErrorIsOutOfMemory() ? QUORVEL_PKCS7_OUT_OF_MEMORY : 0;
    }
    DWORD size = 0;
    bool outOfMemory = false;
    CMSG_SIGNER_INFO* signer = FirstSignerInfo(decoded.message, size, outOfMemory);
    if (signer == nullptr) {
        return outOfMemory ? QUORVEL_PKCS7_OUT_OF_MEMORY : 0;
    }
    const SignerBlock block{reinterpret_cast<const unsigned char*>(signer), size};
    const CRYPT_ATTRIBUTES& attributes = signer->UnauthAttrs;
    if (attributes.cAttr > 0 &&
        block.Holds(attributes.rgAttr, size_t{attributes.cAttr} * sizeof(CRYPT_ATTRIBUTE))) {
        for (DWORD i = 0; i < attributes.cAttr; ++i) {
            const int answer = VisitAttribute(block, attributes.rgAttr[i], visit, context);
            if (answer == QUORVEL_PKCS7_OUT_OF_MEMORY) {
                std::free(signer);
                return QUORVEL_PKCS7_OUT_OF_MEMORY;
            }
            if (answer != 0) {
                break;
            }
        }
    }
    std::free(signer);
    return 1;
}
