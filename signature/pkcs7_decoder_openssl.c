/* The PKCS#7 seam on OpenSSL.
 *
 * d2i_PKCS7 decides whether the bytes are a decodable SignedData message with a signer, and
 * gives the attribute identifiers. The attribute values, though, are taken from the message's
 * own bytes: OpenSSL keeps most values only in decoded form, and encoding them again changes
 * the bytes (a non-minimal length becomes minimal, a constructed OCTET STRING becomes one
 * primitive string, a constructed element of another universal type becomes primitive). The
 * payload rules read the encoding that the signer wrote, so the values are found by walking
 * the original encoding along the path that OpenSSL has just decoded:
 *
 *   ContentInfo SEQUENCE { contentType, [0] { SignedData SEQUENCE {
 *     version, digestAlgorithms, contentInfo, [0] certificates OPTIONAL, [1] crls OPTIONAL,
 *     signerInfos SET { SignerInfo SEQUENCE {
 *       version, issuerAndSerialNumber, digestAlgorithm, [0] authenticatedAttributes OPTIONAL,
 *       digestEncryptionAlgorithm, encryptedDigest,
 *       [1] unauthenticatedAttributes OPTIONAL: SET OF Attribute SEQUENCE {
 *         type OBJECT IDENTIFIER, values SET OF element } } ... } } } }
 *
 * Headers are read with ASN1_get_object, the reader that d2i_PKCS7 itself uses (short, long
 * and indefinite lengths). The walk must agree with the decoded message: the same number of
 * attributes, the same identifiers and the same number of values in each. OpenSSL has just
 * accepted the message, so a disagreement cannot come from a well-formed message; the message
 * is then treated as not decodable rather than handing over values that cannot be pinned to
 * their attribute.
 *
 * Every entry that OpenSSL adds to the thread's error queue during the call is removed before
 * returning: other users of OpenSSL on the same thread (libcurl) must not find them. */
#include <limits.h>
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "openssl_start.h"
#include "pkcs7_decoder.h"

#define OID_TEXT_BYTES 128
/* Values listed without a heap block; attributes with more values get one. */
#define INLINE_VALUES 8

/* ASN1_get_object's answer: constructed flag, indefinite flag, error flag. */
#define HEADER_CONSTRUCTED 0x20
#define HEADER_INDEFINITE 0x01
#define HEADER_ERROR 0x80

/* One element of the original encoding. For an indefinite length, content_length excludes
 * the closing end-of-contents octets and total_length includes them.
 *
 * The header reader is given, as the bytes it may look at, what OpenSSL's own decoder gives
 * it: up to the end of the enclosing definite-length element (or of the message), which for
 * the elements inside an indefinite-length one includes its end-of-contents octets. This
 * matters because ASN1_get_object wants a byte after a long-form length. child_limit is that
 * bound for the element's own content. */
typedef struct ber_element {
    const unsigned char* start;
    const unsigned char* content;
    size_t content_length;
    size_t total_length;
    const unsigned char* child_limit;
    int tag;
    int tag_class;
    int constructed;
} ber_element;

/* A run of complete elements [next, end), read front to back; limit as for child_limit. */
typedef struct ber_cursor {
    const unsigned char* next;
    const unsigned char* end;
    const unsigned char* limit;
} ber_cursor;

/* Reads one header at the start of [p, p + available). On success *content is the first
 * content byte and, for a definite length, *length its length, checked against available. */
static int read_header(const unsigned char* p, size_t available, const unsigned char** content,
                       size_t* length, int* tag, int* tag_class, int* constructed,
                       int* indefinite) {
    if (available < 2) {
        return 0;
    }
    const long omax = available > (size_t)LONG_MAX ? LONG_MAX : (long)available;
    const unsigned char* q = p;
    long content_bytes = 0;
    const int answer = ASN1_get_object(&q, &content_bytes, tag, tag_class, omax);
    if ((answer & HEADER_ERROR) != 0 || q <= p || content_bytes < 0) {
        return 0;
    }
    const uint64_t header = (uint64_t)(q - p);
    if (header > (uint64_t)available) {
        return 0;
    }
    *constructed = (answer & HEADER_CONSTRUCTED) != 0;
    *indefinite = (answer & HEADER_INDEFINITE) != 0;
    if (*indefinite && !*constructed) {
        return 0;
    }
    if (!*indefinite && (uint64_t)content_bytes > (uint64_t)available - header) {
        return 0;
    }
    *content = q;
    *length = *indefinite ? 0 : (size_t)content_bytes;
    return 1;
}

static int is_end_of_contents(const unsigned char* p, size_t available) {
    return available >= 2 && p[0] == 0 && p[1] == 0;
}

/* The end of an indefinite-length element whose content starts at content: the first byte
 * after the end-of-contents octets that close it. Nested indefinite elements are counted,
 * not recursed into. Returns null when the element is not closed inside [content, limit). */
static const unsigned char* indefinite_end(const unsigned char* content,
                                           const unsigned char* limit) {
    const unsigned char* p = content;
    uint64_t open = 1;
    while (p < limit) {
        const size_t available = (size_t)(limit - p);
        if (is_end_of_contents(p, available)) {
            p += 2;
            if (--open == 0) {
                return p;
            }
            continue;
        }
        const unsigned char* inner = NULL;
        size_t length = 0;
        int tag = 0;
        int tag_class = 0;
        int constructed = 0;
        int indefinite = 0;
        if (!read_header(p, available, &inner, &length, &tag, &tag_class, &constructed,
                         &indefinite)) {
            return NULL;
        }
        if (indefinite) {
            if (open == UINT64_MAX) {
                return NULL;
            }
            ++open;
            p = inner;
        } else {
            p = inner + length; /* inside [p, limit): checked by read_header */
        }
    }
    return NULL;
}

/* Reads the element at the start of [p, end), which lies inside [p, limit). */
static int read_element(const unsigned char* p, const unsigned char* end,
                        const unsigned char* limit, ber_element* element) {
    if (p == NULL || p >= end || end > limit) {
        return 0;
    }
    const unsigned char* content = NULL;
    size_t length = 0;
    int indefinite = 0;
    if (!read_header(p, (size_t)(limit - p), &content, &length, &element->tag, &element->tag_class,
                     &element->constructed, &indefinite)) {
        return 0;
    }
    const unsigned char* after = NULL;
    if (indefinite) {
        after = indefinite_end(content, limit);
        if (after == NULL || after > end) {
            return 0;
        }
        element->content_length = (size_t)(after - 2 - content);
        element->child_limit = limit;
    } else {
        /* content + length <= limit: checked by read_header */
        if (content > end || length > (size_t)(end - content)) {
            return 0;
        }
        after = content + length;
        element->content_length = length;
        element->child_limit = after;
    }
    element->start = p;
    element->content = content;
    element->total_length = (size_t)(after - p);
    return 1;
}

static ber_cursor children_of(const ber_element* element) {
    ber_cursor cursor;
    cursor.next = element->content;
    cursor.end = element->content + element->content_length;
    cursor.limit = element->child_limit;
    return cursor;
}

static int at_end(const ber_cursor* cursor) { return cursor->next >= cursor->end; }

/* Reads the next element of the run; no when the run has ended or the element is malformed. */
static int next_element(ber_cursor* cursor, ber_element* element) {
    if (at_end(cursor) || !read_element(cursor->next, cursor->end, cursor->limit, element)) {
        return 0;
    }
    cursor->next += element->total_length;
    return 1;
}

static int skip_elements(ber_cursor* cursor, int count) {
    ber_element skipped;
    for (int i = 0; i < count; ++i) {
        if (!next_element(cursor, &skipped)) {
            return 0;
        }
    }
    return 1;
}

static int is_universal(const ber_element* element, int tag) {
    return element->tag_class == V_ASN1_UNIVERSAL && element->tag == tag && element->constructed;
}

static int is_context(const ber_element* element, int tag) {
    return element->tag_class == V_ASN1_CONTEXT_SPECIFIC && element->tag == tag;
}

/* Walks the original encoding to signer 0's unauthenticated attributes. On yes, *present tells
 * whether the signer has them and *attributes is their SET (valid only when present). */
static int find_unauthenticated_attributes(const unsigned char* der, size_t length,
                                           ber_element* attributes, int* present) {
    *present = 0;
    ber_element content_info;
    if (!read_element(der, der + length, der + length, &content_info) ||
        !is_universal(&content_info, V_ASN1_SEQUENCE)) {
        return 0;
    }
    ber_cursor cursor = children_of(&content_info);
    ber_element explicit_content;
    if (!skip_elements(&cursor, 1) || !next_element(&cursor, &explicit_content) ||
        !is_context(&explicit_content, 0) || !explicit_content.constructed) {
        return 0;
    }
    cursor = children_of(&explicit_content);
    ber_element signed_data;
    if (!next_element(&cursor, &signed_data) || !is_universal(&signed_data, V_ASN1_SEQUENCE)) {
        return 0;
    }
    /* version, digestAlgorithms, contentInfo, then the optional certificates and CRLs. */
    cursor = children_of(&signed_data);
    ber_element element;
    if (!skip_elements(&cursor, 3) || !next_element(&cursor, &element)) {
        return 0;
    }
    if (is_context(&element, 0) && !next_element(&cursor, &element)) {
        return 0;
    }
    if (is_context(&element, 1) && !next_element(&cursor, &element)) {
        return 0;
    }
    if (!is_universal(&element, V_ASN1_SET)) {
        return 0;
    }
    cursor = children_of(&element);
    ber_element signer;
    if (!next_element(&cursor, &signer) || !is_universal(&signer, V_ASN1_SEQUENCE)) {
        return 0;
    }
    /* version, issuerAndSerialNumber, digestAlgorithm, the optional authenticated attributes,
     * digestEncryptionAlgorithm, encryptedDigest, the optional unauthenticated attributes. */
    cursor = children_of(&signer);
    if (!skip_elements(&cursor, 3) || !next_element(&cursor, &element)) {
        return 0;
    }
    if (is_context(&element, 0) && !next_element(&cursor, &element)) {
        return 0;
    }
    if (!skip_elements(&cursor, 1)) {
        return 0;
    }
    if (at_end(&cursor)) {
        return 1;
    }
    if (!next_element(&cursor, attributes) || !is_context(attributes, 1) ||
        !attributes->constructed || !at_end(&cursor)) {
        return 0;
    }
    *present = 1;
    return 1;
}

/* Dotted text of an object identifier into buffer, or into a new block when it is longer.
 * Returns the text (buffer, *allocated or null); *allocated is to be freed by the caller.
 * *out_of_memory is set when the block cannot be had. */
static const char* oid_text(const ASN1_OBJECT* object, char* buffer, int buffer_size,
                            char** allocated, int* out_of_memory) {
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
        *out_of_memory = 1;
        return NULL;
    }
    if (OBJ_obj2txt(text, needed + 1, object, 1) != needed) {
        free(text);
        return NULL;
    }
    *allocated = text;
    return text;
}

/* The walked Attribute: its identifier's content bytes and its SET of values. */
typedef struct walked_attribute {
    ber_element oid;
    ber_element values;
    size_t value_count;
} walked_attribute;

static int walk_attribute(const ber_element* attribute, walked_attribute* walked) {
    if (!is_universal(attribute, V_ASN1_SEQUENCE)) {
        return 0;
    }
    ber_cursor cursor = children_of(attribute);
    if (!next_element(&cursor, &walked->oid) || walked->oid.tag_class != V_ASN1_UNIVERSAL ||
        walked->oid.tag != V_ASN1_OBJECT || walked->oid.constructed ||
        !next_element(&cursor, &walked->values) || !is_universal(&walked->values, V_ASN1_SET) ||
        !at_end(&cursor)) {
        return 0;
    }
    walked->value_count = 0;
    ber_cursor values = children_of(&walked->values);
    ber_element value;
    while (!at_end(&values)) {
        if (!next_element(&values, &value)) {
            return 0;
        }
        ++walked->value_count;
    }
    return 1;
}

/* Whether the walked attribute is the one that OpenSSL decoded at the same position. */
static int same_attribute(const walked_attribute* walked, const X509_ATTRIBUTE* decoded) {
    const ASN1_OBJECT* object = X509_ATTRIBUTE_get0_object((X509_ATTRIBUTE*)decoded);
    const int count = X509_ATTRIBUTE_count(decoded);
    if (object == NULL || count < 0 || (uint64_t)count != (uint64_t)walked->value_count) {
        return 0;
    }
    const size_t oid_length = OBJ_length(object);
    const unsigned char* oid_bytes = OBJ_get0_data(object);
    return oid_length == walked->oid.content_length &&
           (oid_length == 0 ||
            (oid_bytes != NULL && memcmp(oid_bytes, walked->oid.content, oid_length) == 0));
}

/* Calls the visitor for one attribute; returns its answer (non-zero: stop), or
 * QUORVEL_PKCS7_OUT_OF_MEMORY. The values are the complete elements of the walked SET, byte for
 * byte as the message holds them. */
static int visit_attribute(const walked_attribute* walked, const X509_ATTRIBUTE* decoded,
                           quorvel_pkcs7_attribute_visitor visit, void* context) {
    quorvel_der_value inline_values[INLINE_VALUES];
    quorvel_der_value* values = inline_values;
    if (walked->value_count > INLINE_VALUES) {
        values = (quorvel_der_value*)calloc(walked->value_count, sizeof *values);
        if (values == NULL) {
            return QUORVEL_PKCS7_OUT_OF_MEMORY;
        }
    }
    ber_cursor cursor = children_of(&walked->values);
    ber_element value;
    for (size_t i = 0; i < walked->value_count; ++i) {
        /* Read successfully by walk_attribute already. */
        (void)next_element(&cursor, &value);
        values[i].bytes = value.start;
        values[i].length = value.total_length;
    }

    char buffer[OID_TEXT_BYTES];
    char* allocated = NULL;
    int out_of_memory = 0;
    const char* oid = oid_text(X509_ATTRIBUTE_get0_object((X509_ATTRIBUTE*)decoded), buffer,
                               (int)sizeof buffer, &allocated, &out_of_memory);
    const int answer = out_of_memory ? QUORVEL_PKCS7_OUT_OF_MEMORY
                                     : visit(context, oid, walked->value_count > 0 ? values : NULL,
                                             walked->value_count);
    free(allocated);
    if (values != inline_values) {
        free(values);
    }
    return answer;
}

/* Signer 0's attributes: walked and checked against the decoded list first, then visited, so
 * that a disagreement anywhere visits nothing. Returns 1 when they agree, or
 * QUORVEL_PKCS7_OUT_OF_MEMORY. */
static int visit_attributes(const unsigned char* der, size_t length,
                            const STACK_OF(X509_ATTRIBUTE) * decoded,
                            quorvel_pkcs7_attribute_visitor visit, void* context) {
    ber_element set;
    int present = 0;
    if (!find_unauthenticated_attributes(der, length, &set, &present)) {
        return 0;
    }
    const int decoded_count = sk_X509_ATTRIBUTE_num(decoded);
    const size_t expected = decoded_count > 0 ? (size_t)decoded_count : 0;
    if (!present) {
        return expected == 0;
    }

    ber_cursor cursor = children_of(&set);
    ber_element attribute;
    walked_attribute walked;
    size_t count = 0;
    while (!at_end(&cursor)) {
        if (count >= expected || !next_element(&cursor, &attribute) ||
            !walk_attribute(&attribute, &walked) ||
            !same_attribute(&walked, sk_X509_ATTRIBUTE_value(decoded, (int)count))) {
            return 0;
        }
        ++count;
    }
    if (count != expected) {
        return 0;
    }

    cursor = children_of(&set);
    for (size_t i = 0; i < count; ++i) {
        (void)next_element(&cursor, &attribute);
        (void)walk_attribute(&attribute, &walked);
        const int answer =
            visit_attribute(&walked, sk_X509_ATTRIBUTE_value(decoded, (int)i), visit, context);
        if (answer == QUORVEL_PKCS7_OUT_OF_MEMORY) {
            return QUORVEL_PKCS7_OUT_OF_MEMORY;
        }
        if (answer != 0) {
            break;
        }
    }
    return 1;
}

/* Whether an error queue entry says that memory ran out: a malloc failure from any part of
 * OpenSSL, or a failed decoder callback (ASN1_R_AUX_ERROR). The callbacks of the types in a
 * SignedData message (certificate, CRL, public key, signer) fail only when they cannot get
 * memory: malformed contents end in other reasons or in flags on the decoded object. */
static int says_out_of_memory(unsigned long error) {
    return ERR_GET_REASON(error) == ERR_GET_REASON(ERR_R_MALLOC_FAILURE) ||
           (ERR_GET_LIB(error) == ERR_LIB_ASN1 && ERR_GET_REASON(error) == ASN1_R_AUX_ERROR);
}

/* Whether the entries that a failed decode left in the error queue say that memory ran out.
 * The queue is read (and emptied) only when it was empty before the decode, so that nothing of
 * its earlier content is lost; otherwise only the newest entry can be looked at. */
static int decode_ran_out_of_memory(int queue_was_empty) {
    if (!queue_was_empty) {
        return says_out_of_memory(ERR_peek_last_error());
    }
    int out_of_memory = 0;
    for (unsigned long error = ERR_get_error(); error != 0; error = ERR_get_error()) {
        out_of_memory |= says_out_of_memory(error);
    }
    return out_of_memory;
}

int quorvel_pkcs7_visit_signer_attributes(const unsigned char* der, size_t length,
                                          quorvel_pkcs7_attribute_visitor visit, void* context) {
    if (der == NULL || visit == NULL || length == 0 || length > (size_t)LONG_MAX) {
        return 0;
    }
    /* Without OpenSSL nothing can be said about the message: its set-up ran out of memory. */
    if (quorvel_openssl_start() == NULL) {
        return QUORVEL_PKCS7_OUT_OF_MEMORY;
    }
    /* Without an entry in the queue there is no mark to set; popping then empties the queue,
     * which is how it was found. */
    const int queue_was_empty = ERR_peek_error() == 0;
    ERR_set_mark();
    const unsigned char* cursor = der;
    PKCS7* message = d2i_PKCS7(NULL, &cursor, (long)length);
    int decoded = 0;
    if (message != NULL) {
        STACK_OF(PKCS7_SIGNER_INFO)* signers =
            PKCS7_type_is_signed(message) ? PKCS7_get_signer_info(message) : NULL;
        PKCS7_SIGNER_INFO* signer = signers != NULL && sk_PKCS7_SIGNER_INFO_num(signers) > 0
                                        ? sk_PKCS7_SIGNER_INFO_value(signers, 0)
                                        : NULL;
        if (signer != NULL) {
            decoded = visit_attributes(der, length, signer->unauth_attr, visit, context);
        }
        PKCS7_free(message);
    } else if (decode_ran_out_of_memory(queue_was_empty)) {
        decoded = QUORVEL_PKCS7_OUT_OF_MEMORY;
    }
    ERR_pop_to_mark();
    return decoded;
}
