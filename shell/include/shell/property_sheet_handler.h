// QuorvelPropertySheetHandler: the COM object that the shell creates for the Properties window
// of an .exe or .dll file. It takes the first selected file out of the shell's data object and
// adds the "Quorvel" page. It verifies nothing itself and owns no thread.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>

class QuorvelPropertySheetHandler final : public IShellExtInit, public IShellPropSheetExt {
public:
    // refCount 1; raises g_objectCount.
    QuorvelPropertySheetHandler();
    QuorvelPropertySheetHandler(const QuorvelPropertySheetHandler&) = delete;
    QuorvelPropertySheetHandler& operator=(const QuorvelPropertySheetHandler&) = delete;

    // IUnknown, shared by both faces. IID_IUnknown and IID_IShellExtInit give the object's
    // start (the IShellExtInit face), IID_IShellPropSheetExt the second face.
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IShellExtInit: always S_OK; a missing or unusable data object leaves targetPath empty.
    STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* dataObject,
                            HKEY programKey) override;

    // IShellPropSheetExt
    STDMETHODIMP AddPages(LPFNSVADDPROPSHEETPAGE addPage, LPARAM addPageArgument) override;
    STDMETHODIMP ReplacePage(EXPPS pageId, LPFNSVADDPROPSHEETPAGE replaceWith,
                             LPARAM replaceArgument) override;

    // Read by the page.
    std::u16string targetPath;  // full path of the selected file; empty until Initialize finds one
    std::u16string statusText;  // the page's initial Status text
    std::u16string resultText;  // the page's initial Results text

private:
    // Lowers g_objectCount.
    ~QuorvelPropertySheetHandler();

    volatile LONG refCount_ = 1;
};

// The tab's caption and the initial texts that Initialize supplies.
inline constexpr wchar_t kPageTitle[] = L"Quorvel";
inline constexpr char16_t kStatusCheckingText[] = u"Quorvel: checking...";
inline constexpr char16_t kResultCheckingInitialText[] = u"Checking Quorvel signature...";

// Writes the first file path of a shell data object (CF_HDROP in global memory) into path.
// E_POINTER for a null data object, E_FAIL when there is no usable file name (path empty),
// the system error when the medium cannot be locked.
HRESULT GetSelectedPath(IDataObject* dataObject, std::u16string& path);

// Sends message followed by CR LF to the debugger channel (OutputDebugStringW).
void DebugTrace(const std::u16string& message);
