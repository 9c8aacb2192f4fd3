// Linux: the device calls go to the stand-in WinDriver service, the LAM
// thread is a POSIX thread.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <new>

#include "Platform.h"
#include "kt40sim/WinDriver.h"

namespace camac::platform {

Handle openService() { return wdsim::open(wdsim::kDevicePath); }

void control(Handle h, uint32_t code, void* record, uint32_t size, uint32_t* status) {
    wdsim::deviceControl(h, code, record, size, status, sizeof *status);
}

void closeService(Handle h) { wdsim::close(h); }

namespace {

// The LAM thread runs the caller's handler, which typically makes CAMAC calls
// of its own: 4 KiB, enough on Windows where the stack is reserved in whole
// megabytes anyway, is below what Linux accepts for a thread.
constexpr size_t kLamThreadStack = 256 * 1024;

struct Start {
    void (*fn)(void*);
    void* arg;
};

void* trampoline(void* p) {
    Start s = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    s.fn(s.arg);
    return nullptr;
}

std::atomic<bool> g_refuseThreads{false};

}  // namespace

void refuseThreadStarts(bool refuse) { g_refuseThreads.store(refuse); }

Thread startThread(void (*fn)(void*), void* arg) {
    if (g_refuseThreads.load()) return nullptr;
    auto* start = new (std::nothrow) Start{fn, arg};
    auto* thread = new (std::nothrow) pthread_t;
    if (!start || !thread) {
        delete start;
        delete thread;
        return nullptr;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kLamThreadStack);
    const int rc = pthread_create(thread, &attr, trampoline, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        delete thread;
        return nullptr;
    }
    return thread;
}

void joinThread(Thread t) {
    auto* thread = static_cast<pthread_t*>(t);
    pthread_join(*thread, nullptr);
    delete thread;
}

void sleepMs(unsigned ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

}  // namespace camac::platform

#ifdef _WIN32
namespace camac::platform {

// The virtual-adapter DLL has its crate behind the stand-in service alone.
Handle openDevice(unsigned) { return kInvalidHandle; }
bool deviceControl(Handle, uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t* returned) {
    *returned = 0;
    return false;
}
void closeDevice(Handle) {}

}  // namespace camac::platform
#endif
