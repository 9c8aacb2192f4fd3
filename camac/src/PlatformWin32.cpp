// Windows: the real WinDriver service, kt40drv's device and Win32 threads.
#include <windows.h>

#include <cstdio>

#include "Access.h"
#include "Platform.h"

namespace camac::platform {

Handle openService() {
    HANDLE h = CreateFileA("\\\\.\\WINDRVR6", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return h == INVALID_HANDLE_VALUE ? kInvalidHandle : reinterpret_cast<Handle>(h);
}

void control(Handle h, uint32_t code, void* record, uint32_t size, uint32_t* status) {
    DWORD returned = 0;
    DeviceIoControl(reinterpret_cast<HANDLE>(h), code, record, size, status, sizeof *status, &returned, nullptr);
}

void closeService(Handle h) { CloseHandle(reinterpret_cast<HANDLE>(h)); }

namespace {

struct Start {
    void (*fn)(void*);
    void* arg;
};

DWORD WINAPI trampoline(LPVOID p) {
    Start s = *static_cast<Start*>(p);
    HeapFree(GetProcessHeap(), 0, p);
    s.fn(s.arg);
    return 0;
}

}  // namespace

Thread startThread(void (*fn)(void*), void* arg) {
    auto* start = static_cast<Start*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Start)));
    if (!start) return nullptr;
    *start = Start{fn, arg};
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 4096, trampoline, start, 0, &id);
    if (!t) {
        HeapFree(GetProcessHeap(), 0, start);
        return nullptr;
    }
    return t;
}

void joinThread(Thread t) {
    WaitForSingleObject(static_cast<HANDLE>(t), INFINITE);
    CloseHandle(static_cast<HANDLE>(t));
}

void sleepMs(unsigned ms) { Sleep(ms); }

}  // namespace camac::platform

namespace camac::platform {

Handle openDevice(unsigned unit) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\KT40%u", unit);
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        set_error_text("Failed opening %s: access denied (the system, administrators and the crate's operators, "
                       "the Power Users group, may drive the crate)\n",
                       path);
    return h == INVALID_HANDLE_VALUE ? kInvalidHandle : reinterpret_cast<Handle>(h);
}

bool deviceControl(Handle h, uint32_t code, const void* in, uint32_t inBytes, void* out, uint32_t outBytes,
                   uint32_t* returned) {
    DWORD n = 0;
    const BOOL ok = DeviceIoControl(reinterpret_cast<HANDLE>(h), code, const_cast<void*>(in), inBytes, out, outBytes,
                                    &n, nullptr);
    *returned = n;
    return ok != FALSE;
}

void closeDevice(Handle h) { CloseHandle(reinterpret_cast<HANDLE>(h)); }

}  // namespace camac::platform
