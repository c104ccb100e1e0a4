// Self-registration: the class key and the property sheet handler entries for .exe and .dll,
// all below HKEY_LOCAL_MACHINE\Software\Classes.
#pragma once

#include <windows.h>

// Writes one REG_SZ value (valueName null: the default value) below HKEY_LOCAL_MACHINE, with
// the terminating zero stored.
HRESULT SetRegistryString(const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* data);
HRESULT RegisterClassKey();
HRESULT RegisterAssociations();
HRESULT UnregisterAssociations();
HRESULT UnregisterClassKey();
