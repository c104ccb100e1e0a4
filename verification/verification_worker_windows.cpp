// Windows worker threads. The thread holds a reference on the module that contains it, taken
// before it starts and given back by FreeLibraryAndExitThread as its very last act, so the
// shell can unload the module while a job runs without pulling the code from under the thread.
#include <process.h>
#include <windows.h>

#include <cstdint>

#include "worker_thread.h"

unsigned __stdcall VerificationThreadProc(void* request);

namespace {

// The module that holds this code: the DLL in the shell, the executable in tests.
LPCWSTR AddressInThisModule() { return reinterpret_cast<LPCWSTR>(&VerificationThreadProc); }

}  // namespace

unsigned __stdcall VerificationThreadProc(void* request) {
    ProcessVerificationRequest(static_cast<VerificationRequest*>(request));
    HMODULE module = nullptr;
    if (GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            AddressInThisModule(), &module)) {
        FreeLibraryAndExitThread(module, 0);
    }
    return 0;
}

bool StartWorkerThread(VerificationRequest* request) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, AddressInThisModule(),
                            &module)) {
        return false;
    }
    const std::uintptr_t thread =
        _beginthreadex(nullptr, 0, &VerificationThreadProc, request, 0, nullptr);
    if (thread == 0) {
        FreeLibrary(module);
        return false;
    }
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}
