// The property sheet handler through the DLL: interface identities, Initialize with the data
// objects the shell may hand over, the trace lines, AddPages and the page's reference.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data_object.h"
#include "shell_test_support.h"

namespace {

using shell_test::DebugTraceCapture;
using shell_test::Dll;
using shell_test::kClassId;

bool IsAscii(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c > 0x7F) {
            return false;
        }
    }
    return true;
}

class HandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(dll_.module(), nullptr);
        ASSERT_EQ(dll_.CanUnloadNow(), S_OK);
        IClassFactory* factory = nullptr;
        ASSERT_EQ(dll_.GetClassObject(kClassId, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
                  S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IShellExtInit, reinterpret_cast<void**>(&init_)),
                  S_OK);
        factory->Release();
        ASSERT_EQ(init_->QueryInterface(IID_IShellPropSheetExt, reinterpret_cast<void**>(&sheet_)),
                  S_OK);
    }
    void TearDown() override {
        if (sheet_ != nullptr) {
            sheet_->Release();
        }
        if (init_ != nullptr) {
            EXPECT_EQ(init_->Release(), 0U) << "a reference was left on the handler";
        }
        EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
    }

    // The handler's current reference count, read without changing it.
    ULONG References() {
        init_->AddRef();
        return init_->Release();
    }

    // Trace lines sent by Initialize for a data object.
    std::vector<std::wstring> InitializeTraces(IDataObject* dataObject, HRESULT& result) {
        DebugTraceCapture capture;
        result = init_->Initialize(nullptr, dataObject, nullptr);
        return capture.Lines();
    }

    Dll dll_;
    IShellExtInit* init_ = nullptr;
    IShellPropSheetExt* sheet_ = nullptr;
};

TEST_F(HandlerTest, BothFacesLeadToTheSameIdentity) {
    struct Face {
        const char* name;
        IUnknown* face;
    };
    const Face faces[] = {{"IShellExtInit face", init_}, {"IShellPropSheetExt face", sheet_}};
    for (const Face& f : faces) {
        SCOPED_TRACE(f.name);
        const ULONG before = References();
        IUnknown* identity = nullptr;
        ASSERT_EQ(f.face->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
        EXPECT_EQ(static_cast<void*>(identity), static_cast<void*>(init_));
        IShellPropSheetExt* second = nullptr;
        ASSERT_EQ(f.face->QueryInterface(IID_IShellPropSheetExt, reinterpret_cast<void**>(&second)), S_OK);
        EXPECT_EQ(second, sheet_);
        EXPECT_EQ(References(), before + 2);
        identity->Release();
        second->Release();

        EXPECT_EQ(f.face->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
        void* out = reinterpret_cast<void*>(static_cast<uintptr_t>(1));
        EXPECT_EQ(f.face->QueryInterface(IID_IDataObject, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(References(), before);
    }
}

TEST_F(HandlerTest, InitializeWithoutDataObject) {
    HRESULT result = E_UNEXPECTED;
    const std::vector<std::wstring> traces = InitializeTraces(nullptr, result);
    EXPECT_EQ(result, S_OK);
    const std::vector<std::wstring> expected = {L"Initialize called\r\n", L"pDataObj=null\r\n"};
    EXPECT_EQ(traces, expected);
}

TEST_F(HandlerTest, InitializeWithDataObjectsOfEveryShape) {
    const std::wstring longName(300, L'a');
    const std::wstring longPath = L"Z:\\" + longName + L".exe";
    struct Case {
        const char* name;
        IDataObject* dataObject;
        std::wstring hr;
        std::wstring target;
    };
    const Case cases[] = {
        {"no CF_HDROP", CreateEmptyDataObject(), L"-2147467259", L"<empty>"},
        {"empty drop list", CreateDropDataObject({}), L"-2147467259", L"<empty>"},
        {"one file", CreateDropDataObject({L"C:\\tools\\one.exe"}), L"0", L"C:\\tools\\one.exe"},
        {"three files: the first counts",
         CreateDropDataObject({L"C:\\a\\first.dll", L"C:\\b\\second.exe", L"C:\\c\\third.exe"}), L"0",
         L"C:\\a\\first.dll"},
        {"path longer than 260 characters", CreateDropDataObject({longPath}), L"0", longPath},
        {"path of exactly 259 characters", CreateDropDataObject({L"C:\\" + std::wstring(256, L'b')}), L"0",
         L"C:\\" + std::wstring(256, L'b')},
        {"non-ASCII path", CreateDropDataObject({L"C:\\\u00e9t\u00e9\\\u6587.exe"}), L"0",
         L"C:\\\u00e9t\u00e9\\\u6587.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.dataObject, nullptr);
        HRESULT result = E_UNEXPECTED;
        const std::vector<std::wstring> traces = InitializeTraces(c.dataObject, result);
        EXPECT_EQ(result, S_OK);
        ASSERT_EQ(traces.size(), 4U);
        EXPECT_EQ(traces[0], L"Initialize called\r\n");
        EXPECT_EQ(traces[1], L"pDataObj=non-null\r\n");
        EXPECT_EQ(traces[2], L"GetSelectedPath hr=" + c.hr + L"\r\n");
        if (IsAscii(c.target)) {
            EXPECT_EQ(traces[3], L"target path=" + c.target + L"\r\n");
        } else {
            // The debugger channel of Wine carries the ANSI form: compare the length only.
            EXPECT_EQ(traces[3].size(), (L"target path=" + c.target + L"\r\n").size());
        }
        // The handler keeps no reference on the data object.
        EXPECT_EQ(c.dataObject->Release(), 0U);
    }
}

TEST_F(HandlerTest, ReplacePageIsNotImplemented) {
    const UINT pageIds[] = {0, 1, 0xFFFFFFFF};
    for (UINT id : pageIds) {
        EXPECT_EQ(sheet_->ReplacePage(id, nullptr, 0), E_NOTIMPL) << "page id " << id;
    }
}

struct CallbackRecord {
    int calls = 0;
    BOOL answer = FALSE;
    HPROPSHEETPAGE page = nullptr;
    LPARAM argument = 0;
};

BOOL CALLBACK RecordPage(HPROPSHEETPAGE page, LPARAM argument) {
    auto* record = reinterpret_cast<CallbackRecord*>(argument);
    ++record->calls;
    record->page = page;
    record->argument = argument;
    return record->answer;
}

TEST_F(HandlerTest, AddPagesWithoutCallback) {
    const ULONG before = References();
    DebugTraceCapture capture;
    EXPECT_EQ(sheet_->AddPages(nullptr, 0), E_POINTER);
    EXPECT_TRUE(capture.Lines().empty()) << "nothing is traced for a null callback";
    EXPECT_EQ(References(), before);
}

TEST_F(HandlerTest, AddPagesRefusedByTheShell) {
    const ULONG before = References();
    CallbackRecord record;
    record.answer = FALSE;
    DebugTraceCapture capture;
    EXPECT_EQ(sheet_->AddPages(RecordPage, reinterpret_cast<LPARAM>(&record)), E_FAIL);
    EXPECT_EQ(record.calls, 1);
    EXPECT_NE(record.page, nullptr);
    EXPECT_EQ(record.argument, reinterpret_cast<LPARAM>(&record));
    EXPECT_EQ(capture.Lines(), std::vector<std::wstring>{L"AddPages called\r\n"});
    // The page was destroyed and its reference given back exactly once.
    EXPECT_EQ(References(), before);
}

TEST_F(HandlerTest, PageNeverShownGivesItsReferenceBack) {
    const ULONG before = References();
    CallbackRecord record;
    record.answer = TRUE;
    ASSERT_EQ(sheet_->AddPages(RecordPage, reinterpret_cast<LPARAM>(&record)), S_OK);
    ASSERT_NE(record.page, nullptr);
    EXPECT_EQ(References(), before + 1) << "the page holds one reference";

    // The shell lets go of the handler first: the page's reference keeps it alive.
    sheet_->Release();
    sheet_ = nullptr;
    init_->AddRef();
    EXPECT_EQ(init_->Release(), 2U);
    EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);

    // The sheet destroys the page without ever creating its dialog.
    EXPECT_TRUE(DestroyPropertySheetPage(record.page));
    EXPECT_EQ(References(), 1U) << "the release callback gave the page's reference back";
}

// The page's window exists once the sheet shows it; its WM_DESTROY and the page's release
// callback must not both give back the same reference.
TEST_F(HandlerTest, ShownPageGivesItsReferenceBackOnce) {
    IDataObject* dataObject = CreateDropDataObject({L"Z:\\does\\not\\exist.exe"});
    ASSERT_NE(dataObject, nullptr);
    ASSERT_EQ(init_->Initialize(nullptr, dataObject, nullptr), S_OK);
    dataObject->Release();

    const ULONG before = References();
    CallbackRecord record;
    record.answer = TRUE;
    ASSERT_EQ(sheet_->AddPages(RecordPage, reinterpret_cast<LPARAM>(&record)), S_OK);
    PROPSHEETHEADERW header = {};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_MODELESS;
    header.pszCaption = L"exist.exe Properties";
    header.nPages = 1;
    header.phpage = &record.page;
    HWND window = reinterpret_cast<HWND>(PropertySheetW(&header));
    ASSERT_NE(window, nullptr);
    HWND page = PropSheet_GetCurrentPageHwnd(window);
    ASSERT_NE(page, nullptr) << "the first page is created with the sheet";
    EXPECT_EQ(References(), before + 2) << "one for the page description, one for the window";

    // Let the worker's outcome arrive (the file does not exist: it fails at once).
    const ULONGLONG deadline = GetTickCount64() + 10000;
    wchar_t status[128] = {};
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        GetDlgItemTextW(page, 1001, status, 128);
        Sleep(10);
    } while (std::wstring(status) == L"Quorvel: checking..." && GetTickCount64() < deadline);
    EXPECT_STREQ(status, L"Quorvel: unable to read file");

    DestroyWindow(window);
    EXPECT_EQ(References(), before) << "window and page description each gave back one reference";
}

}  // namespace
