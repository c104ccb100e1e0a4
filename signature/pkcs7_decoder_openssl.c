/* The PKCS#7 seam on OpenSSL's decoder (d2i_PKCS7). */
#include <limits.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include "pkcs7_decoder.h"

#define OID_TEXT_BYTES 128

/* Dotted text of an object identifier into buffer, or into a new block when it is longer.
 * Returns the text (buffer, *allocated or null); *allocated is to be freed by the caller. */
static const char* oid_text(const ASN1_OBJECT* object, char* buffer, int buffer_size,
                            char** allocated) {
    *allocated = NULL;
    if (object == NULL) {
        return NULL;
    }
    const int needed = OBJ_obj2txt(buffer, buffer_size, object, 1);
    if (needed <= 0) {
        return NULL;
    }
    if (needed < buffer_size) {
        return buffer;
    }
    if (needed == INT_MAX) {
        return NULL;
    }
    char* text = (char*)malloc((size_t)needed + 1);
    if (text == NULL) {
        return NULL;
    }
    if (OBJ_obj2txt(text, needed + 1, object, 1) != needed) {
        free(text);
        return NULL;
    }
    *allocated = text;
    return text;
}

/* Calls the visitor for one attribute; returns its answer (non-zero: stop). */
static int visit_attribute(const X509_ATTRIBUTE* attribute, quorvel_pkcs7_attribute_visitor visit,
                           void* context) {
    char buffer[OID_TEXT_BYTES];
    char* allocated = NULL;
    const char* oid = oid_text(X509_ATTRIBUTE_get0_object((X509_ATTRIBUTE*)attribute), buffer,
                               (int)sizeof buffer, &allocated);

    const int count = X509_ATTRIBUTE_count(attribute);
    const size_t value_count = count > 0 ? (size_t)count : 0;
    quorvel_der_value* values = NULL;
    unsigned char** encodings = NULL;
    size_t encoded = 0;
    int answer = 0;
    int complete = 1;
    if (value_count > 0) {
        values = (quorvel_der_value*)calloc(value_count, sizeof *values);
        encodings = (unsigned char**)calloc(value_count, sizeof *encodings);
        complete = values != NULL && encodings != NULL;
        for (size_t i = 0; complete && i < value_count; ++i) {
            ASN1_TYPE* type = X509_ATTRIBUTE_get0_type((X509_ATTRIBUTE*)attribute, (int)i);
            unsigned char* out = NULL;
            const int encoded_length = type != NULL ? i2d_ASN1_TYPE(type, &out) : -1;
            if (encoded_length <= 0 || out == NULL) {
                OPENSSL_free(out);
                complete = 0;
                break;
            }
            encodings[i] = out;
            values[i].bytes = out;
            values[i].length = (size_t)encoded_length;
            encoded = i + 1;
        }
    }
    if (complete) {
        answer = visit(context, oid, values, value_count);
    }
    /* An attribute whose values cannot be re-encoded is passed over. */
    for (size_t i = 0; i < encoded; ++i) {
        OPENSSL_free(encodings[i]);
    }
    free(encodings);
    free(values);
    free(allocated);
    return answer;
}

int quorvel_pkcs7_visit_signer_attributes(const unsigned char* der, size_t length,
                                          quorvel_pkcs7_attribute_visitor visit, void* context) {
    if (der == NULL || visit == NULL || length == 0 || length > (size_t)LONG_MAX) {
        return 0;
    }
    const unsigned char* cursor = der;
    PKCS7* message = d2i_PKCS7(NULL, &cursor, (long)length);
    if (message == NULL) {
        return 0;
    }
    int decoded = 0;
    STACK_OF(PKCS7_SIGNER_INFO)* signers =
        PKCS7_type_is_signed(message) ? PKCS7_get_signer_info(message) : NULL;
    if (signers != NULL && sk_PKCS7_SIGNER_INFO_num(signers) > 0) {
        PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);
        if (signer != NULL) {
            decoded = 1;
            STACK_OF(X509_ATTRIBUTE)* attributes = signer->unauth_attr;
            const int attribute_count = sk_X509_ATTRIBUTE_num(attributes);
            for (int i = 0; i < attribute_count; ++i) {
                if (visit_attribute(sk_X509_ATTRIBUTE_value(attributes, i), visit, context)) {
                    break;
                }
            }
        }
    }
    PKCS7_free(message);
    return decoded;
}
