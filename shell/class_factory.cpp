#include "class_factory.h"

#include <new>

#include "shell/module_state.h"
#include "shell/property_sheet_handler.h"

QuorvelClassFactory::QuorvelClassFactory() {
    InterlockedIncrement(&g_lockCount);
}

QuorvelClassFactory::~QuorvelClassFactory() {
    InterlockedDecrement(&g_lockCount);
}

STDMETHODIMP QuorvelClassFactory::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
        return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) QuorvelClassFactory::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refCount_));
}

STDMETHODIMP_(ULONG) QuorvelClassFactory::Release() {
    const LONG count = InterlockedDecrement(&refCount_);
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

// COM may call this on any thread.
STDMETHODIMP QuorvelClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    auto* handler = new (std::nothrow) QuorvelPropertySheetHandler();
    if (handler == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = E_POINTER;
    if (object != nullptr) {
        hr = handler->QueryInterface(iid, object);
    }
    // The creation reference: on a failed query this destroys the new object.
    handler->Release();
    return hr;
}

// Calls with a zero flag must match earlier calls with a non-zero flag, as COM requires.
STDMETHODIMP QuorvelClassFactory::LockServer(BOOL lock) {
    if (lock) {
        InterlockedIncrement(&g_lockCount);
    } else {
        InterlockedDecrement(&g_lockCount);
    }
    return S_OK;
}
