#include "registration.h"

#include <objbase.h>
#include <shlwapi.h>

#include <array>
#include <string>

#include "shell/module_state.h"

namespace {

constexpr wchar_t kClassesPrefix[] = L"Software\\Classes";
constexpr wchar_t kClsidJoin[] = L"\\CLSID\\";
constexpr wchar_t kInprocServerKey[] = L"\\InprocServer32";
constexpr wchar_t kThreadingModelName[] = L"ThreadingModel";
constexpr wchar_t kThreadingModel[] = L"Apartment";
constexpr wchar_t kClassName[] = L"quorvel";
constexpr wchar_t kAssociationsJoin[] = L"\\SystemFileAssociations\\";
constexpr wchar_t kHandlerKeySuffix[] = L"\\ShellEx\\PropertySheetHandlers\\quorvel";
constexpr std::array<const wchar_t*, 2> kExtensions = {L".exe", L".dll"};

// Characters in the buffer that receives the class identifier's registry form.
constexpr int kClassIdChars = 64;
// Characters in the buffer that receives the module's path; a path needing this many or more
// is truncated and refused.
constexpr DWORD kModulePathChars = MAX_PATH;

// Closes a registry key on every way out.
class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    HKEY* put() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

HRESULT FormatClassId(std::wstring& text) {
    wchar_t buffer[kClassIdChars] = {};
    if (StringFromGUID2(CLSID_QuorvelPropertySheetHandler, buffer, kClassIdChars) == 0) {
        return E_FAIL;
    }
    text = buffer;
    return S_OK;
}

std::wstring ClassKeyPath(const std::wstring& classId) {
    return std::wstring(kClassesPrefix) + kClsidJoin + classId;
}

std::wstring HandlerKeyPath(const wchar_t* extension) {
    return std::wstring(kClassesPrefix) + kAssociationsJoin + extension + kHandlerKeySuffix;
}

// 0 and ERROR_FILE_NOT_FOUND (nothing to delete) count as success.
HRESULT DeleteTree(const std::wstring& keyPath) {
    const auto status = static_cast<LSTATUS>(SHDeleteKeyW(HKEY_LOCAL_MACHINE, keyPath.c_str()));
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        return S_OK;
    }
    return HResultFromWin32(status);
}

}  // namespace

HRESULT SetRegistryString(const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* data) {
    RegistryKey key;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_WRITE,
                                     nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        return HResultFromWin32(status);
    }
    // The stored size includes the terminating zero character.
    const DWORD bytes = static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t));
    status = RegSetValueExW(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                            bytes);
    return HResultFromWin32(status);
}

HRESULT RegisterClassKey() {
    try {
        wchar_t modulePath[kModulePathChars] = {};
        const DWORD length = GetModuleFileNameW(g_moduleInstance, modulePath, kModulePathChars);
        if (length == 0 || length >= kModulePathChars) {
            return HResultFromWin32(static_cast<long>(GetLastError()));
        }
        std::wstring classId;
        HRESULT hr = FormatClassId(classId);
        if (FAILED(hr)) {
            return hr;
        }
        const std::wstring classKey = ClassKeyPath(classId);
        hr = SetRegistryString(classKey.c_str(), nullptr, kClassName);
        if (FAILED(hr)) {
            return hr;
        }
        const std::wstring serverKey = classKey + kInprocServerKey;
        hr = SetRegistryString(serverKey.c_str(), nullptr, modulePath);
        if (FAILED(hr)) {
            return hr;
        }
        return SetRegistryString(serverKey.c_str(), kThreadingModelName, kThreadingModel);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT RegisterAssociations() {
    try {
        std::wstring classId;
        const HRESULT formatted = FormatClassId(classId);
        if (FAILED(formatted)) {
            return formatted;
        }
        for (const wchar_t* extension : kExtensions) {
            const HRESULT hr =
                SetRegistryString(HandlerKeyPath(extension).c_str(), nullptr, classId.c_str());
            if (FAILED(hr)) {
                UnregisterAssociations();
                return hr;
            }
        }
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT UnregisterAssociations() {
    try {
        HRESULT result = S_OK;
        for (const wchar_t* extension : kExtensions) {
            const HRESULT hr = DeleteTree(HandlerKeyPath(extension));
            if (FAILED(hr)) {
                result = hr;
            }
        }
        return result;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT UnregisterClassKey() {
    try {
        std::wstring classId;
        const HRESULT hr = FormatClassId(classId);
        if (FAILED(hr)) {
            return hr;
        }
        return DeleteTree(ClassKeyPath(classId));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDAPI DllRegisterServer() {
    const HRESULT classResult = RegisterClassKey();
    if (FAILED(classResult)) {
        return classResult;
    }
    const HRESULT associationResult = RegisterAssociations();
    if (SUCCEEDED(associationResult)) {
        return S_OK;
    }
    UnregisterAssociations();
    UnregisterClassKey();
    return associationResult;
}

STDAPI DllUnregisterServer() {
    const HRESULT associationResult = UnregisterAssociations();
    const HRESULT classResult = UnregisterClassKey();
    if (FAILED(associationResult)) {
        return associationResult;
    }
    return classResult;
}
