// The worker keeps its module mapped: a DLL whose worker is in the middle of a fetch is freed
// by its last user; the process must not crash, the module must stay loaded until the worker
// has returned, and then be unloaded.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"
#include "windows_test_files.h"

namespace {

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "unhandled exception 0x%08lX at %p on thread %lu\n",
                 info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress,
                 GetCurrentThreadId());
    std::fflush(stderr);
    // Without this, Wine may leave the crashed thread suspended and the process running.
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

// A loopback listener that accepts the TCP connection and then says nothing, so the worker's
// fetch blocks in the TLS handshake until the listener lets go.
class SilentListener {
public:
    SilentListener() {
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        int length = sizeof address;
        if (socket_ == INVALID_SOCKET ||
            bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(socket_, 4) != 0 ||
            getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
    }
    ~SilentListener() {
        if (client_ != INVALID_SOCKET) closesocket(client_);
        if (socket_ != INVALID_SOCKET) closesocket(socket_);
        if (started_) WSACleanup();
    }
    unsigned short Port() const { return port_; }

    // Waits at most timeoutMs for the worker's connection.
    bool Accept(int timeoutMs) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_, &readable);
        timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &timeout) != 1) {
            return false;
        }
        client_ = accept(socket_, nullptr, nullptr);
        return client_ != INVALID_SOCKET;
    }
    void DropClient() {
        if (client_ != INVALID_SOCKET) {
            closesocket(client_);
            client_ = INVALID_SOCKET;
        }
    }

private:
    bool started_ = false;
    SOCKET socket_ = INVALID_SOCKET;
    SOCKET client_ = INVALID_SOCKET;
    unsigned short port_ = 0;
};

TEST(WorkerModuleReference, ModuleStaysMappedUntilTheWorkerReturns) {
    SetUnhandledExceptionFilter(ReportCrash);
    SilentListener listener;
    ASSERT_NE(listener.Port(), 0) << "no loopback listener";

    windows_test::TempFolder temp;
    const std::wstring file = temp.Path() + L"\\blocking.exe";
    const std::string domain = "127.0.0.1:" + std::to_string(listener.Port());
    windows_test::WriteWholeFile(
        file, quorvel_test::SignPe(quorvel_test::MakeUnsignedPe({}),
                                   quorvel_test::KeyFromSeedByte(0x41), domain,
                                   quorvel_test::Container::kQuorvelEntry));

    const std::wstring name = QUORVEL_WORKER_MODULE_NAME;
    const std::wstring modulePath = windows_test::ExecutableFolder() + L"\\" + name;
    ASSERT_EQ(GetModuleHandleW(name.c_str()), nullptr) << "module loaded before the test";
    HMODULE module = LoadLibraryW(modulePath.c_str());
    ASSERT_NE(module, nullptr) << "LoadLibraryW failed with " << GetLastError();
    using StartFunction = int (*)(const wchar_t*);
    auto start = reinterpret_cast<StartFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "StartWorkerInModule")));
    ASSERT_NE(start, nullptr);
    ASSERT_EQ(start(file.c_str()), 1);

    // The worker has read the file and is now inside the fetch.
    ASSERT_TRUE(listener.Accept(20000)) << "the worker never connected";

    // The last user lets go while the worker runs: only the worker's reference is left.
    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_NE(GetModuleHandleW(name.c_str()), nullptr)
        << "the module was unloaded under a running worker";

    // Let the fetch fail; the worker returns and gives back its reference.
    listener.DropClient();
    bool unloaded = false;
    for (int i = 0; i < 600 && !unloaded; ++i) {  // at most 30 s
        unloaded = GetModuleHandleW(name.c_str()) == nullptr;
        if (!unloaded) {
            Sleep(50);
        }
    }
    EXPECT_TRUE(unloaded) << "the module stayed loaded after the worker returned: a reference "
                             "on it was never given back";
}

}  // namespace
