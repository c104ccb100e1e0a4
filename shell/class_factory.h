// QuorvelClassFactory: makes QuorvelPropertySheetHandler objects. Each factory counts as one
// lock on the module (g_lockCount) until its last Release.
#pragma once

#include <windows.h>
#include <unknwn.h>

class QuorvelClassFactory final : public IClassFactory {
public:
    // refCount 1; raises g_lockCount.
    QuorvelClassFactory();
    QuorvelClassFactory(const QuorvelClassFactory&) = delete;
    QuorvelClassFactory& operator=(const QuorvelClassFactory&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    // Lowers g_lockCount.
    ~QuorvelClassFactory();

    volatile LONG refCount_ = 1;
};
