/* The payload's rules for the signer's domain: the same field limits and UTF-8 rule that
 * libquorvel's payload parser applies. */
#include "quorvel/quorvel_sign.h"
#include "quorvel_internal.h"

int quorvel_sign_check_domain(const char* domain, size_t length) {
    if (domain == NULL || length == 0) {
        return QUORVEL_SIGN_ERR_DOMAIN_EMPTY;
    }
    if (length > QUORVEL_SIGN_DOMAIN_MAX_BYTES) {
        return QUORVEL_SIGN_ERR_DOMAIN_TOO_LONG;
    }
    if (!quorvel_utf8_valid((const unsigned char*)domain, length)) {
        return QUORVEL_SIGN_ERR_DOMAIN_NOT_UTF8;
    }
    return QUORVEL_SIGN_OK;
}
