/*
 * libquorvel-sign: a signing key kept in a PKCS#11 token (a hardware token, an HSM, SoftHSM).
 *
 * The token fills the quorvel_signer seam of quorvel_sign.h: it holds the Ed25519 private key
 * and makes the pure Ed25519 signature of the 32-byte image digest (CKM_EDDSA) inside the
 * token. The key is named by an RFC 7512 "pkcs11:" URI; the module (the vendor's Cryptoki
 * library) is loaded at run time from a path. Flat C like the rest of the library: caller-owned
 * records, int statuses, nothing printed, no global state. The PIN comes from the caller as
 * bytes; the library never reads it from the environment or a file, and wipes its copies.
 */
#ifndef QUORVEL_SIGN_PKCS11_H
#define QUORVEL_SIGN_PKCS11_H

#include <stddef.h>

#include "quorvel/quorvel_sign.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes of the token, -50 to -69 (besides QUORVEL_SIGN_OK and
 * QUORVEL_SIGN_ERR_INVALID_ARGUMENT). */
#define QUORVEL_SIGN_ERR_PKCS11_URI (-50)           /* malformed, or an attribute not read here */
#define QUORVEL_SIGN_ERR_PKCS11_PIN_IN_URI (-51)    /* a pin-value: never taken from a URI */
#define QUORVEL_SIGN_ERR_PKCS11_NO_MODULE (-52)     /* no module path, or it cannot be loaded */
#define QUORVEL_SIGN_ERR_PKCS11_NOT_MODULE (-53)    /* loaded, but not a working PKCS#11 module */
#define QUORVEL_SIGN_ERR_PKCS11_NO_TOKEN (-54)      /* no present token matches the URI */
#define QUORVEL_SIGN_ERR_PKCS11_NO_KEY (-55)        /* no private key matches the URI */
#define QUORVEL_SIGN_ERR_PKCS11_AMBIGUOUS (-56)     /* more than one token or key matches */
#define QUORVEL_SIGN_ERR_PKCS11_NOT_ED25519 (-57)   /* the key is of another type or curve */
#define QUORVEL_SIGN_ERR_PKCS11_NO_PUBLIC_KEY (-58) /* no readable public key beside it */
#define QUORVEL_SIGN_ERR_PKCS11_PIN_NEEDED (-59)    /* the token wants a login, no PIN given */
#define QUORVEL_SIGN_ERR_PKCS11_PIN_INCORRECT (-60)
#define QUORVEL_SIGN_ERR_PKCS11_PIN_LOCKED (-61)
#define QUORVEL_SIGN_ERR_PKCS11_SIGN_REFUSED (-62) /* the token would not make the signature */
#define QUORVEL_SIGN_ERR_PKCS11_KEY_EXISTS (-63)   /* keygen: the label or id is taken */
#define QUORVEL_SIGN_ERR_PKCS11_TOKEN (-64)        /* any other failure; see session.result */

/* Limits of the URI's values, in bytes without a terminator. A token's label and manufacturer
 * and its model and serial number are fixed-size fields of the token's description. */
#define QUORVEL_SIGN_PKCS11_TOKEN_FIELD_BYTES 32U
#define QUORVEL_SIGN_PKCS11_MODEL_FIELD_BYTES 16U
#define QUORVEL_SIGN_PKCS11_LABEL_BYTES 255U
#define QUORVEL_SIGN_PKCS11_ID_BYTES 255U
#define QUORVEL_SIGN_PKCS11_PATH_BYTES 4095U
#define QUORVEL_SIGN_PKCS11_PIN_MAX_BYTES 255U
/* The id keygen gives a key when the URI names none: this many random bytes. */
#define QUORVEL_SIGN_PKCS11_NEW_ID_BYTES 16U

/* The attributes a URI gives: bits of quorvel_sign_pkcs11_uri.present. */
#define QUORVEL_SIGN_PKCS11_TOKEN 0x001U
#define QUORVEL_SIGN_PKCS11_MANUFACTURER 0x002U
#define QUORVEL_SIGN_PKCS11_SERIAL 0x004U
#define QUORVEL_SIGN_PKCS11_MODEL 0x008U
#define QUORVEL_SIGN_PKCS11_OBJECT 0x010U
#define QUORVEL_SIGN_PKCS11_ID 0x020U
#define QUORVEL_SIGN_PKCS11_TYPE 0x040U
#define QUORVEL_SIGN_PKCS11_MODULE_PATH 0x080U
#define QUORVEL_SIGN_PKCS11_PIN_SOURCE 0x100U
#define QUORVEL_SIGN_PKCS11_PIN_VALUE 0x200U /* reported; its value is never kept */

/* A parsed URI: the decoded values, each text NUL-terminated. */
typedef struct quorvel_sign_pkcs11_uri {
    unsigned present;
    char token[QUORVEL_SIGN_PKCS11_TOKEN_FIELD_BYTES + 1];        /* the token's label */
    char manufacturer[QUORVEL_SIGN_PKCS11_TOKEN_FIELD_BYTES + 1]; /* its manufacturer */
    char serial[QUORVEL_SIGN_PKCS11_MODEL_FIELD_BYTES + 1];
    char model[QUORVEL_SIGN_PKCS11_MODEL_FIELD_BYTES + 1];
    char object[QUORVEL_SIGN_PKCS11_LABEL_BYTES + 1]; /* the key's label */
    unsigned char id[QUORVEL_SIGN_PKCS11_ID_BYTES];   /* the key's id, any bytes */
    size_t id_length;
    char module_path[QUORVEL_SIGN_PKCS11_PATH_BYTES + 1];
    char pin_source[QUORVEL_SIGN_PKCS11_PATH_BYTES + 1];
} quorvel_sign_pkcs11_uri;

/* An open session on a token. The fields are the library's; the caller only owns the record,
 * reads public_key and result, and hands it back to the functions below. */
typedef struct quorvel_sign_pkcs11_session {
    void* module;         /* the loaded library */
    void* functions;      /* its function list */
    unsigned long handle; /* the session; 0: none */
    unsigned long key;    /* the private key; 0: none found yet */
    int finalize;         /* this session initialised the module, and finalizes it on close */
    int logged_in;
    unsigned long result; /* the module's return value behind the last failure, or 0 */
    unsigned char public_key[QUORVEL_SIGN_PUBLIC_KEY_BYTES]; /* once a key is found */
} quorvel_sign_pkcs11_session;

/*
 * Parses the URI text[0, length). The scheme is "pkcs11:" in any case; the path attributes are
 * token, manufacturer, serial, model, object, id and type (which must be private or public:
 * both name the key pair), separated by ';'; the query attributes after '?' are module-path,
 * pin-source and pin-value, separated by '&'. Values are percent-decoded; a text value may not
 * decode to a NUL byte. Any other attribute, one given twice, a segment without '=', a control
 * character, a bad escape or a value over its limit is QUORVEL_SIGN_ERR_PKCS11_URI: an ignored
 * attribute could let the URI select another key than the one its writer meant. A URI with a
 * pin-value is parsed in full, then refused with QUORVEL_SIGN_ERR_PKCS11_PIN_IN_URI. uri is
 * zeroed first.
 */
int quorvel_sign_pkcs11_parse_uri(const char* text, size_t length, quorvel_sign_pkcs11_uri* uri);

/*
 * Loads the module (module_path, or when that is null the URI's module-path), initialises it,
 * finds the one present token that matches the URI's token attributes, opens a session and,
 * when pin is not null, logs in as the user with pin[0, pin_length). A token that needs a
 * login without a PIN given is QUORVEL_SIGN_ERR_PKCS11_PIN_NEEDED. session is zeroed first; on
 * failure everything is released again and session->result tells the module's return value.
 */
int quorvel_sign_pkcs11_open(quorvel_sign_pkcs11_session* session,
                             const quorvel_sign_pkcs11_uri* uri, const char* module_path,
                             const unsigned char* pin, size_t pin_length);

/* Finds the one private key that the URI's object and id name, checks that it is an Ed25519
 * key, and reads its public key (from the public key object with the private key's id, or
 * with the URI's object and id when it has none) into session->public_key. */
int quorvel_sign_pkcs11_find_key(quorvel_sign_pkcs11_session* session,
                                 const quorvel_sign_pkcs11_uri* uri);

/* Makes a new Ed25519 key pair on the token, labelled with the URI's object (required) and
 * given the URI's id, or QUORVEL_SIGN_PKCS11_NEW_ID_BYTES random bytes written into uri when
 * it names none. The private key is a token object, private, sensitive and never extractable.
 * A key that already has the label or the id is QUORVEL_SIGN_ERR_PKCS11_KEY_EXISTS. Then the
 * session holds the new key as after quorvel_sign_pkcs11_find_key. */
int quorvel_sign_pkcs11_generate_key(quorvel_sign_pkcs11_session* session,
                                     quorvel_sign_pkcs11_uri* uri);

/* The seam over the session's key: signer->sign makes CKM_EDDSA signatures inside the token
 * (a refusal is QUORVEL_SIGN_ERR_PKCS11_SIGN_REFUSED). One session serves any number of
 * signatures, one at a time; it must stay open while the signer is used. */
int quorvel_sign_pkcs11_signer(quorvel_sign_pkcs11_session* session, quorvel_signer* signer);

/* Logs out, closes the session, finalizes and unloads the module; then the record is zero.
 * Harmless on a zeroed or already closed record. */
void quorvel_sign_pkcs11_close(quorvel_sign_pkcs11_session* session);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_SIGN_PKCS11_H */
