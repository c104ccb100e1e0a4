/*
 * OpenSSL's set-up for this process, made once and checked: its own initialisation, its default
 * library context and the fetch of SHA-256. A failed allocation inside OpenSSL's lazy set-up can
 * leave it half made (the default context without its lock), and its next call then crashes
 * instead of failing. So the set-up is made explicitly, its result is remembered, and after a
 * failure no OpenSSL function is called again in the process: every native user of OpenSSL
 * asks here first. This is the only process-wide state of libquorvel, because OpenSSL's own
 * state is process-wide. Internal; native builds only.
 */
#ifndef QUORVEL_OPENSSL_START_H
#define QUORVEL_OPENSSL_START_H

#include <openssl/evp.h>

#ifdef __cplusplus
extern "C" {
#endif

/* SHA-256 as fetched at the set-up, valid for the life of the process; null when the set-up
 * failed, and then no OpenSSL function may be called. Thread-safe: concurrent first callers
 * wait until the set-up has run. */
const EVP_MD* quorvel_openssl_start(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_OPENSSL_START_H */
