// quorvel-properties-host: shows a file's Properties window the way Explorer does, with the
// property sheet handlers of quorvel-shell-integration.dll, without Explorer.
//
// It registers nothing. It creates the handler through COM from the registered class (or, with
// --dll, through DllGetClassObject of a given DLL), hands it a CF_HDROP data object for the file,
// collects the pages from AddPages, shows them in a property sheet titled "<name> Properties",
// waits until the Quorvel page has its outcome, prints the page's texts as UTF-8 and closes.
// Options let tests select the tab, take a screenshot, read the status colour, open the
// licences dialog and check that the module unloads only once its worker has returned.
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <prsht.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "common/text_conversion.h"
#include "data_object.h"
#include "general_page.h"
#include "resource.h"

namespace {

// {6B2D91C4-3E07-4A5F-8C1D-27E9F0A4B318}
constexpr CLSID kHandlerClassId = {
    0x6B2D91C4, 0x3E07, 0x4A5F, {0x8C, 0x1D, 0x27, 0xE9, 0xF0, 0xA4, 0xB3, 0x18}};
constexpr wchar_t kModuleName[] = L"quorvel-shell-integration.dll";
constexpr wchar_t kCheckingStatus[] = L"Quorvel: checking...";
constexpr wchar_t kLicensesCaption[] = L"Third Party Licenses";
constexpr UINT kVerificationResultMessage = WM_APP + 1;
constexpr int kMaxPages = 16;
constexpr DWORD kPollMs = 20;

struct Options {
    std::wstring file;
    std::wstring dllPath;             // --dll: DllGetClassObject from this DLL
    std::wstring selectTab;           // --select-tab: tab title to open
    std::wstring screenshot;          // --screenshot: BMP file of the sheet window
    std::wstring licensesOut;         // --open-licenses: file for the dialog's text (UTF-16LE)
    std::wstring licensesShot;        // --licenses-screenshot: BMP file of the licences dialog
    bool ownDataObject = false;       // --own-data-object: skip the shell's data object
    bool noFile = false;              // --no-file: a data object without CF_HDROP
    bool dumpColors = false;          // --dump-colors
    bool unloadCheck = false;         // --unload-check
    bool systemDialog = false;        // --system-dialog: the shell's own Properties window
    bool noWait = false;              // --no-wait: do not wait for an outcome
    DWORD timeoutMs = 30000;          // --timeout-ms: longest wait for the outcome
    DWORD closeAfterMs = 0;           // --close-after-ms: close this long after showing
    DWORD pumpAfterCloseMs = 0;       // --pump-after-close-ms
    DWORD unloadTimeoutMs = 20000;    // --unload-timeout-ms
};

// An exported function of module, as the function type it has.
template <typename Function>
Function ExportOf(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::string ToUtf8(const std::wstring& text) {
    return WideToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

void PrintLine(const std::wstring& key, const std::wstring& value) {
    const std::string line = ToUtf8(key) + ": " + ToUtf8(value) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::wstring HexColor(COLORREF color) {
    wchar_t buffer[16];
    std::swprintf(buffer, 16, L"%02X%02X%02X", GetRValue(color), GetGValue(color),
                  GetBValue(color));
    return buffer;
}

std::wstring HResultText(HRESULT hr) {
    wchar_t buffer[16];
    std::swprintf(buffer, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return buffer;
}

std::wstring ControlText(HWND window, int id) {
    HWND control = GetDlgItem(window, id);
    if (control == nullptr) {
        return L"<no control>";
    }
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(control, text.data(), length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

bool ParseNumber(const wchar_t* text, DWORD& value) {
    wchar_t* end = nullptr;
    const unsigned long parsed = std::wcstoul(text, &end, 10);
    if (end == text || *end != L'\0') {
        return false;
    }
    value = static_cast<DWORD>(parsed);
    return true;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--dll" && hasValue) {
            options.dllPath = argv[++i];
        } else if (arg == L"--select-tab" && hasValue) {
            options.selectTab = argv[++i];
        } else if (arg == L"--screenshot" && hasValue) {
            options.screenshot = argv[++i];
        } else if (arg == L"--licenses-screenshot" && hasValue) {
            options.licensesShot = argv[++i];
        } else if (arg == L"--open-licenses" && hasValue) {
            options.licensesOut = argv[++i];
        } else if (arg == L"--timeout-ms" && hasValue) {
            if (!ParseNumber(argv[++i], options.timeoutMs)) return false;
        } else if (arg == L"--close-after-ms" && hasValue) {
            if (!ParseNumber(argv[++i], options.closeAfterMs)) return false;
        } else if (arg == L"--pump-after-close-ms" && hasValue) {
            if (!ParseNumber(argv[++i], options.pumpAfterCloseMs)) return false;
        } else if (arg == L"--unload-timeout-ms" && hasValue) {
            if (!ParseNumber(argv[++i], options.unloadTimeoutMs)) return false;
        } else if (arg == L"--own-data-object") {
            options.ownDataObject = true;
        } else if (arg == L"--no-file") {
            options.noFile = true;
        } else if (arg == L"--dump-colors") {
            options.dumpColors = true;
        } else if (arg == L"--system-dialog") {
            options.systemDialog = true;
        } else if (arg == L"--unload-check") {
            options.unloadCheck = true;
        } else if (arg == L"--no-wait") {
            options.noWait = true;
        } else if (!arg.empty() && arg[0] != L'-' && options.file.empty()) {
            options.file = arg;
        } else {
            return false;
        }
    }
    return !options.file.empty() || options.noFile;
}

void PrintUsage() {
    std::fputs(
        "usage: quorvel-properties-host [options] FILE\n"
        "  --dll PATH              create the handler with DllGetClassObject of PATH\n"
        "                          (default: CoCreateInstance of the registered class)\n"
        "  --select-tab TITLE      open the tab with this title (default: the first tab)\n"
        "  --timeout-ms N          longest wait for the outcome (default 30000)\n"
        "  --no-wait               do not wait for an outcome\n"
        "  --close-after-ms N      close the sheet N ms after it appeared, outcome or not\n"
        "  --screenshot FILE.bmp   save the sheet window as a 24-bit BMP\n"
        "  --dump-colors           print the status and link colours the page chooses\n"
        "  --open-licenses FILE    click the licences link, save the dialog's text (UTF-16LE),\n"
        "                          close the dialog with Escape\n"
        "  --licenses-screenshot FILE.bmp  with --open-licenses: save the dialog as a BMP\n"
        "  --own-data-object       hand over our own CF_HDROP data object, not the shell's\n"
        "  --no-file               hand over a data object without CF_HDROP (FILE optional)\n"
        "  --pump-after-close-ms N keep the message loop running N ms after closing\n"
        "  --system-dialog         open the shell's own Properties window (SHObjectProperties)\n"
        "                          instead, list its tabs and close it\n"
        "  --unload-check          after closing, report DllCanUnloadNow and when COM's\n"
        "                          CoFreeUnusedLibrariesEx actually unmaps the module\n",
        stderr);
}

// Runs the thread's messages for up to ms milliseconds, or until done() says so. Messages for
// the sheet go through its dialog handling (keyboard navigation, Escape).
template <typename Done>
bool PumpUntil(HWND sheet, DWORD ms, Done done, int* lateOutcomes = nullptr) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == kVerificationResultMessage && lateOutcomes != nullptr &&
                (sheet == nullptr || !IsWindow(message.hwnd))) {
                ++*lateOutcomes;
            }
            if (sheet != nullptr && IsWindow(sheet) && PropSheet_IsDialogMessage(sheet, &message)) {
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (done()) {
            return true;
        }
        if (GetTickCount64() >= end) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kPollMs, QS_ALLINPUT);
    }
}

// The shell's own data object for the file, as Explorer hands it over.
IDataObject* ShellDataObject(const std::wstring& file) {
    PIDLIST_ABSOLUTE item = nullptr;
    if (FAILED(SHParseDisplayName(file.c_str(), nullptr, &item, 0, nullptr))) {
        return nullptr;
    }
    IShellFolder* parent = nullptr;
    PCUITEMID_CHILD child = nullptr;
    IDataObject* dataObject = nullptr;
    if (SUCCEEDED(SHBindToParent(item, IID_IShellFolder, reinterpret_cast<void**>(&parent),
                                 &child))) {
        parent->GetUIObjectOf(nullptr, 1, &child, IID_IDataObject, nullptr,
                              reinterpret_cast<void**>(&dataObject));
        parent->Release();
    }
    CoTaskMemFree(item);
    return dataObject;
}

HRESULT CreateHandler(const Options& options, HMODULE& module, IShellExtInit** handler) {
    if (options.dllPath.empty()) {
        return CoCreateInstance(kHandlerClassId, nullptr, CLSCTX_INPROC_SERVER, IID_IShellExtInit,
                                reinterpret_cast<void**>(handler));
    }
    module = LoadLibraryW(options.dllPath.c_str());
    if (module == nullptr) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto getClassObject = ExportOf<GetClassObjectFn>(module, "DllGetClassObject");
    if (getClassObject == nullptr) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(kHandlerClassId, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
        return hr;
    }
    hr = factory->CreateInstance(nullptr, IID_IShellExtInit, reinterpret_cast<void**>(handler));
    factory->Release();
    return hr;
}

struct PageCollector {
    HPROPSHEETPAGE pages[kMaxPages] = {};
    UINT count = 0;
};

BOOL CALLBACK CollectPage(HPROPSHEETPAGE page, LPARAM argument) {
    auto* collector = reinterpret_cast<PageCollector*>(argument);
    if (collector->count >= kMaxPages) {
        return FALSE;
    }
    collector->pages[collector->count++] = page;
    return TRUE;
}

int FindTab(HWND sheet, const std::wstring& title) {
    HWND tabs = PropSheet_GetTabControl(sheet);
    const int count = TabCtrl_GetItemCount(tabs);
    for (int index = 0; index < count; ++index) {
        wchar_t text[128] = {};
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = text;
        item.cchTextMax = 128;
        if (TabCtrl_GetItem(tabs, index, &item) && title == text) {
            return index;
        }
    }
    return -1;
}

// The page that has a Status control, that is the Quorvel page, if it exists yet.
HWND FindQuorvelPage(HWND sheet) {
    for (int index = 0; index < kMaxPages; ++index) {
        HWND page = PropSheet_IndexToHwnd(sheet, index);
        if (page != nullptr && GetDlgItem(page, IDC_STATUS) != nullptr &&
            GetDlgItem(page, IDC_LICENSES_LINK) != nullptr) {
            return page;
        }
    }
    return nullptr;
}

void PrintPageTexts(HWND page, const wchar_t* prefix) {
    const std::wstring p = prefix;
    PrintLine(p + L"status", ControlText(page, IDC_STATUS));
    PrintLine(p + L"domain", ControlText(page, IDC_DOMAIN));
    PrintLine(p + L"description", ControlText(page, IDC_DESCRIPTION));
    PrintLine(p + L"result", ControlText(page, IDC_RESULTS));
}

// The colour the page's procedure chooses, asked the way the control asks when it paints.
COLORREF ProbeTextColor(HWND page, int controlId, bool& handled) {
    HDC context = CreateCompatibleDC(nullptr);
    SetTextColor(context, RGB(1, 2, 3));
    const LRESULT brush = SendMessageW(page, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context),
                                       reinterpret_cast<LPARAM>(GetDlgItem(page, controlId)));
    const COLORREF color = GetTextColor(context);
    handled = brush == reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    DeleteDC(context);
    return color;
}

bool SaveScreenshot(HWND window, const std::wstring& path) {
    RECT rect;
    if (!GetWindowRect(window, &rect)) {
        return false;
    }
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as BMP files store rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool saved = false;
    if (bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
        GdiFlush();
        const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3U;
        const DWORD imageBytes = stride * static_cast<DWORD>(height);
        BITMAPFILEHEADER file = {};
        file.bfType = 0x4D42;  // "BM"
        file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
        file.bfSize = file.bfOffBits + imageBytes;
        FILE* out = _wfopen(path.c_str(), L"wb");
        if (out != nullptr) {
            saved = std::fwrite(&file, sizeof(file), 1, out) == 1 &&
                    std::fwrite(&info.bmiHeader, sizeof(BITMAPINFOHEADER), 1, out) == 1 &&
                    std::fwrite(bits, 1, imageBytes, out) == imageBytes;
            saved = std::fclose(out) == 0 && saved;
        }
        SelectObject(memory, previous);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return saved;
}

// Reads the licences dialog once it is open and presses Escape in it. Runs from a timer inside
// the dialog's modal loop.
struct LicensesProbe {
    std::wstring outPath;
    std::wstring screenshot;
    bool screenshotSaved = false;
    bool found = false;
    bool escapeSent = false;
    std::wstring text;
};
LicensesProbe g_licensesProbe;

void CALLBACK LicensesTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (g_licensesProbe.escapeSent) {
        return;
    }
    HWND dialog = FindWindowW(L"#32770", kLicensesCaption);
    if (dialog == nullptr || !IsWindowVisible(dialog)) {
        return;
    }
    // One more tick after the dialog became visible, so that it has painted itself.
    if (!g_licensesProbe.found) {
        g_licensesProbe.found = true;
        return;
    }
    g_licensesProbe.text = ControlText(dialog, IDC_LICENSES_TEXT);
    if (!g_licensesProbe.screenshot.empty()) {
        RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        g_licensesProbe.screenshotSaved = SaveScreenshot(dialog, g_licensesProbe.screenshot);
    }
    // Escape as the keyboard sends it, to the control that has the focus; the dialog's modal
    // loop turns it into IDCANCEL.
    HWND focus = GetFocus();
    HWND target = (focus != nullptr && IsChild(dialog, focus)) ? focus : dialog;
    PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(target, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001));
    g_licensesProbe.escapeSent = true;
}

bool SaveUtf16(const std::wstring& path, const std::wstring& text) {
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (out == nullptr) {
        return false;
    }
    const size_t written = std::fwrite(text.data(), sizeof(wchar_t), text.size(), out);
    return std::fclose(out) == 0 && written == text.size();
}

void OpenLicenses(HWND page, const std::wstring& outPath, const std::wstring& screenshot) {
    g_licensesProbe = LicensesProbe{};
    g_licensesProbe.outPath = outPath;
    g_licensesProbe.screenshot = screenshot;
    const UINT_PTR timer = SetTimer(nullptr, 0, 100, LicensesTimer);
    // A click on the link: the static control (SS_NOTIFY) tells its parent STN_CLICKED.
    HWND link = GetDlgItem(page, IDC_LICENSES_LINK);
    const ULONGLONG start = GetTickCount64();
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(IDC_LICENSES_LINK, STN_CLICKED),
                 reinterpret_cast<LPARAM>(link));
    const ULONGLONG elapsed = GetTickCount64() - start;
    KillTimer(nullptr, timer);
    PrintLine(L"licenses-dialog", g_licensesProbe.found ? L"opened" : L"not found");
    PrintLine(L"licenses-dialog-closed", g_licensesProbe.escapeSent ? L"by escape" : L"no");
    PrintLine(L"licenses-dialog-still-open",
              FindWindowW(L"#32770", kLicensesCaption) != nullptr ? L"yes" : L"no");
    PrintLine(L"licenses-dialog-ms", std::to_wstring(elapsed));
    if (!screenshot.empty()) {
        PrintLine(L"licenses-screenshot", g_licensesProbe.screenshotSaved ? L"saved" : L"failed");
    }
    if (g_licensesProbe.found && !SaveUtf16(outPath, g_licensesProbe.text)) {
        PrintLine(L"licenses-text", L"could not be saved");
    }
}

bool IsModuleMapped() {
    return GetModuleHandleW(kModuleName) != nullptr;
}

std::wstring CanUnloadNow(HMODULE module) {
    if (module == nullptr) {
        return L"module not loaded";
    }
    using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
    auto canUnload = ExportOf<CanUnloadFn>(module, "DllCanUnloadNow");
    return canUnload == nullptr ? L"no export" : HResultText(canUnload());
}

// The shell's own Properties window for the file: which tabs does it show? It is modal inside
// SHObjectProperties or runs on a thread of the shell; a timer finds it, lists its tabs and
// closes it.
struct SystemDialogProbe {
    std::wstring title;
    std::vector<std::wstring> tabs;
    bool found = false;
    bool closed = false;
};
SystemDialogProbe g_systemProbe;

BOOL CALLBACK FindSheetWindow(HWND window, LPARAM) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    if (IsWindowVisible(window) && PropSheet_GetTabControl(window) != nullptr) {
        g_systemProbe.title = text;
        HWND tabs = PropSheet_GetTabControl(window);
        const int count = TabCtrl_GetItemCount(tabs);
        for (int index = 0; index < count; ++index) {
            wchar_t name[128] = {};
            TCITEMW item = {};
            item.mask = TCIF_TEXT;
            item.pszText = name;
            item.cchTextMax = 128;
            TabCtrl_GetItem(tabs, index, &item);
            g_systemProbe.tabs.push_back(name);
        }
        g_systemProbe.found = true;
        PostMessageW(window, WM_CLOSE, 0, 0);
        g_systemProbe.closed = true;
        return FALSE;
    }
    return TRUE;
}

void CALLBACK SystemDialogTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (!g_systemProbe.found) {
        EnumThreadWindows(GetCurrentThreadId(), FindSheetWindow, 0);
    }
}

int ShowSystemDialog(const std::wstring& fullPath, DWORD timeoutMs) {
    // The "properties" command of the item's context menu, as Explorer's menu runs it. The shell
    // may show the window modally inside InvokeCommand: a timer finds it there.
    const UINT_PTR timer = SetTimer(nullptr, 0, 500, SystemDialogTimer);
    HRESULT hr = E_FAIL;
    PIDLIST_ABSOLUTE item = nullptr;
    if (SUCCEEDED(SHParseDisplayName(fullPath.c_str(), nullptr, &item, 0, nullptr))) {
        IShellFolder* parent = nullptr;
        PCUITEMID_CHILD child = nullptr;
        if (SUCCEEDED(SHBindToParent(item, IID_IShellFolder, reinterpret_cast<void**>(&parent),
                                     &child))) {
            IContextMenu* menu = nullptr;
            hr = parent->GetUIObjectOf(nullptr, 1, &child, IID_IContextMenu, nullptr,
                                       reinterpret_cast<void**>(&menu));
            if (SUCCEEDED(hr)) {
                CMINVOKECOMMANDINFO invoke = {};
                invoke.cbSize = sizeof(invoke);
                invoke.lpVerb = "properties";
                invoke.nShow = SW_SHOWNORMAL;
                hr = menu->InvokeCommand(&invoke);
                menu->Release();
            }
            parent->Release();
        }
        CoTaskMemFree(item);
    }
    PrintLine(L"system-dialog-call", HResultText(hr));
    PumpUntil(nullptr, timeoutMs, [] {
        if (!g_systemProbe.found) {
            EnumWindows(FindSheetWindow, 0);
        }
        return g_systemProbe.found;
    });
    KillTimer(nullptr, timer);
    PrintLine(L"system-dialog", g_systemProbe.found ? g_systemProbe.title : L"<not found>");
    std::wstring tabs;
    for (const std::wstring& tab : g_systemProbe.tabs) {
        tabs += (tabs.empty() ? L"" : L", ") + tab;
    }
    PrintLine(L"system-dialog-tabs", tabs);
    PumpUntil(nullptr, 500, [] { return false; });
    return g_systemProbe.found ? 0 : 6;
}

int Run(const Options& options) {
    std::wstring fullPath(MAX_PATH * 4, L'\0');
    const std::wstring file = options.file.empty() ? std::wstring(L"(no file)") : options.file;
    const DWORD length = GetFullPathNameW(file.c_str(), static_cast<DWORD>(fullPath.size()),
                                          fullPath.data(), nullptr);
    if (length == 0 || length >= fullPath.size()) {
        std::fputs("cannot resolve the file's path\n", stderr);
        return 2;
    }
    fullPath.resize(length);
    if (options.systemDialog) {
        return ShowSystemDialog(fullPath, options.timeoutMs);
    }

    HMODULE ownModule = nullptr;
    IShellExtInit* init = nullptr;
    HRESULT hr = CreateHandler(options, ownModule, &init);
    PrintLine(L"create", HResultText(hr));
    if (FAILED(hr)) {
        return 3;
    }

    IDataObject* dataObject = nullptr;
    if (options.noFile) {
        dataObject = CreateEmptyDataObject();
        PrintLine(L"data-object", L"without CF_HDROP");
    } else {
        dataObject = options.ownDataObject ? nullptr : ShellDataObject(fullPath);
        PrintLine(L"data-object", dataObject != nullptr ? L"shell" : L"own");
        if (dataObject == nullptr) {
            dataObject = CreateDropDataObject({fullPath});
        }
    }
    hr = init->Initialize(nullptr, dataObject, nullptr);
    PrintLine(L"initialize", HResultText(hr));
    if (dataObject != nullptr) {
        dataObject->Release();
    }

    IShellPropSheetExt* extension = nullptr;
    hr = init->QueryInterface(IID_IShellPropSheetExt, reinterpret_cast<void**>(&extension));
    if (FAILED(hr)) {
        PrintLine(L"query-extension", HResultText(hr));
        init->Release();
        return 3;
    }

    const wchar_t* fileName = PathFindFileNameW(fullPath.c_str());
    PageCollector collector;
    GeneralPage general(fullPath);
    collector.pages[collector.count++] = general.Create();
    hr = extension->AddPages(CollectPage, reinterpret_cast<LPARAM>(&collector));
    PrintLine(L"add-pages", HResultText(hr));
    PrintLine(L"pages", std::to_wstring(collector.count));

    const std::wstring title = std::wstring(fileName) + L" Properties";
    PROPSHEETHEADERW header = {};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_MODELESS | PSH_NOAPPLYNOW;
    header.hInstance = GetModuleHandleW(nullptr);
    header.pszCaption = title.c_str();
    header.nPages = collector.count;
    header.phpage = collector.pages;
    const ULONGLONG openedAt = GetTickCount64();
    HWND sheet = reinterpret_cast<HWND>(PropertySheetW(&header));
    if (sheet == nullptr || sheet == reinterpret_cast<HWND>(-1)) {
        PrintLine(L"sheet", L"not created");
        extension->Release();
        init->Release();
        return 4;
    }
    wchar_t caption[512] = {};
    GetWindowTextW(sheet, caption, 512);
    PrintLine(L"title", caption);
    SetWindowPos(sheet, HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    const ULONGLONG shownAt = GetTickCount64();

    if (!options.selectTab.empty()) {
        const int tab = FindTab(sheet, options.selectTab);
        PrintLine(L"tab", tab >= 0 ? options.selectTab : L"<not found>");
        if (tab >= 0) {
            PropSheet_SetCurSel(sheet, nullptr, tab);
        }
    }

    HWND page = FindQuorvelPage(sheet);
    PrintLine(L"page", page != nullptr ? L"created" : L"not created");
    if (page != nullptr) {
        // From the call that opens the sheet to the page's first display: what the user waits
        // for before the tab shows anything.
        PrintLine(L"page-shown-ms", std::to_wstring(GetTickCount64() - openedAt));
        // Read before the thread's queue runs again: the worker's outcome cannot have been
        // handled yet, whatever the worker did meanwhile.
        PrintPageTexts(page, L"provisional-");
    }

    bool outcomeShown = false;
    if (page != nullptr && !options.noWait) {
        const DWORD waitMs = options.closeAfterMs != 0 ? options.closeAfterMs : options.timeoutMs;
        outcomeShown = PumpUntil(sheet, waitMs, [&] {
            return !IsWindow(page) || ControlText(page, IDC_STATUS) != kCheckingStatus;
        });
        PrintLine(L"outcome", outcomeShown ? L"shown" : L"none");
        PrintLine(L"outcome-ms", std::to_wstring(GetTickCount64() - openedAt));
    }
    if (options.closeAfterMs != 0) {
        const ULONGLONG elapsed = GetTickCount64() - shownAt;
        if (elapsed < options.closeAfterMs) {
            PumpUntil(sheet, static_cast<DWORD>(options.closeAfterMs - elapsed), [] { return false; });
        }
    } else {
        // Let the outcome's repaint reach the screen.
        PumpUntil(sheet, 300, [] { return false; });
    }

    if (page != nullptr && IsWindow(page)) {
        PrintPageTexts(page, L"");
        if (options.dumpColors) {
            bool handled = false;
            const COLORREF status = ProbeTextColor(page, IDC_STATUS, handled);
            PrintLine(L"status-color", handled ? HexColor(status) : L"default");
            const COLORREF link = ProbeTextColor(page, IDC_LICENSES_LINK, handled);
            PrintLine(L"link-color", handled ? HexColor(link) : L"default");
            ProbeTextColor(page, IDC_DOMAIN, handled);
            PrintLine(L"domain-color", handled ? L"set" : L"default");
            PrintLine(L"window-text-color", HexColor(GetSysColor(COLOR_WINDOWTEXT)));
        }
        if (!options.screenshot.empty()) {
            SetForegroundWindow(sheet);
            RedrawWindow(sheet, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
            PumpUntil(sheet, 300, [] { return false; });
            PrintLine(L"screenshot", SaveScreenshot(sheet, options.screenshot) ? L"saved" : L"failed");
        }
        if (!options.licensesOut.empty()) {
            OpenLicenses(page, options.licensesOut, options.licensesShot);
        }
    }

    DestroyWindow(sheet);
    int lateOutcomes = 0;
    if (options.pumpAfterCloseMs != 0) {
        PumpUntil(nullptr, options.pumpAfterCloseMs, [] { return false; }, &lateOutcomes);
    }
    extension->Release();
    const ULONG remaining = init->Release();
    PrintLine(L"handler-references-after-close", std::to_wstring(remaining));
    PrintLine(L"late-outcome-messages", std::to_wstring(lateOutcomes));

    if (options.unloadCheck) {
        HMODULE module = GetModuleHandleW(kModuleName);
        PrintLine(L"can-unload-after-close", CanUnloadNow(module));
        if (ownModule != nullptr) {
            FreeLibrary(ownModule);
            ownModule = nullptr;
        } else {
            CoFreeUnusedLibrariesEx(0, 0);
        }
        PrintLine(L"mapped-after-free", IsModuleMapped() ? L"yes" : L"no");
        const ULONGLONG start = GetTickCount64();
        const bool unmapped = PumpUntil(nullptr, options.unloadTimeoutMs, [] {
            CoFreeUnusedLibrariesEx(0, 0);
            return !IsModuleMapped();
        });
        PrintLine(L"unmapped", unmapped ? L"yes" : L"no");
        PrintLine(L"unmapped-after-ms", std::to_wstring(GetTickCount64() - start));
    } else if (ownModule != nullptr) {
        FreeLibrary(ownModule);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        PrintUsage();
        return 2;
    }
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
    if (FAILED(OleInitialize(nullptr))) {
        std::fputs("OleInitialize failed\n", stderr);
        return 5;
    }
    const int result = Run(options);
    OleUninitialize();
    return result;
}
