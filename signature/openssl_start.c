/* OpenSSL's once-only, checked set-up (openssl_start.h), with pthread_once. */
#include "openssl_start.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <pthread.h>

static pthread_once_t g_start_once = PTHREAD_ONCE_INIT;
static EVP_MD* g_sha256; /* written once inside pthread_once, never released */

static void start_openssl(void) {
    /* What OpenSSL's first use would do by itself (the configuration file included), here with
     * its result. The default context is made on its first use too; a failure there is
     * remembered by OpenSSL, and this is the call that reports it instead of handing out the
     * half-made context. */
    if (OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, NULL) != 1 ||
        OSSL_LIB_CTX_get0_global_default() == NULL) {
        return;
    }
    ERR_set_mark();
    g_sha256 = EVP_MD_fetch(NULL, "SHA256", NULL);
    ERR_pop_to_mark(); /* the thread's error queue is left as it was found */
}

const EVP_MD* quorvel_openssl_start(void) {
    return pthread_once(&g_start_once, start_openssl) == 0 ? g_sha256 : NULL;
}
