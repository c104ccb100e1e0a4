#include "shell/property_sheet_handler.h"

#include <prsht.h>
#include <shellapi.h>

#include <new>
#include <string>

#include "resource.h"
#include "shell/module_state.h"
#include "ui/property_page.h"
#include "ui/wide_text.h"

namespace {

// The page description in its 104-byte form: PROPSHEETPAGEW up to the activation context,
// then the header bitmap field that MinGW's declaration leaves out.
struct PageDescription {
    PROPSHEETPAGEW page;
    LPCWSTR headerBitmap;
};
constexpr UINT kPageDescriptionBytes = 104;
static_assert(sizeof(PageDescription) == kPageDescriptionBytes, "unexpected PROPSHEETPAGEW layout");

// Index that asks DragQueryFileW for the number of files.
constexpr UINT kDropFileCountIndex = 0xFFFFFFFF;

// A signed 32-bit number in decimal: no leading zeros, "-" before a negative value.
std::u16string DecimalText(long value) {
    std::u16string digits;
    // Through unsigned arithmetic, so that the most negative value is written right.
    unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value)
                                        : static_cast<unsigned long>(value);
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + magnitude % 10UL));
        magnitude /= 10UL;
    } while (magnitude != 0UL);
    if (value < 0) {
        digits.insert(digits.begin(), u'-');
    }
    return digits;
}

// Releases a storage medium on every way out of GetSelectedPath.
class MediumGuard {
public:
    explicit MediumGuard(STGMEDIUM& medium) : medium_(medium) {}
    MediumGuard(const MediumGuard&) = delete;
    MediumGuard& operator=(const MediumGuard&) = delete;
    ~MediumGuard() { ReleaseStgMedium(&medium_); }

private:
    STGMEDIUM& medium_;
};

// Unlocks a locked global block on every way out.
class GlobalLockGuard {
public:
    explicit GlobalLockGuard(HGLOBAL block) : block_(block) {}
    GlobalLockGuard(const GlobalLockGuard&) = delete;
    GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;
    ~GlobalLockGuard() { GlobalUnlock(block_); }

private:
    HGLOBAL block_;
};

// The page's own release callback. The page description carries one counted reference on the
// handler from AddPages until the property sheet destroys the page, whether or not the page's
// dialog was ever created; the dialog keeps a reference of its own while its window lives.
UINT CALLBACK PageCallback(HWND, UINT message, LPPROPSHEETPAGEW page) {
    if (message == PSPCB_RELEASE && page != nullptr && page->lParam != 0) {
        reinterpret_cast<QuorvelPropertySheetHandler*>(page->lParam)->Release();
    }
    return 1;  // PSPCB_CREATE: let the page be created
}

}  // namespace

void DebugTrace(const std::u16string& message) {
    try {
        const std::u16string line = message + u"\r\n";
        OutputDebugStringW(AsWide(line));
    } catch (...) {
        // Out of memory: the trace line is dropped.
    }
}

HRESULT GetSelectedPath(IDataObject* dataObject, std::u16string& path) {
    if (dataObject == nullptr) {
        return E_POINTER;
    }
    FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium = {};
    if (FAILED(dataObject->GetData(&format, &medium))) {
        return E_FAIL;
    }
    MediumGuard mediumGuard(medium);
    // The medium may be of another kind than asked for; only global memory carries a drop list.
    if (medium.tymed != TYMED_HGLOBAL || medium.hGlobal == nullptr) {
        return E_FAIL;
    }

    auto drop = static_cast<HDROP>(GlobalLock(medium.hGlobal));
    if (drop == nullptr) {
        return HResultFromWin32(static_cast<long>(GetLastError()));
    }
    GlobalLockGuard lockGuard(medium.hGlobal);

    if (DragQueryFileW(drop, kDropFileCountIndex, nullptr, 0) == 0) {
        return E_FAIL;
    }
    const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
    if (length == 0) {
        return E_FAIL;
    }
    try {
        path.assign(static_cast<std::size_t>(length), u'\0');
        // The buffer has length + 1 units: the string's own terminator is the last one.
        if (DragQueryFileW(drop, 0, AsWideBuffer(path), length + 1) == 0) {
            path.clear();
            return E_FAIL;
        }
    } catch (...) {
        path.clear();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

QuorvelPropertySheetHandler::QuorvelPropertySheetHandler() {
    InterlockedIncrement(&g_objectCount);
}

QuorvelPropertySheetHandler::~QuorvelPropertySheetHandler() = default;

STDMETHODIMP QuorvelPropertySheetHandler::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IShellExtInit)) {
        *object = static_cast<IShellExtInit*>(this);
    } else if (IsEqualIID(iid, IID_IShellPropSheetExt)) {
        *object = static_cast<IShellPropSheetExt*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) QuorvelPropertySheetHandler::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refCount_));
}

STDMETHODIMP_(ULONG) QuorvelPropertySheetHandler::Release() {
    const LONG count = InterlockedDecrement(&refCount_);
    if (count == 0) {
        InterlockedDecrement(&g_objectCount);
        delete this;
    }
    return static_cast<ULONG>(count);
}

STDMETHODIMP QuorvelPropertySheetHandler::Initialize(PCIDLIST_ABSOLUTE, IDataObject* dataObject,
                                                     HKEY) {
    try {
        targetPath.clear();
        statusText = kStatusCheckingText;
        resultText = kResultCheckingInitialText;

        DebugTrace(u"Initialize called");
        DebugTrace(std::u16string(u"pDataObj=") + (dataObject != nullptr ? u"non-null" : u"null"));
        if (dataObject == nullptr) {
            return S_OK;
        }

        const HRESULT hr = GetSelectedPath(dataObject, targetPath);
        DebugTrace(u"GetSelectedPath hr=" + DecimalText(static_cast<long>(hr)));
        DebugTrace(u"target path=" + (targetPath.empty() ? std::u16string(u"<empty>") : targetPath));
    } catch (...) {
        // Out of memory while building the texts: the page copes with whatever is set.
    }
    return S_OK;
}

STDMETHODIMP QuorvelPropertySheetHandler::AddPages(LPFNSVADDPROPSHEETPAGE addPage,
                                                   LPARAM addPageArgument) {
    if (addPage == nullptr) {
        return E_POINTER;
    }
    DebugTrace(u"AddPages called");

    PageDescription description = {};
    PROPSHEETPAGEW& page = description.page;
    page.dwSize = kPageDescriptionBytes;
    // The release callback gives back the page's reference when the sheet destroys the page,
    // also when the tab was never opened and the dialog never existed.
    page.dwFlags = PSP_USETITLE | PSP_USECALLBACK;
    page.hInstance = g_moduleInstance;
    page.pszTemplate = MAKEINTRESOURCEW(IDD_PROPERTY_PAGE);
    page.pszTitle = kPageTitle;
    page.pfnDlgProc = PropertyPageDialogProc;
    page.lParam = reinterpret_cast<LPARAM>(this);  // the object's start, its IShellExtInit face
    page.pfnCallback = PageCallback;

    // The page's reference, taken before the page exists.
    AddRef();
    HPROPSHEETPAGE pageHandle = CreatePropertySheetPageW(&page);
    if (pageHandle == nullptr) {
        const DWORD error = GetLastError();
        Release();
        return HResultFromWin32(static_cast<long>(error));
    }
    if (!addPage(pageHandle, addPageArgument)) {
        // Destroying the page runs its release callback, which gives back the page's reference.
        DestroyPropertySheetPage(pageHandle);
        return E_FAIL;
    }
    return S_OK;
}

STDMETHODIMP QuorvelPropertySheetHandler::ReplacePage(EXPPS, LPFNSVADDPROPSHEETPAGE,
                                                      LPARAM) {
    return E_NOTIMPL;
}
