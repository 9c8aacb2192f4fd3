// The one small interface between the library and its platform: the kernel
// service's device (open, device-control request, close) and the threads of
// the LAM link. On Windows it is Win32 itself; on Linux the stand-in service.
#pragma once

#include <cstddef>
#include <cstdint>

namespace camac::platform {

using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// Opens \\.\WINDRVR6 for reading, shared for reading and writing, overlapped.
Handle openService();
// One device-control request with `record` passed in place and a 4-byte
// output that receives the service's status. The call's own result is not
// needed by the library and is not returned.
void control(Handle h, uint32_t code, void* record, uint32_t size, uint32_t* status);
void closeService(Handle h);

// The PCI adapter's device of kt40drv, \\.\KT40<unit>: opened for reading
// and writing, not overlapped; invalid when there is none or it is refused.
Handle openDevice(unsigned unit);
// One device-control request with the caller's buffers. True when the driver
// completed it with success; `returned` gets what it returned.
bool deviceControl(Handle h, uint32_t code, const void* in, uint32_t inBytes, void* out, uint32_t outBytes,
                   uint32_t* returned);
void closeDevice(Handle h);

using Thread = void*;
// Starts fn(arg) on a new thread; null when it cannot be started.
Thread startThread(void (*fn)(void*), void* arg);
// Waits without limit until the thread has ended and releases it.
void joinThread(Thread t);
void sleepMs(unsigned ms);

#ifndef _WIN32
// For tests: while set, startThread fails as when the system has no thread
// to spare.
void refuseThreadStarts(bool refuse);
#endif

}  // namespace camac::platform
