/* The PKCS#7 encoder seam on OpenSSL: decode, change signer 0's attributes, encode. */
#include <limits.h>
#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "openssl_start.h"
#include "pkcs7_encoder.h"
#include "quorvel_internal.h"

typedef int (*signer_change)(PKCS7_SIGNER_INFO* signer, const unsigned char* payload);

/* Adds the payload attribute (one OCTET STRING value) to the signer's unauthenticated list. */
static int add_payload_attribute(PKCS7_SIGNER_INFO* signer, const unsigned char* payload) {
    if (payload == NULL) {
        return 1;
    }
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

/* Takes every payload attribute out of the signer's unauthenticated list, and the list itself
 * when it is left empty: an empty list would still be encoded, as an empty [1] set. */
static int remove_payload_attributes(PKCS7_SIGNER_INFO* signer, const unsigned char* unused) {
    (void)unused;
    ASN1_OBJECT* oid = OBJ_txt2obj(QUORVEL_PAYLOAD_OID, 1);
    if (oid == NULL) {
        return 0;
    }
    for (int i = X509at_get_attr_by_OBJ(signer->unauth_attr, oid, -1); i >= 0;
         i = X509at_get_attr_by_OBJ(signer->unauth_attr, oid, -1)) {
        X509_ATTRIBUTE_free(X509at_delete_attr(signer->unauth_attr, i));
    }
    ASN1_OBJECT_free(oid);
    if (signer->unauth_attr != NULL && sk_X509_ATTRIBUTE_num(signer->unauth_attr) == 0) {
        sk_X509_ATTRIBUTE_free(signer->unauth_attr);
        signer->unauth_attr = NULL;
    }
    return 1;
}

static int encode_changed(const unsigned char* der, size_t length, signer_change change,
                          const unsigned char* payload, unsigned char** encoded,
                          size_t* encoded_length) {
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
    if (first != NULL && change(first, payload)) {
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

int quorvel_pkcs7_encode(const unsigned char* der, size_t length, const unsigned char* payload,
                         unsigned char** encoded, size_t* encoded_length) {
    return encode_changed(der, length, add_payload_attribute, payload, encoded, encoded_length);
}

int quorvel_pkcs7_encode_without_payload(const unsigned char* der, size_t length,
                                         unsigned char** encoded, size_t* encoded_length) {
    return encode_changed(der, length, remove_payload_attributes, NULL, encoded, encoded_length);
}

void quorvel_pkcs7_release(unsigned char* encoded) { OPENSSL_free(encoded); }

const char* quorvel_sign_pkcs7_library(void) { return OpenSSL_version(OPENSSL_VERSION); }
