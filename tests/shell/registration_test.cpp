// Self-registration into the Wine prefix's registry: the five values, repeated registration,
// repeated unregistration, parent keys left in place, the module path being the DLL's own.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell_test_support.h"

namespace {

using shell_test::Dll;
using shell_test::kClassIdText;

const std::wstring kClassKey = std::wstring(L"Software\\Classes\\CLSID\\") + kClassIdText;
const std::wstring kServerKey = kClassKey + L"\\InprocServer32";
const std::wstring kExeHandlerKey =
    L"Software\\Classes\\SystemFileAssociations\\.exe\\ShellEx\\PropertySheetHandlers\\quorvel";
const std::wstring kDllHandlerKey =
    L"Software\\Classes\\SystemFileAssociations\\.dll\\ShellEx\\PropertySheetHandlers\\quorvel";

struct StoredValue {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = 0;
    DWORD size = 0;
    std::vector<BYTE> data;
};

StoredValue ReadValue(const std::wstring& keyPath, const wchar_t* name) {
    StoredValue value;
    HKEY key = nullptr;
    value.status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key);
    if (value.status != ERROR_SUCCESS) {
        return value;
    }
    value.status = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &value.size);
    if (value.status == ERROR_SUCCESS) {
        value.data.resize(value.size);
        DWORD size = value.size;
        value.status = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
    }
    RegCloseKey(key);
    return value;
}

// The bytes RegSetValueExW stores for a REG_SZ with its terminating zero.
std::vector<BYTE> StringBytes(const std::wstring& text) {
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
}

bool KeyExists(const std::wstring& keyPath) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

DWORD ValueCount(const std::wstring& keyPath) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0xFFFFFFFF;
    }
    DWORD values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return values;
}

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
}

struct ExpectedValue {
    const char* name;
    std::wstring key;
    const wchar_t* valueName;
    std::wstring data;
};

std::vector<ExpectedValue> ExpectedValues(const std::wstring& modulePath) {
    return {
        {"class key default", kClassKey, nullptr, L"quorvel"},
        {"server path", kServerKey, nullptr, modulePath},
        {"threading model", kServerKey, L"ThreadingModel", L"Apartment"},
        {".exe handler", kExeHandlerKey, nullptr, kClassIdText},
        {".dll handler", kDllHandlerKey, nullptr, kClassIdText},
    };
}

void ExpectRegistered(const std::wstring& modulePath, const char* when) {
    for (const ExpectedValue& expected : ExpectedValues(modulePath)) {
        SCOPED_TRACE(std::string(when) + ": " + expected.name);
        const StoredValue stored = ReadValue(expected.key, expected.valueName);
        ASSERT_EQ(stored.status, ERROR_SUCCESS);
        EXPECT_EQ(stored.type, static_cast<DWORD>(REG_SZ));
        // The stored size counts the terminating zero character.
        EXPECT_EQ(stored.size, (expected.data.size() + 1) * sizeof(wchar_t));
        EXPECT_EQ(stored.data, StringBytes(expected.data));
    }
    EXPECT_EQ(ValueCount(kClassKey), 1U) << when;
    EXPECT_EQ(ValueCount(kServerKey), 2U) << when;
    EXPECT_EQ(ValueCount(kExeHandlerKey), 1U) << when;
    EXPECT_EQ(ValueCount(kDllHandlerKey), 1U) << when;
}

void ExpectUnregistered(const char* when) {
    const std::pair<const char*, std::wstring> removed[] = {
        {".exe handler key", kExeHandlerKey},
        {".dll handler key", kDllHandlerKey},
        {"class key", kClassKey},
        {"server key", kServerKey},
    };
    for (const auto& [name, key] : removed) {
        EXPECT_FALSE(KeyExists(key)) << when << ": " << name << " still exists";
    }
    const std::pair<const char*, const wchar_t*> kept[] = {
        {".exe handlers parent",
         L"Software\\Classes\\SystemFileAssociations\\.exe\\ShellEx\\PropertySheetHandlers"},
        {".dll handlers parent",
         L"Software\\Classes\\SystemFileAssociations\\.dll\\ShellEx\\PropertySheetHandlers"},
        {"CLSID", L"Software\\Classes\\CLSID"},
    };
    for (const auto& [name, key] : kept) {
        EXPECT_TRUE(KeyExists(key)) << when << ": " << name << " was removed";
    }
}

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(dll_.module(), nullptr) << "cannot load " << shell_test::ToUtf8(shell_test::DllPath());
        ASSERT_EQ(dll_.Unregister(), S_OK);
    }
    void TearDown() override { dll_.Unregister(); }

    Dll dll_;
};

TEST_F(RegistrationTest, WritesTheFiveValuesWithTheModulesOwnPath) {
    ASSERT_EQ(dll_.Register(), S_OK);
    const std::wstring modulePath = ModulePath(dll_.module());
    ASSERT_FALSE(modulePath.empty());
    // The DLL's own path, not the path of the program that loaded it.
    EXPECT_EQ(modulePath.substr(modulePath.size() - wcslen(shell_test::kDllName)),
              shell_test::kDllName);
    ExpectRegistered(modulePath, "after registering");
}

TEST_F(RegistrationTest, RegisteringTwiceLeavesTheSameValues) {
    ASSERT_EQ(dll_.Register(), S_OK);
    // A stale value of another installation is overwritten, not kept beside.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServerKey.c_str(), 0, KEY_WRITE, &key),
              ERROR_SUCCESS);
    const std::wstring stale = L"C:\\elsewhere\\old.dll";
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(stale.c_str()),
                   static_cast<DWORD>((stale.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);

    ASSERT_EQ(dll_.Register(), S_OK);
    ExpectRegistered(ModulePath(dll_.module()), "after registering twice");
}

TEST_F(RegistrationTest, UnregisteringRemovesTheKeysAndKeepsTheirParents) {
    ASSERT_EQ(dll_.Register(), S_OK);
    // Something below a handler key goes with it.
    HKEY extra = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kExeHandlerKey + L"\\extra").c_str(), 0, nullptr,
                              0, KEY_WRITE, nullptr, &extra, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(extra);

    EXPECT_EQ(dll_.Unregister(), S_OK);
    ExpectUnregistered("after unregistering once");
    EXPECT_EQ(dll_.Unregister(), S_OK);
    ExpectUnregistered("after unregistering twice");
}

TEST_F(RegistrationTest, UnregisteringWhatWasNeverRegisteredSucceeds) {
    EXPECT_EQ(dll_.Unregister(), S_OK);
    ExpectUnregistered("nothing registered");
}

TEST_F(RegistrationTest, TheSystemRegistrationToolUsesTheExports) {
    const std::wstring dllPath = shell_test::DllPath();
    const shell_test::ProcessResult registered =
        shell_test::RunProcess(L"regsvr32.exe /s \"" + dllPath + L"\"", 60000);
    ASSERT_TRUE(registered.finished);
    EXPECT_EQ(registered.exitCode, 0U);
    ExpectRegistered(dllPath, "after regsvr32");

    const shell_test::ProcessResult unregistered =
        shell_test::RunProcess(L"regsvr32.exe /u /s \"" + dllPath + L"\"", 60000);
    ASSERT_TRUE(unregistered.finished);
    EXPECT_EQ(unregistered.exitCode, 0U);
    ExpectUnregistered("after regsvr32 /u");
}

}  // namespace
