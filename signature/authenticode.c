/* The Quorvel attribute on the first signer of an Authenticode entry. */
#include <stdint.h>
#include <string.h>

#include "pkcs7_decoder.h"
#include "quorvel_internal.h"

#define AUTHENTICODE_MAX_CONTENT_BYTES UINT64_C(0xFFFFFFFF)

typedef struct attribute_search {
    quorvel_payload candidate;
    int accepted;
    int* attribute_seen;
} attribute_search;

static int search_attribute(void* context, const char* oid, const quorvel_der_value* values,
                            size_t value_count) {
    attribute_search* search = (attribute_search*)context;
    if (oid == NULL || strcmp(oid, QUORVEL_PAYLOAD_OID) != 0) {
        return 0;
    }
    *search->attribute_seen = 1;
    for (size_t i = 0; i < value_count; ++i) {
        if (quorvel_payload_from_value(values[i].bytes, values[i].length, &search->candidate)) {
            search->accepted = 1;
            return 1; /* later values and attributes are not examined */
        }
    }
    return 0;
}

int quorvel_find_authenticode_payload(const unsigned char* content, size_t length,
                                      quorvel_payload* payload, int* attribute_seen) {
    if (content == NULL || payload == NULL || attribute_seen == NULL ||
        (uint64_t)length > AUTHENTICODE_MAX_CONTENT_BYTES) {
        return 0;
    }
    attribute_search search;
    memset(&search, 0, sizeof search);
    search.attribute_seen = attribute_seen;
    const int visited =
        quorvel_pkcs7_visit_signer_attributes(content, length, search_attribute, &search);
    if (visited == QUORVEL_PKCS7_OUT_OF_MEMORY) {
        return QUORVEL_AUTHENTICODE_OUT_OF_MEMORY;
    }
    if (visited == 0) {
        return 0;
    }
    if (!search.accepted) {
        return 0;
    }
    *payload = search.candidate;
    return 1;
}
