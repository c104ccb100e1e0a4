/* The public header used from plain C: the types, the codes and both calls compile and link. */
#include <stdio.h>

#include "quorvel/quorvel.h"

int main(void) {
    quorvel_signature_info info;
    quorvel_verify_result result;
    const unsigned char key[QUORVEL_PUBLIC_KEY_BYTES] = {0};
    const int read = quorvel_read_signature_info(NULL, NULL, &info);
    const int verify = quorvel_verify_file(NULL, NULL, key, &result);
    if (read != QUORVEL_ERR_INVALID_ARGUMENT || verify != QUORVEL_ERR_INVALID_ARGUMENT ||
        sizeof info.domain != QUORVEL_DOMAIN_BYTES || QUORVEL_ERR_KEY_MISMATCH != -7) {
        fputs("FAILED: the C view of the header\n", stderr);
        return 1;
    }
    return 0;
}
