/* Loading a Cryptoki module DLL by its UTF-8 path. */
#include <stdlib.h>
#include <windows.h>

#include "pkcs11_interface.h"

void* quorvel_pkcs11_module_load(const char* path) {
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, NULL, 0);
    if (units <= 0) {
        return NULL;
    }
    wchar_t* wide = (wchar_t*)malloc((size_t)units * sizeof(wchar_t));
    if (wide == NULL) {
        return NULL;
    }
    HMODULE module = NULL;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, units) == units) {
        /* Vendors install a module with the DLLs it needs in its own folder: look there. */
        module = LoadLibraryExW(wide, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    free(wide);
    return (void*)module;
}

CK_C_GetFunctionList quorvel_pkcs11_module_entry(void* module) {
    /* Through the generic function type, which converts to any other without a warning. */
    return (CK_C_GetFunctionList)(void (*)(void))GetProcAddress((HMODULE)module,
                                                                "C_GetFunctionList");
}

void quorvel_pkcs11_module_unload(void* module) { (void)FreeLibrary((HMODULE)module); }
