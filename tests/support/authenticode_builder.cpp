#include "quorvel_test/authenticode_builder.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <climits>
#include <memory>
#include <stdexcept>

namespace quorvel_test {

namespace {

// unique_ptr deleters from OpenSSL's free functions.
template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const {
        Free(p);
    }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7_free>>;
using ObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("OpenSSL: " + what); }

// A self-signed P-256 certificate and its key, one per signer index, made once per process.
struct TestSigner {
    std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>> key;
    std::unique_ptr<X509, Deleter<X509_free>> certificate;
};

TestSigner MakeTestSigner(int index) {
    TestSigner signer;
    signer.key.reset(EVP_EC_gen("P-256"));
    signer.certificate.reset(X509_new());
    if (!signer.key || !signer.certificate) Fail("test key or certificate");
    X509* cert = signer.certificate.get();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 0x1000 + index);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 60L * 60 * 24 * 365);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Quorvel Test Signer"), -1,
                               -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, signer.key.get());
    if (X509_sign(cert, signer.key.get(), EVP_sha256()) <= 0) Fail("X509_sign");
    return signer;
}

const TestSigner& SignerAt(size_t index) {
    // Made once (key generation is slow) and never destroyed: nothing is freed after OpenSSL's
    // own clean-up at exit, and LeakSanitizer sees them reachable.
    static std::vector<TestSigner>& signers = *new std::vector<TestSigner>;
    while (signers.size() <= index) {
        signers.push_back(MakeTestSigner(static_cast<int>(signers.size())));
    }
    return signers[index];
}

void AddAttribute(PKCS7_SIGNER_INFO* signer_info, const AttributeSpec& wanted) {
    ObjectPtr object(OBJ_txt2obj(wanted.oid.c_str(), 1));
    if (!object) Fail("object identifier " + wanted.oid);
    std::unique_ptr<X509_ATTRIBUTE, Deleter<X509_ATTRIBUTE_free>> attribute(X509_ATTRIBUTE_new());
    if (!attribute || !X509_ATTRIBUTE_set1_object(attribute.get(), object.get())) {
        Fail("attribute");
    }
    for (const Bytes& value : wanted.values) {
        // Stored as an already-encoded element: written out byte for byte.
        if (value.size() > INT_MAX ||
            !X509_ATTRIBUTE_set1_data(attribute.get(), V_ASN1_SEQUENCE, value.data(),
                                      static_cast<int>(value.size()))) {
            Fail("attribute value");
        }
    }
    // Pushed as it is: X509at_add1_attr would refuse a repeated attribute type.
    if (signer_info->unauth_attr == nullptr)
        signer_info->unauth_attr = sk_X509_ATTRIBUTE_new_null();
    if (!sk_X509_ATTRIBUTE_push(signer_info->unauth_attr, attribute.get())) Fail("attribute list");
    attribute.release();
}

Bytes Encode(PKCS7* message) {
    unsigned char* out = nullptr;
    const int length = i2d_PKCS7(message, &out);
    if (length <= 0 || out == nullptr) Fail("i2d_PKCS7");
    Bytes bytes(out, out + length);
    OPENSSL_free(out);
    return bytes;
}

Pkcs7Ptr Decode(const Bytes& der) {
    const unsigned char* cursor = der.data();
    Pkcs7Ptr message(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
    if (!message) Fail("d2i_PKCS7");
    return message;
}

}  // namespace

Bytes MakeSignedData(const std::vector<SignerSpec>& signers) {
    if (signers.empty()) throw std::invalid_argument("at least one signer");
    static const char kContent[] = "Quorvel test content";
    std::unique_ptr<BIO, Deleter<BIO_free>> data(BIO_new_mem_buf(kContent, sizeof kContent - 1));
    const int flags = PKCS7_BINARY | PKCS7_NOSMIMECAP | PKCS7_PARTIAL;
    Pkcs7Ptr message(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!message || !data) Fail("PKCS7_sign");
    for (size_t i = 0; i < signers.size(); ++i) {
        const TestSigner& signer = SignerAt(i);
        PKCS7_SIGNER_INFO* info = PKCS7_sign_add_signer(message.get(), signer.certificate.get(),
                                                        signer.key.get(), EVP_sha256(), flags);
        if (info == nullptr) Fail("PKCS7_sign_add_signer");
        for (const AttributeSpec& attribute : signers[i].unauthenticated)
            AddAttribute(info, attribute);
    }
    if (!PKCS7_final(message.get(), data.get(), flags)) Fail("PKCS7_final");
    Bytes der = Encode(message.get());

    // Check that signer i of the encoding is still the one made from signers[i]. A message made
    // undecodable on purpose (malformed values) has no order to check.
    const unsigned char* cursor = der.data();
    Pkcs7Ptr decoded(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
    for (size_t i = 0; decoded && i < signers.size(); ++i) {
        PKCS7_SIGNER_INFO* info =
            sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(decoded.get()), static_cast<int>(i));
        if (info == nullptr ||
            ASN1_INTEGER_get(info->issuer_and_serial->serial) != 0x1000 + static_cast<long>(i)) {
            throw std::runtime_error(
                "DER sorting changed the order of the signers (give later "
                "signers longer attributes)");
        }
    }
    return der;
}

Bytes AddAttributeToFirstSigner(const Bytes& pkcs7_der, const AttributeSpec& attribute) {
    Pkcs7Ptr message = Decode(pkcs7_der);
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(message.get());
    // With a single signer, re-encoding has no signer order to change.
    if (infos == nullptr || sk_PKCS7_SIGNER_INFO_num(infos) != 1) {
        throw std::runtime_error("message has not exactly one signer");
    }
    AddAttribute(sk_PKCS7_SIGNER_INFO_value(infos, 0), attribute);
    return Encode(message.get());
}

}  // namespace quorvel_test
