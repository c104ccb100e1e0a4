#include "data_object.h"

#include <shlobj.h>

#include <cstring>
#include <new>

namespace {

volatile LONG g_liveDataObjects = 0;

class DropDataObject final : public IDataObject {
public:
    DropDataObject(std::vector<std::wstring> files, bool offersDropList)
        : files_(std::move(files)), offersDropList_(offersDropList) {
        InterlockedIncrement(&g_liveDataObjects);
    }
    DropDataObject(const DropDataObject&) = delete;
    DropDataObject& operator=(const DropDataObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDataObject)) {
            return E_NOINTERFACE;
        }
        *object = static_cast<IDataObject*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refCount_));
    }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG count = InterlockedDecrement(&refCount_);
        if (count == 0) {
            delete this;
        }
        return static_cast<ULONG>(count);
    }

    STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override {
        if (format == nullptr || medium == nullptr) {
            return E_INVALIDARG;
        }
        const HRESULT usable = QueryGetData(format);
        if (usable != S_OK) {
            return usable;
        }
        HGLOBAL block = MakeDropList();
        if (block == nullptr) {
            return E_OUTOFMEMORY;
        }
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = block;
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC* format) override {
        if (format == nullptr) {
            return E_INVALIDARG;
        }
        if (!offersDropList_ || format->cfFormat != CF_HDROP) {
            return DV_E_FORMATETC;
        }
        if ((format->tymed & TYMED_HGLOBAL) == 0) {
            return DV_E_TYMED;
        }
        return S_OK;
    }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
        if (out != nullptr) {
            out->ptd = nullptr;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC** out) override {
        if (out != nullptr) {
            *out = nullptr;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
        return OLE_E_ADVISENOTSUPPORTED;
    }
    STDMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

private:
    ~DropDataObject() { InterlockedDecrement(&g_liveDataObjects); }

    // DROPFILES, then each name with its terminator, then one more terminator.
    HGLOBAL MakeDropList() const {
        size_t chars = 1;
        for (const std::wstring& file : files_) {
            chars += file.size() + 1;
        }
        const size_t bytes = sizeof(DROPFILES) + chars * sizeof(wchar_t);
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
        if (block == nullptr) {
            return nullptr;
        }
        auto* drop = static_cast<DROPFILES*>(GlobalLock(block));
        if (drop == nullptr) {
            GlobalFree(block);
            return nullptr;
        }
        drop->pFiles = sizeof(DROPFILES);
        drop->fWide = TRUE;
        auto* names = reinterpret_cast<wchar_t*>(reinterpret_cast<BYTE*>(drop) + sizeof(DROPFILES));
        for (const std::wstring& file : files_) {
            std::memcpy(names, file.c_str(), (file.size() + 1) * sizeof(wchar_t));
            names += file.size() + 1;
        }
        *names = L'\0';
        GlobalUnlock(block);
        return block;
    }

    volatile LONG refCount_ = 1;
    std::vector<std::wstring> files_;
    bool offersDropList_;
};

}  // namespace

IDataObject* CreateDropDataObject(const std::vector<std::wstring>& files) {
    try {
        return new (std::nothrow) DropDataObject(files, true);
    } catch (...) {
        return nullptr;
    }
}

IDataObject* CreateEmptyDataObject() {
    return new (std::nothrow) DropDataObject({}, false);
}

long LiveDataObjects() {
    return g_liveDataObjects;
}
