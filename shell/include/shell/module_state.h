// Module-wide state of quorvel-shell-integration.dll: its instance handle and the two counts
// that decide whether COM may unload it. The counts change only by interlocked operations.
#pragma once

#include <windows.h>

// The module's own instance handle, stored by DllMain at process attach. The resource instance
// of the page and the licences dialog, and the module whose path registration writes.
extern HINSTANCE g_moduleInstance;
// Live QuorvelPropertySheetHandler objects.
extern volatile LONG g_objectCount;
// Live QuorvelClassFactory objects plus outstanding LockServer locks.
extern volatile LONG g_lockCount;

// {6B2D91C4-3E07-4A5F-8C1D-27E9F0A4B318}
inline constexpr CLSID CLSID_QuorvelPropertySheetHandler = {
    0x6B2D91C4, 0x3E07, 0x4A5F, {0x8C, 0x1D, 0x27, 0xE9, 0xF0, 0xA4, 0xB3, 0x18}};

// HRESULT from a system error code: a positive code becomes 0x8007xxxx with its low 16 bits;
// zero and negative values pass unchanged.
inline HRESULT HResultFromWin32(long code) {
    if (code <= 0) {
        return static_cast<HRESULT>(code);
    }
    return static_cast<HRESULT>((static_cast<unsigned long>(code) & 0xFFFFUL) | 0x80070000UL);
}
