// The module's entry points for the system and for COM.
#include <windows.h>
#include <unknwn.h>

#include <new>

#include "class_factory.h"
#include "shell/module_state.h"

HINSTANCE g_moduleInstance = nullptr;
volatile LONG g_objectCount = 0;
volatile LONG g_lockCount = 0;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_moduleInstance = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

// The verification worker is not counted here: it holds a module reference of its own until
// it returns, so the code stays mapped even when COM lets go of the module earlier.
STDAPI DllCanUnloadNow() {
    if (g_lockCount != 0 || g_objectCount != 0) {
        return S_FALSE;
    }
    return S_OK;
}

// COM may call this on any thread. Every successful call makes a new factory.
STDAPI DllGetClassObject(REFCLSID classId, REFIID iid, LPVOID* object) {
    if (!IsEqualCLSID(classId, CLSID_QuorvelPropertySheetHandler)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    auto* factory = new (std::nothrow) QuorvelClassFactory();
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = E_POINTER;
    if (object != nullptr) {
        hr = factory->QueryInterface(iid, object);
    }
    // The creation reference: on a failed query this frees the factory.
    factory->Release();
    return hr;
}
