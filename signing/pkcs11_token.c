/* A signing key inside a PKCS#11 token: the module and its token, the session and the login,
 * the key pair and its checks, the signature, and a key pair made on the token. */
#include <sodium.h>
#include <string.h>

#include "pkcs11_interface.h"
#include "quorvel/quorvel_sign_pkcs11.h"

#define MAX_SLOTS 64U
#define FIND_AT_MOST 2U /* enough to tell that a name is not unique */
#define EC_PARAMS_MAX_BYTES 32U
#define EC_POINT_MAX_BYTES 64U

/* CKA_EC_PARAMS that name Ed25519: the OID 1.3.101.112, or the printable string
 * "edwards25519". */
static const unsigned char kEd25519Oid[] = {0x06, 0x03, 0x2B, 0x65, 0x70};
static const unsigned char kEd25519Name[] = {0x13, 0x0C, 'e', 'd', 'w', 'a', 'r',
                                             'd',  's',  '2', '5', '5', '1', '9'};
/* CKA_EC_POINT as a DER OCTET STRING of 32 bytes; some modules give the bare 32 bytes. */
static const unsigned char kOctetString32[] = {0x04, 0x20};

static CK_FUNCTION_LIST_PTR functions(const quorvel_sign_pkcs11_session* session) {
    return (CK_FUNCTION_LIST_PTR)session->functions;
}

/* status, with the module's return value kept for the caller's message. */
static int failed(quorvel_sign_pkcs11_session* session, CK_RV rv, int status) {
    session->result = rv;
    return status;
}

static int load_module(quorvel_sign_pkcs11_session* session, const char* path) {
    session->module = quorvel_pkcs11_module_load(path);
    if (session->module == NULL) {
        return QUORVEL_SIGN_ERR_PKCS11_NO_MODULE;
    }
    const CK_C_GetFunctionList entry = quorvel_pkcs11_module_entry(session->module);
    if (entry == NULL) {
        return QUORVEL_SIGN_ERR_PKCS11_NOT_MODULE;
    }
    CK_FUNCTION_LIST_PTR list = NULL;
    CK_RV rv = entry(&list);
    if (rv != CKR_OK || list == NULL) {
        return failed(session, rv, QUORVEL_SIGN_ERR_PKCS11_NOT_MODULE);
    }
    session->functions = list;
    /* The module makes its own locks with the system's primitives: signing is single-threaded
     * here, but a caller may use other modules on other threads. */
    CK_C_INITIALIZE_ARGS arguments;
    memset(&arguments, 0, sizeof arguments);
    arguments.flags = CKF_OS_LOCKING_OK;
    rv = list->C_Initialize(&arguments);
    if (rv == CKR_OK) {
        session->finalize = 1;
    } else if (rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) { /* then it is not ours to finalize */
        return failed(session, rv, QUORVEL_SIGN_ERR_PKCS11_NOT_MODULE);
    }
    return QUORVEL_SIGN_OK;
}

/* Whether the space-padded field[0, size) holds value. */
static int field_matches(const unsigned char* field, size_t size, const char* value) {
    const size_t length = strlen(value);
    if (length > size || memcmp(field, value, length) != 0) {
        return 0;
    }
    for (size_t i = length; i < size; ++i) {
        if (field[i] != ' ') {
            return 0;
        }
    }
    return 1;
}

static int token_matches(const CK_TOKEN_INFO* info, const quorvel_sign_pkcs11_uri* uri) {
    const unsigned present = uri->present;
    return (info->flags & CKF_TOKEN_INITIALIZED) != 0 &&
           ((present & QUORVEL_SIGN_PKCS11_TOKEN) == 0 ||
            field_matches(info->label, sizeof info->label, uri->token)) &&
           ((present & QUORVEL_SIGN_PKCS11_MANUFACTURER) == 0 ||
            field_matches(info->manufacturerID, sizeof info->manufacturerID, uri->manufacturer)) &&
           ((present & QUORVEL_SIGN_PKCS11_MODEL) == 0 ||
            field_matches(info->model, sizeof info->model, uri->model)) &&
           ((present & QUORVEL_SIGN_PKCS11_SERIAL) == 0 ||
            field_matches(info->serialNumber, sizeof info->serialNumber, uri->serial));
}

/* The one present, initialised token that the URI's token attributes match. */
static int find_token(quorvel_sign_pkcs11_session* session, const quorvel_sign_pkcs11_uri* uri,
                      CK_SLOT_ID* slot, CK_FLAGS* flags) {
    CK_SLOT_ID slots[MAX_SLOTS];
    CK_ULONG count = MAX_SLOTS;
    const CK_RV rv = functions(session)->C_GetSlotList(CK_TRUE, slots, &count);
    if (rv != CKR_OK) {
        return failed(session, rv, QUORVEL_SIGN_ERR_PKCS11_TOKEN);
    }
    size_t matches = 0;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_TOKEN_INFO info;
        if (functions(session)->C_GetTokenInfo(slots[i], &info) == CKR_OK &&
            token_matches(&info, uri)) {
            *slot = slots[i];
            *flags = info.flags;
            ++matches;
        }
    }
    return matches == 0  ? QUORVEL_SIGN_ERR_PKCS11_NO_TOKEN
           : matches > 1 ? QUORVEL_SIGN_ERR_PKCS11_AMBIGUOUS
                         : QUORVEL_SIGN_OK;
}

/* A user login with the PIN; a PIN pad (protected authentication path) takes none. The PIN is
 * copied because the interface wants it writable; the copy is wiped. */
static int log_in(quorvel_sign_pkcs11_session* session, CK_FLAGS flags, const unsigned char* pin,
                  size_t pin_length) {
    if (pin == NULL && (flags & CKF_LOGIN_REQUIRED) == 0) {
        return QUORVEL_SIGN_OK;
    }
    if (pin == NULL && (flags & CKF_PROTECTED_AUTHENTICATION_PATH) == 0) {
        return QUORVEL_SIGN_ERR_PKCS11_PIN_NEEDED;
    }
    if (pin_length > QUORVEL_SIGN_PKCS11_PIN_MAX_BYTES) { /* spare the token's retry counter */
        return QUORVEL_SIGN_ERR_PKCS11_PIN_INCORRECT;
    }
    CK_UTF8CHAR copy[QUORVEL_SIGN_PKCS11_PIN_MAX_BYTES];
    if (pin != NULL) {
        memcpy(copy, pin, pin_length);
    }
    const CK_RV rv = functions(session)->C_Login(session->handle, CKU_USER,
                                                 pin != NULL ? copy : NULL, (CK_ULONG)pin_length);
    sodium_memzero(copy, sizeof copy);
    switch (rv) {
        case CKR_OK:
            session->logged_in = 1;
            return QUORVEL_SIGN_OK;
        case CKR_USER_ALREADY_LOGGED_IN: /* by another session of this process: not ours */
            return QUORVEL_SIGN_OK;
        case CKR_PIN_INCORRECT:
        case CKR_PIN_INVALID:
        case CKR_PIN_LEN_RANGE:
            return failed(session, rv, QUORVEL_SIGN_ERR_PKCS11_PIN_INCORRECT);
        case CKR_PIN_LOCKED:
            return failed(session, rv, QUORVEL_SIGN_ERR_PKCS11_PIN_LOCKED);
        default:
            return failed(session, rv, QUORVEL_SIGN_ERR_PKCS11_TOKEN);
    }
}

/* Everything the session holds, released in reverse order; result stays. */
static void release(quorvel_sign_pkcs11_session* session) {
    if (session->logged_in) {
        (void)functions(session)->C_Logout(session->handle);
    }
    if (session->handle != CK_INVALID_HANDLE) {
        (void)functions(session)->C_CloseSession(session->handle);
    }
    if (session->finalize) {
        (void)functions(session)->C_Finalize(NULL);
    }
    if (session->module != NULL) {
        quorvel_pkcs11_module_unload(session->module);
    }
    const unsigned long result = session->result;
    memset(session, 0, sizeof *session);
    session->result = result;
}

int quorvel_sign_pkcs11_open(quorvel_sign_pkcs11_session* session,
                             const quorvel_sign_pkcs11_uri* uri, const char* module_path,
                             const unsigned char* pin, size_t pin_length) {
    if (session == NULL || uri == NULL) {
        return QUORVEL_SIGN_ERR_INVALID_ARGUMENT;
    }
    memset(session, 0, sizeof *session);
    const char* path = module_path != NULL ? module_path : uri->module_path;
    if (path[0] == '\0') {
        return QUORVEL_SIGN_ERR_PKCS11_NO_MODULE;
    }
    int status = load_module(session, path);
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    if (status == QUORVEL_SIGN_OK) {
        status = find_token(session, uri, &slot, &flags);
    }
    if (status == QUORVEL_SIGN_OK) {
        /* Read-write where the token allows it, for keygen's new objects. */
        const CK_FLAGS mode =
            CKF_SERIAL_SESSION | ((flags & CKF_WRITE_PROTECTED) != 0 ? 0 : CKF_RW_SESSION);
        CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
        const CK_RV rv = functions(session)->C_OpenSession(slot, mode, NULL, NULL, &handle);
        if (rv == CKR_OK) {
            session->handle = handle;
        } else {
            status = failed(session, rv, QUORVEL_SIGN_ERR_PKCS11_TOKEN);
        }
    }
    if (status == QUORVEL_SIGN_OK) {
        status = log_in(session, flags, pin, pin_length);
    }
    if (status != QUORVEL_SIGN_OK) {
        release(session);
    }
    return status;
}

/* A search template: the class, and the label and the id when given. */
static CK_ULONG key_template(CK_ATTRIBUTE template_[3], CK_OBJECT_CLASS* object_class,
                             const char* label, const unsigned char* id, size_t id_length) {
    CK_ULONG count = 0;
    template_[count++] = (CK_ATTRIBUTE){CKA_CLASS, object_class, sizeof *object_class};
    if (label != NULL) {
        template_[count++] = (CK_ATTRIBUTE){CKA_LABEL, (void*)label, (CK_ULONG)strlen(label)};
    }
    if (id != NULL) {
        template_[count++] = (CK_ATTRIBUTE){CKA_ID, (void*)id, (CK_ULONG)id_length};
    }
    return count;
}

/* The objects that match the template, at most FIND_AT_MOST of them. */
static int find_objects(quorvel_sign_pkcs11_session* session, CK_ATTRIBUTE* template_,
                        CK_ULONG template_count, CK_OBJECT_HANDLE found[FIND_AT_MOST],
                        CK_ULONG* count) {
    *count = 0;
    CK_RV rv = functions(session)->C_FindObjectsInit(session->handle, template_, template_count);
    if (rv == CKR_OK) {
        rv = functions(session)->C_FindObjects(session->handle, found, FIND_AT_MOST, count);
        const CK_RV final = functions(session)->C_FindObjectsFinal(session->handle);
        rv = rv == CKR_OK ? final : rv;
    }
    return rv == CKR_OK ? QUORVEL_SIGN_OK : failed(session, rv, QUORVEL_SIGN_ERR_PKCS11_TOKEN);
}

/* One attribute into value[0, capacity); its length in *length. */
static CK_RV read_attribute(const quorvel_sign_pkcs11_session* session, CK_OBJECT_HANDLE object,
                            CK_ATTRIBUTE_TYPE type, void* value, CK_ULONG capacity,
                            CK_ULONG* length) {
    CK_ATTRIBUTE attribute = {type, value, capacity};
    const CK_RV rv =
        functions(session)->C_GetAttributeValue(session->handle, object, &attribute, 1);
    *length = attribute.ulValueLen;
    return rv;
}

/* The public half: an Ed25519 curve, and the point in either of the forms modules give. */
static int read_public_key(quorvel_sign_pkcs11_session* session, CK_OBJECT_HANDLE object) {
    unsigned char params[EC_PARAMS_MAX_BYTES];
    unsigned char point[EC_POINT_MAX_BYTES];
    CK_ULONG params_length = 0;
    CK_ULONG point_length = 0;
    CK_RV rv =
        read_attribute(session, object, CKA_EC_PARAMS, params, sizeof params, &params_length);
    if (rv == CKR_OK) {
        rv = read_attribute(session, object, CKA_EC_POINT, point, sizeof point, &point_length);
    }
    const int named = rv == CKR_OK && ((params_length == sizeof kEd25519Oid &&
                                        memcmp(params, kEd25519Oid, sizeof kEd25519Oid) == 0) ||
                                       (params_length == sizeof kEd25519Name &&
                                        memcmp(params, kEd25519Name, sizeof kEd25519Name) == 0));
    const unsigned char* key = NULL;
    if (named && point_length == QUORVEL_SIGN_PUBLIC_KEY_BYTES) {
        key = point;
    } else if (named && point_length == sizeof kOctetString32 + QUORVEL_SIGN_PUBLIC_KEY_BYTES &&
               memcmp(point, kOctetString32, sizeof kOctetString32) == 0) {
        key = point + sizeof kOctetString32;
    }
    if (key == NULL) {
        return failed(session, rv, QUORVEL_SIGN_ERR_PKCS11_NOT_ED25519);
    }
    memcpy(session->public_key, key, QUORVEL_SIGN_PUBLIC_KEY_BYTES);
    return QUORVEL_SIGN_OK;
}

/* The private key named by label and id (each null when not given), and its public key. */
static int find_pair(quorvel_sign_pkcs11_session* session, const char* label,
                     const unsigned char* id, size_t id_length) {
    CK_OBJECT_CLASS object_class = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE template_[3];
    CK_OBJECT_HANDLE found[FIND_AT_MOST];
    CK_ULONG count = 0;
    int status =
        find_objects(session, template_,
                     key_template(template_, &object_class, label, id, id_length), found, &count);
    if (status != QUORVEL_SIGN_OK || count != 1) {
        return status != QUORVEL_SIGN_OK ? status
               : count == 0              ? QUORVEL_SIGN_ERR_PKCS11_NO_KEY
                                         : QUORVEL_SIGN_ERR_PKCS11_AMBIGUOUS;
    }
    const CK_OBJECT_HANDLE private_key = found[0];
    CK_KEY_TYPE type = 0;
    CK_ULONG length = 0;
    CK_RV rv = read_attribute(session, private_key, CKA_KEY_TYPE, &type, sizeof type, &length);
    if (rv != CKR_OK || type != CKK_EC_EDWARDS) {
        return failed(session, rv, QUORVEL_SIGN_ERR_PKCS11_NOT_ED25519);
    }
    /* The public key object shares the private key's id (the link between the halves that
     * every tool keeps); a key without an id is paired by the URI's names. */
    unsigned char key_id[QUORVEL_SIGN_PKCS11_ID_BYTES];
    rv = read_attribute(session, private_key, CKA_ID, key_id, sizeof key_id, &length);
    object_class = CKO_PUBLIC_KEY;
    const CK_ULONG template_count =
        rv == CKR_OK && length > 0 ? key_template(template_, &object_class, NULL, key_id, length)
                                   : key_template(template_, &object_class, label, id, id_length);
    status = find_objects(session, template_, template_count, found, &count);
    if (status != QUORVEL_SIGN_OK || count != 1) {
        return status != QUORVEL_SIGN_OK ? status
               : count == 0              ? QUORVEL_SIGN_ERR_PKCS11_NO_PUBLIC_KEY
                                         : QUORVEL_SIGN_ERR_PKCS11_AMBIGUOUS;
    }
    status = read_public_key(session, found[0]);
    if (status == QUORVEL_SIGN_OK) {
        session->key = private_key;
    }
    return status;
}

int quorvel_sign_pkcs11_find_key(quorvel_sign_pkcs11_session* session,
                                 const quorvel_sign_pkcs11_uri* uri) {
    if (session == NULL || uri == NULL || session->handle == CK_INVALID_HANDLE) {
        return QUORVEL_SIGN_ERR_INVALID_ARGUMENT;
    }
    session->key = CK_INVALID_HANDLE;
    return find_pair(session, (uri->present & QUORVEL_SIGN_PKCS11_OBJECT) ? uri->object : NULL,
                     (uri->present & QUORVEL_SIGN_PKCS11_ID) ? uri->id : NULL, uri->id_length);
}

/* Whether any object of the token carries the attribute's value. */
static int taken(quorvel_sign_pkcs11_session* session, CK_ATTRIBUTE attribute, int* status) {
    CK_OBJECT_HANDLE found[FIND_AT_MOST];
    CK_ULONG count = 0;
    *status = find_objects(session, &attribute, 1, found, &count);
    return *status != QUORVEL_SIGN_OK || count > 0;
}

int quorvel_sign_pkcs11_generate_key(quorvel_sign_pkcs11_session* session,
                                     quorvel_sign_pkcs11_uri* uri) {
    if (session == NULL || uri == NULL || session->handle == CK_INVALID_HANDLE ||
        (uri->present & QUORVEL_SIGN_PKCS11_OBJECT) == 0 || uri->object[0] == '\0') {
        return QUORVEL_SIGN_ERR_INVALID_ARGUMENT;
    }
    session->key = CK_INVALID_HANDLE;
    const CK_ATTRIBUTE label = {CKA_LABEL, uri->object, (CK_ULONG)strlen(uri->object)};
    int status = QUORVEL_SIGN_OK;
    if (taken(session, label, &status)) {
        return status != QUORVEL_SIGN_OK ? status : QUORVEL_SIGN_ERR_PKCS11_KEY_EXISTS;
    }
    if ((uri->present & QUORVEL_SIGN_PKCS11_ID) == 0) {
        randombytes_buf(uri->id, QUORVEL_SIGN_PKCS11_NEW_ID_BYTES);
        uri->id_length = QUORVEL_SIGN_PKCS11_NEW_ID_BYTES;
        uri->present |= QUORVEL_SIGN_PKCS11_ID;
    }
    const CK_ATTRIBUTE id = {CKA_ID, uri->id, (CK_ULONG)uri->id_length};
    if (taken(session, id, &status)) {
        return status != QUORVEL_SIGN_OK ? status : QUORVEL_SIGN_ERR_PKCS11_KEY_EXISTS;
    }
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
    /* A signing key and nothing else: the other uses are refused explicitly, since tokens
     * differ in what they allow when a template says nothing. */
    CK_ATTRIBUTE public_template[] = {
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_VERIFY, &yes, sizeof yes},
        {CKA_ENCRYPT, &no, sizeof no},
        {CKA_WRAP, &no, sizeof no},
        {CKA_DERIVE, &no, sizeof no},
        {CKA_EC_PARAMS, (void*)kEd25519Oid, sizeof kEd25519Oid},
        label,
        id,
    };
    CK_ATTRIBUTE private_template[] = {
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_SENSITIVE, &yes, sizeof yes},
        {CKA_EXTRACTABLE, &no, sizeof no},
        {CKA_SIGN, &yes, sizeof yes},
        {CKA_DECRYPT, &no, sizeof no},
        {CKA_UNWRAP, &no, sizeof no},
        {CKA_DERIVE, &no, sizeof no},
        label,
        id,
    };
    CK_MECHANISM mechanism = {CKM_EC_EDWARDS_KEY_PAIR_GEN, NULL, 0};
    CK_OBJECT_HANDLE public_key = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE private_key = CK_INVALID_HANDLE;
    const CK_RV rv = functions(session)->C_GenerateKeyPair(
        session->handle, &mechanism, public_template,
        sizeof public_template / sizeof public_template[0], private_template,
        sizeof private_template / sizeof private_template[0], &public_key, &private_key);
    if (rv != CKR_OK) {
        return failed(session, rv, QUORVEL_SIGN_ERR_PKCS11_TOKEN);
    }
    return find_pair(session, uri->object, uri->id, uri->id_length);
}

/* The seam's callback: one CKM_EDDSA signature of the 32-byte message inside the token. */
static int sign_message(void* context, const unsigned char message[QUORVEL_SIGN_MESSAGE_BYTES],
                        unsigned char signature[QUORVEL_SIGN_SIGNATURE_BYTES]) {
    quorvel_sign_pkcs11_session* session = (quorvel_sign_pkcs11_session*)context;
    CK_MECHANISM mechanism = {CKM_EDDSA, NULL, 0}; /* pure Ed25519: no parameters */
    CK_BYTE data[QUORVEL_SIGN_MESSAGE_BYTES];
    memcpy(data, message, sizeof data);
    CK_ULONG length = QUORVEL_SIGN_SIGNATURE_BYTES;
    CK_RV rv = functions(session)->C_SignInit(session->handle, &mechanism, session->key);
    if (rv == CKR_OK) {
        rv = functions(session)->C_Sign(session->handle, data, sizeof data, signature, &length);
    }
    if (rv != CKR_OK || length != QUORVEL_SIGN_SIGNATURE_BYTES) {
        return failed(session, rv, QUORVEL_SIGN_ERR_PKCS11_SIGN_REFUSED);
    }
    return QUORVEL_SIGN_OK;
}

int quorvel_sign_pkcs11_signer(quorvel_sign_pkcs11_session* session, quorvel_signer* signer) {
    if (session == NULL || signer == NULL || session->key == CK_INVALID_HANDLE) {
        return QUORVEL_SIGN_ERR_INVALID_ARGUMENT;
    }
    memcpy(signer->public_key, session->public_key, sizeof signer->public_key);
    signer->sign = sign_message;
    signer->context = session;
    return QUORVEL_SIGN_OK;
}

void quorvel_sign_pkcs11_close(quorvel_sign_pkcs11_session* session) {
    if (session != NULL) {
        release(session);
        session->result = 0;
    }
}
