/* Loading a Cryptoki module with the dynamic linker. */
#include <dlfcn.h>

#include "pkcs11_interface.h"

void* quorvel_pkcs11_module_load(const char* path) {
    /* RTLD_LOCAL: a module's symbols never satisfy another library's. */
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

CK_C_GetFunctionList quorvel_pkcs11_module_entry(void* module) {
    /* POSIX guarantees that a function's address survives the trip through void*. */
    return (CK_C_GetFunctionList)dlsym(module, "C_GetFunctionList");
}

void quorvel_pkcs11_module_unload(void* module) { (void)dlclose(module); }
