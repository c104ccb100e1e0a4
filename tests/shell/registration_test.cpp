// Self-registration into the Wine prefix's registry: what unregistering removes and keeps, and
// a failed write undone.
#include <gtest/gtest.h>
#include <shlwapi.h>
#include <windows.h>

#include <string>

#include "shell_module.h"

namespace {

using namespace shell_test;

HRESULT Register() { return Export("DllRegisterServer")(); }
HRESULT Unregister() { return Export("DllUnregisterServer")(); }

const std::wstring kClasses = L"Software\\Classes\\";
const std::wstring kClassKey = kClasses + L"CLSID\\" + kClassIdText;
std::wstring Handlers(const wchar_t* extension) {
    return kClasses + L"SystemFileAssociations\\" + extension + L"\\ShellEx\\PropertySheetHandlers";
}
const std::wstring kExeHandler = Handlers(L".exe") + L"\\quorvel";
const std::wstring kDllHandler = Handlers(L".dll") + L"\\quorvel";

bool KeyExists(const std::wstring& key) {
    HKEY handle = nullptr;
    const bool exists = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) == 0;
    RegCloseKey(handle);
    return exists;
}

// The values written are compared with the MSI's by tests/packaging/check-msi-wine.sh. A volatile
// key refuses non-volatile keys below it: in the second association's way, it fails that write.
TEST(Registration, UnregisteringAndAFailedWriteLeaveNoKeys) {
    ASSERT_NE(Module(), nullptr);
    ASSERT_EQ(Unregister(), S_OK) << "with nothing registered";
    ASSERT_EQ(Register(), S_OK);
    EXPECT_TRUE(KeyExists(kClassKey + L"\\InprocServer32"));
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (kExeHandler + L"\\below").c_str(), nullptr,
                              REG_SZ, L"", 2),
              0);
    EXPECT_EQ(Unregister(), S_OK);
    for (const std::wstring& key : {kExeHandler, kDllHandler, kClassKey})
        EXPECT_FALSE(KeyExists(key)) << key;
    for (const std::wstring& key : {Handlers(L".exe"), Handlers(L".dll"), kClasses + L"CLSID"})
        EXPECT_TRUE(KeyExists(key)) << key;

    const std::wstring blocked = kClasses + L"SystemFileAssociations\\.dll\\ShellEx";
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, blocked.c_str());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, blocked.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_WRITE, nullptr, &key, nullptr),
              0);
    RegCloseKey(key);
    EXPECT_EQ(Register(), HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE));
    EXPECT_FALSE(KeyExists(kExeHandler));
    EXPECT_FALSE(KeyExists(kClassKey));
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, blocked.c_str());
    EXPECT_EQ(Unregister(), S_OK);
}

}  // namespace
