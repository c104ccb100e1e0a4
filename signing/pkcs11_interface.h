/*
 * The Cryptoki interface as libquorvel-sign uses it: the header of Debian's p11-kit
 * development package, and the seam that loads a module at run time.
 */
#ifndef QUORVEL_PKCS11_INTERFACE_H
#define QUORVEL_PKCS11_INTERFACE_H

/* Windows modules pack Cryptoki's structures to 1 byte (the header packs them too on _WIN32;
 * saying it here keeps the layout right whatever the header's version does). */
#ifdef _WIN32
#pragma pack(push, 1)
#endif
#include <p11-kit/pkcs11.h>
#ifdef _WIN32
#pragma pack(pop)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Windows modules are built where unsigned long has 32 bits, and every structure is packed:
 * a CK_ATTRIBUTE is a 4-byte type, an 8-byte pointer and a 4-byte length, without gaps. */
#ifdef _WIN32
_Static_assert(sizeof(CK_ULONG) == 4, "Cryptoki on Windows has a 32-bit CK_ULONG");
_Static_assert(sizeof(CK_ATTRIBUTE) == 4 + sizeof(void*) + 4, "Cryptoki packs to 1 byte");
#endif

/* The library at the UTF-8 path, loaded with its own symbols kept apart; null when it cannot be
 * loaded. (dlopen natively; LoadLibraryExW on Windows, its dependencies found beside it.) */
void* quorvel_pkcs11_module_load(const char* path);

/* The module's C_GetFunctionList; null when it exports none. */
CK_C_GetFunctionList quorvel_pkcs11_module_entry(void* module);

void quorvel_pkcs11_module_unload(void* module);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_PKCS11_INTERFACE_H */
