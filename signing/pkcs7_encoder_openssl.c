/* The PKCS#7 encoder seam on OpenSSL: decode, add the attribute to signer 0, encode. */
#include <limits.h>
#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "openssl_start.h"
#include "pkcs7_encoder.h"
#include "quorvel_internal.h"

/* Adds the payload attribute (one OCTET STRING value) to the signer's unauthenticated list. */
static int add_payload_attribute(PKCS7_SIGNER_INFO* signer, const unsigned char* payload) {
    ASN1_OBJECT* oid = OBJ_txt2obj(QUORVEL_PAYLOAD_OID, 1);
    if (oid == NULL) {
        return 0;
    }
    X509_ATTRIBUTE* attribute = X509_ATTRIBUTE_create_by_OBJ(NULL, oid, V_ASN1_OCTET_STRING,
                                                             payload, (int)QUORVEL_PAYLOAD_BYTES);
    ASN1_OBJECT_free(oid);
    if (attribute == NULL) {
        return 0;
    }
    const int added = X509at_add1_attr(&signer->unauth_attr, attribute) != NULL;
    X509_ATTRIBUTE_free(attribute);
    return added;
}

int quorvel_pkcs7_encode(const unsigned char* der, size_t length, const unsigned char* payload,
                         unsigned char** encoded, size_t* encoded_length) {
    if (der == NULL || encoded == NULL || encoded_length == NULL || length > INT_MAX) {
        return 0;
    }
    if (quorvel_openssl_start() == NULL) {
        return 0; /* OpenSSL's set-up failed: it is not called again */
    }
    const unsigned char* cursor = der;
    PKCS7* message = d2i_PKCS7(NULL, &cursor, (long)length);
    if (message == NULL) {
        return 0;
    }
    int ok = 0;
    STACK_OF(PKCS7_SIGNER_INFO)* signers =
        PKCS7_type_is_signed(message) ? PKCS7_get_signer_info(message) : NULL;
    PKCS7_SIGNER_INFO* first = signers != NULL && sk_PKCS7_SIGNER_INFO_num(signers) > 0
                                   ? sk_PKCS7_SIGNER_INFO_value(signers, 0)
                                   : NULL;
    if (first != NULL && (payload == NULL || add_payload_attribute(first, payload))) {
        unsigned char* out = NULL;
        const int out_length = i2d_PKCS7(message, &out);
        if (out_length > 0) {
            *encoded = out;
            *encoded_length = (size_t)out_length;
            ok = 1;
        }
    }
    PKCS7_free(message);
    return ok;
}

void quorvel_pkcs7_release(unsigned char* encoded) { OPENSSL_free(encoded); }

const char* quorvel_sign_pkcs7_library(void) { return OpenSSL_version(OPENSSL_VERSION); }
