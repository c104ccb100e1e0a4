// The module's COM objects through its exports: the class factory and the handler with their
// QueryInterface tables and reference counts, and DllCanUnloadNow over the module's counts.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <vector>

#include "shell_module.h"

namespace {

using namespace shell_test;

// A pointer value no call may write, to see whether an out-pointer was touched.
void* const kUntouched = reinterpret_cast<void*>(uintptr_t{0x5A5A5A5A});

HRESULT GetClassObject(REFCLSID classId, REFIID iid, void** object) {
    using Function = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    return Export<Function>("DllGetClassObject")(classId, iid, object);
}

ULONG References(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// Row i: for iids[i], the face handed out is faces[i] (null: refused, out-pointer null).
void ExpectQueries(IUnknown* object, const std::vector<const IID*>& iids,
                   const std::vector<void*>& faces) {
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    const ULONG before = References(object);
    for (size_t i = 0; i < iids.size(); ++i) {
        void* out = kUntouched;
        EXPECT_EQ(object->QueryInterface(*iids[i], &out), faces[i] ? S_OK : E_NOINTERFACE) << i;
        EXPECT_EQ(out, faces[i]) << i;
        if (faces[i] != nullptr) {
            EXPECT_EQ(References(object), before + 1) << "row " << i << " takes one reference";
            static_cast<IUnknown*>(out)->Release();
        }
    }
}

TEST(ComObjects, FactoryHandlerPagesAndTheModuleCount) {
    ASSERT_NE(Module(), nullptr);
    ASSERT_EQ(CanUnloadNow(), S_OK);
    void* out = kUntouched;
    EXPECT_EQ(GetClassObject(IID_IUnknown, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(GetClassObject(kClassId, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(out, kUntouched);
    EXPECT_EQ(GetClassObject(kClassId, IID_IShellExtInit, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(GetClassObject(kClassId, IID_IUnknown, IID_PPV_ARGS_Helper(&factory)), S_OK);
    ExpectQueries(factory, {&IID_IUnknown, &IID_IClassFactory, &IID_IShellExtInit},
                  {factory, factory, nullptr});
    EXPECT_EQ(factory->CreateInstance(factory, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    IShellPropSheetExt* sheet = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&sheet)), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->Release(), 0U);
    EXPECT_EQ(sheet->Release(), 0U);
    EXPECT_EQ(CanUnloadNow(), S_FALSE) << "a lock is outstanding";
    ASSERT_EQ(GetClassObject(kClassId, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&sheet)), S_OK);
    EXPECT_EQ(factory->Release(), 0U);
    EXPECT_EQ(CanUnloadNow(), S_FALSE) << "the handler is alive";

    IShellExtInit* init = nullptr;
    ASSERT_EQ(sheet->QueryInterface(IID_PPV_ARGS(&init)), S_OK);
    // One QueryInterface serves both faces (the second's is a thunk): one face's table shows it.
    ExpectQueries(sheet,
                  {&IID_IUnknown, &IID_IShellExtInit, &IID_IShellPropSheetExt, &IID_IClassFactory},
                  {init, init, sheet, nullptr});
    EXPECT_EQ(sheet->ReplacePage(0, nullptr, 0), E_NOTIMPL);
    const ULONG before = References(init);
    EXPECT_EQ(sheet->AddPages(nullptr, 0), E_POINTER);
    EXPECT_EQ(sheet->AddPages([](HPROPSHEETPAGE, LPARAM) -> BOOL { return FALSE; }, 0), E_FAIL);
    EXPECT_EQ(References(init), before) << "a refused page gives its reference back";
    HPROPSHEETPAGE page = nullptr;
    const auto keep = [](HPROPSHEETPAGE added, LPARAM slot) -> BOOL {
        *reinterpret_cast<HPROPSHEETPAGE*>(slot) = added;
        return TRUE;
    };
    ASSERT_EQ(sheet->AddPages(keep, reinterpret_cast<LPARAM>(&page)), S_OK);
    EXPECT_EQ(References(init), before + 1) << "the page holds one reference";
    EXPECT_TRUE(DestroyPropertySheetPage(page));
    EXPECT_EQ(References(init), before) << "a page never shown gives its reference back";
    init->Release();
    EXPECT_EQ(sheet->Release(), 0U);
    EXPECT_EQ(CanUnloadNow(), S_OK) << "an object or lock is left";
}

}  // namespace
