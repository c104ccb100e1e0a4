/* RFC 7512 "pkcs11:" URIs: the attributes that name a token and a key, and the module and PIN
 * source of the query. */
#include <stddef.h>
#include <string.h>

#include "quorvel/quorvel_sign_pkcs11.h"

#define SCHEME "pkcs11:"
#define SCHEME_BYTES (sizeof SCHEME - 1)
#define TYPE_VALUE_MAX_BYTES 16U

typedef enum value_kind { VALUE_TEXT, VALUE_BYTES, VALUE_TYPE, VALUE_IGNORED } value_kind;

/* One attribute: where it may appear, its bit, and where its decoded value goes. */
typedef struct uri_attribute {
    const char* name;
    int in_query;
    unsigned bit;
    value_kind kind;
    size_t offset;   /* of the field in quorvel_sign_pkcs11_uri */
    size_t capacity; /* bytes of value the field holds, without a terminator */
} uri_attribute;

#define TEXT_FIELD(field)                                 \
    VALUE_TEXT, offsetof(quorvel_sign_pkcs11_uri, field), \
        sizeof((quorvel_sign_pkcs11_uri*)0)->field - 1

static const uri_attribute kAttributes[] = {
    {"token", 0, QUORVEL_SIGN_PKCS11_TOKEN, TEXT_FIELD(token)},
    {"manufacturer", 0, QUORVEL_SIGN_PKCS11_MANUFACTURER, TEXT_FIELD(manufacturer)},
    {"serial", 0, QUORVEL_SIGN_PKCS11_SERIAL, TEXT_FIELD(serial)},
    {"model", 0, QUORVEL_SIGN_PKCS11_MODEL, TEXT_FIELD(model)},
    {"object", 0, QUORVEL_SIGN_PKCS11_OBJECT, TEXT_FIELD(object)},
    {"id", 0, QUORVEL_SIGN_PKCS11_ID, VALUE_BYTES, offsetof(quorvel_sign_pkcs11_uri, id),
     QUORVEL_SIGN_PKCS11_ID_BYTES},
    {"type", 0, QUORVEL_SIGN_PKCS11_TYPE, VALUE_TYPE, 0, TYPE_VALUE_MAX_BYTES},
    {"module-path", 1, QUORVEL_SIGN_PKCS11_MODULE_PATH, TEXT_FIELD(module_path)},
    {"pin-source", 1, QUORVEL_SIGN_PKCS11_PIN_SOURCE, TEXT_FIELD(pin_source)},
    {"pin-value", 1, QUORVEL_SIGN_PKCS11_PIN_VALUE, VALUE_IGNORED, 0, 0},
};

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

/* Percent-decodes value[0, length) into out, at most capacity bytes; 0 on a bad escape or when
 * it does not fit. */
static int decode(const char* value, size_t length, unsigned char* out, size_t capacity,
                  size_t* out_length) {
    size_t n = 0;
    for (size_t i = 0; i < length; ++i, ++n) {
        if (n == capacity) {
            return 0;
        }
        if (value[i] != '%') {
            out[n] = (unsigned char)value[i];
            continue;
        }
        const int high = i + 2 < length ? hex_digit(value[i + 1]) : -1;
        const int low = high >= 0 ? hex_digit(value[i + 2]) : -1;
        if (low < 0) {
            return 0;
        }
        out[n] = (unsigned char)(high * 16 + low);
        i += 2;
    }
    *out_length = n;
    return 1;
}

/* One "name=value" segment of the path (in_query 0) or the query (1). */
static int parse_attribute(const char* segment, size_t length, int in_query,
                           quorvel_sign_pkcs11_uri* uri) {
    const char* equals = memchr(segment, '=', length);
    if (equals == NULL) {
        return 0;
    }
    const size_t name_length = (size_t)(equals - segment);
    const char* value = equals + 1;
    const size_t value_length = length - name_length - 1;
    const uri_attribute* attribute = NULL;
    for (size_t i = 0; i < sizeof kAttributes / sizeof kAttributes[0]; ++i) {
        if (kAttributes[i].in_query == in_query && strlen(kAttributes[i].name) == name_length &&
            memcmp(kAttributes[i].name, segment, name_length) == 0) {
            attribute = &kAttributes[i];
            break;
        }
    }
    if (attribute == NULL || (uri->present & attribute->bit) != 0) {
        return 0;
    }
    uri->present |= attribute->bit;
    unsigned char type[TYPE_VALUE_MAX_BYTES];
    unsigned char* field = (unsigned char*)uri + attribute->offset;
    size_t decoded = 0;
    switch (attribute->kind) {
        case VALUE_IGNORED:
            return 1;
        case VALUE_TYPE:
            /* The key pair is found by its private key whichever half the URI names. */
            return decode(value, value_length, type, sizeof type, &decoded) &&
                   ((decoded == 7 && memcmp(type, "private", 7) == 0) ||
                    (decoded == 6 && memcmp(type, "public", 6) == 0));
        case VALUE_BYTES:
            return decode(value, value_length, field, attribute->capacity, &uri->id_length);
        case VALUE_TEXT:
            /* The field is zero, so the terminator is in place. */
            return decode(value, value_length, field, attribute->capacity, &decoded) &&
                   memchr(field, '\0', decoded) == NULL;
    }
    return 0;
}

/* The segments of text[0, length) between separators, each parsed as an attribute. */
static int parse_component(const char* text, size_t length, char separator, int in_query,
                           quorvel_sign_pkcs11_uri* uri) {
    if (length == 0) {
        return 1;
    }
    const char* end = text + length;
    for (const char* segment = text;;) {
        const char* next = memchr(segment, separator, (size_t)(end - segment));
        const char* segment_end = next != NULL ? next : end;
        if (!parse_attribute(segment, (size_t)(segment_end - segment), in_query, uri)) {
            return 0;
        }
        if (next == NULL) {
            return 1;
        }
        segment = next + 1;
    }
}

int quorvel_sign_pkcs11_parse_uri(const char* text, size_t length, quorvel_sign_pkcs11_uri* uri) {
    if (uri != NULL) {
        memset(uri, 0, sizeof *uri);
    }
    if (text == NULL || uri == NULL) {
        return QUORVEL_SIGN_ERR_INVALID_ARGUMENT;
    }
    if (length < SCHEME_BYTES) {
        return QUORVEL_SIGN_ERR_PKCS11_URI;
    }
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = (unsigned char)text[i];
        const char lower = (char)(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
        if (c < 0x20 || c == 0x7F || (i < SCHEME_BYTES && lower != SCHEME[i])) {
            return QUORVEL_SIGN_ERR_PKCS11_URI;
        }
    }
    const char* path = text + SCHEME_BYTES;
    const char* end = text + length;
    const char* query = memchr(path, '?', (size_t)(end - path));
    const char* path_end = query != NULL ? query : end;
    if (!parse_component(path, (size_t)(path_end - path), ';', 0, uri) ||
        (query != NULL && !parse_component(query + 1, (size_t)(end - query - 1), '&', 1, uri))) {
        memset(uri, 0, sizeof *uri);
        return QUORVEL_SIGN_ERR_PKCS11_URI;
    }
    return (uri->present & QUORVEL_SIGN_PKCS11_PIN_VALUE) != 0 ? QUORVEL_SIGN_ERR_PKCS11_PIN_IN_URI
                                                               : QUORVEL_SIGN_OK;
}
