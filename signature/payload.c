/* The 352-byte payload: signature, key id and the NUL-terminated domain field. */
#include <string.h>

#include "quorvel_internal.h"

int quorvel_parse_payload(const unsigned char* bytes, size_t length, quorvel_payload* payload) {
    if (bytes == NULL || payload == NULL || length != QUORVEL_PAYLOAD_BYTES) {
        return 0;
    }
    quorvel_payload parsed;
    memcpy(parsed.signature, bytes, QUORVEL_SIGNATURE_BYTES);
    memcpy(parsed.key_id, bytes + QUORVEL_PAYLOAD_KEY_ID_OFFSET, QUORVEL_KEY_ID_BYTES);
    memcpy(parsed.domain, bytes + QUORVEL_PAYLOAD_DOMAIN_OFFSET, QUORVEL_DOMAIN_BYTES);

    const unsigned char* domain = bytes + QUORVEL_PAYLOAD_DOMAIN_OFFSET;
    const unsigned char* terminator = (const unsigned char*)memchr(domain, 0, QUORVEL_DOMAIN_BYTES);
    if (terminator == NULL) {
        return 0;
    }
    const size_t domain_length = (size_t)(terminator - domain);
    if (!quorvel_utf8_valid(domain, domain_length)) {
        return 0;
    }
    for (size_t i = domain_length + 1; i < QUORVEL_DOMAIN_BYTES; ++i) {
        if (domain[i] != 0) {
            return 0;
        }
    }
    parsed.domain_length = domain_length;
    *payload = parsed;
    return 1;
}
