// The class factory and the module's counts, through the DLL's exports.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "shell_test_support.h"

namespace {

using shell_test::Dll;
using shell_test::kClassId;

// A pointer value that no call may produce, to see whether an out-pointer was touched.
void* const kUntouched = reinterpret_cast<void*>(static_cast<uintptr_t>(0x5A5A5A5A));

// {00000000-1111-2222-3333-444444444444}: a class this module does not serve.
constexpr CLSID kOtherClassId = {0x00000000, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};

class ClassFactoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(dll_.module(), nullptr);
        ASSERT_EQ(dll_.CanUnloadNow(), S_OK) << "a previous test left something alive";
    }
    void TearDown() override { EXPECT_EQ(dll_.CanUnloadNow(), S_OK) << "something leaked"; }

    IClassFactory* NewFactory() {
        IClassFactory* factory = nullptr;
        EXPECT_EQ(dll_.GetClassObject(kClassId, IID_IClassFactory,
                                      reinterpret_cast<void**>(&factory)),
                  S_OK);
        return factory;
    }

    Dll dll_;
};

struct GetClassObjectCase {
    const char* name;
    const CLSID* classId;
    const IID* iid;
    bool nullOut;
    HRESULT expected;
    bool outTouched;  // set to null by the call
};

TEST_F(ClassFactoryTest, GetClassObjectFailuresLeaveNothingBehind) {
    const GetClassObjectCase cases[] = {
        {"another class", &kOtherClassId, &IID_IClassFactory, false, CLASS_E_CLASSNOTAVAILABLE, false},
        {"another class, null out", &kOtherClassId, &IID_IClassFactory, true, CLASS_E_CLASSNOTAVAILABLE, false},
        {"null out-pointer", &kClassId, &IID_IClassFactory, true, E_POINTER, false},
        {"IShellExtInit from the module", &kClassId, &IID_IShellExtInit, false, E_NOINTERFACE, true},
        {"IDataObject from the module", &kClassId, &IID_IDataObject, false, E_NOINTERFACE, true},
    };
    for (const GetClassObjectCase& c : cases) {
        SCOPED_TRACE(c.name);
        void* out = kUntouched;
        EXPECT_EQ(dll_.GetClassObject(*c.classId, *c.iid, c.nullOut ? nullptr : &out), c.expected);
        if (!c.nullOut) {
            EXPECT_EQ(out, c.outTouched ? nullptr : kUntouched);
        }
        // The factory made for a failed query is freed at once: the lock count is back.
        EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
    }
}

TEST_F(ClassFactoryTest, FactoryKeepsTheModuleUntilItsLastRelease) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(dll_.GetClassObject(kClassId, IID_IUnknown, reinterpret_cast<void**>(&factory)), S_OK);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->AddRef(), 2U);
    EXPECT_EQ(factory->Release(), 1U);
    EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->Release(), 0U);
    EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

TEST_F(ClassFactoryTest, TwoCallsGiveTwoDistinctFactories) {
    IClassFactory* first = NewFactory();
    IClassFactory* second = NewFactory();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    first->Release();
    EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE) << "the second factory still counts";
    second->Release();
}

TEST_F(ClassFactoryTest, FactoryQueryInterface) {
    IClassFactory* factory = NewFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);

    void* out = kUntouched;
    EXPECT_EQ(factory->QueryInterface(IID_IShellExtInit, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    const IID* same[] = {&IID_IUnknown, &IID_IClassFactory};
    for (const IID* iid : same) {
        void* itself = nullptr;
        ASSERT_EQ(factory->QueryInterface(*iid, &itself), S_OK);
        EXPECT_EQ(itself, static_cast<void*>(factory));
        EXPECT_EQ(factory->Release(), 1U) << "the query took exactly one reference";
    }
    EXPECT_EQ(factory->Release(), 0U);
}

struct CreateInstanceCase {
    const char* name;
    bool aggregate;
    const IID* iid;
    bool nullOut;
    HRESULT expected;
    bool outTouched;
};

TEST_F(ClassFactoryTest, CreateInstanceFailuresDestroyTheNewObject) {
    IClassFactory* factory = NewFactory();
    ASSERT_NE(factory, nullptr);
    IUnknown* outer = factory;  // any object will do as a would-be outer object
    const CreateInstanceCase cases[] = {
        {"aggregation", true, &IID_IUnknown, false, CLASS_E_NOAGGREGATION, false},
        {"null out-pointer", false, &IID_IShellExtInit, true, E_POINTER, false},
        {"IClassFactory", false, &IID_IClassFactory, false, E_NOINTERFACE, true},
        {"IDataObject", false, &IID_IDataObject, false, E_NOINTERFACE, true},
    };
    for (const CreateInstanceCase& c : cases) {
        SCOPED_TRACE(c.name);
        void* out = kUntouched;
        EXPECT_EQ(factory->CreateInstance(c.aggregate ? outer : nullptr, *c.iid,
                                          c.nullOut ? nullptr : &out),
                  c.expected);
        if (!c.nullOut) {
            EXPECT_EQ(out, c.outTouched ? nullptr : kUntouched);
        }
    }
    factory->Release();
    // No handler survived any of the failed calls.
    EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

TEST_F(ClassFactoryTest, CreateInstanceGivesEitherFaceOfOneObject) {
    IClassFactory* factory = NewFactory();
    ASSERT_NE(factory, nullptr);
    IShellPropSheetExt* sheetFace = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IShellPropSheetExt,
                                      reinterpret_cast<void**>(&sheetFace)),
              S_OK);
    IShellExtInit* initFace = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IShellExtInit,
                                      reinterpret_cast<void**>(&initFace)),
              S_OK);
    factory->Release();

    IUnknown* start = nullptr;
    ASSERT_EQ(sheetFace->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&start)), S_OK);
    IShellExtInit* startInit = nullptr;
    ASSERT_EQ(sheetFace->QueryInterface(IID_IShellExtInit, reinterpret_cast<void**>(&startInit)), S_OK);
    // The object's start is its IShellExtInit face; the second face sits elsewhere.
    EXPECT_EQ(static_cast<void*>(start), static_cast<void*>(startInit));
    EXPECT_NE(static_cast<void*>(start), static_cast<void*>(sheetFace));
    // A fresh handler has exactly one reference, the caller's.
    EXPECT_EQ(initFace->Release(), 0U);
    EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE) << "the first handler is still alive";
    start->Release();
    startInit->Release();
    EXPECT_EQ(sheetFace->Release(), 0U);
}

TEST_F(ClassFactoryTest, LockServerHoldsTheModule) {
    IClassFactory* factory = NewFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);

    IClassFactory* another = NewFactory();
    ASSERT_NE(another, nullptr);
    EXPECT_EQ(another->LockServer(FALSE), S_OK);
    another->Release();
    EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE) << "one lock is still outstanding";

    IClassFactory* last = NewFactory();
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->LockServer(FALSE), S_OK);
    last->Release();
    EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

}  // namespace
