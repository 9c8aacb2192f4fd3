// Linux: kt40drv's device for KT40_ADAPTER=virtual-pci. The real driver is
// loaded once per process into the stand-in kernel, which presents the
// virtual adapter's PCI face to it as a started PCI device; the library then
// opens \\.\KT40<unit> and sends its requests through the kernel's I/O
// manager, exactly as on Windows. The user's virtual crate is taken while a
// device is open, as the register path takes it at card registration.
#include <cstdlib>
#include <mutex>
#include <string>

#include "Access.h"
#include "Platform.h"
#include "UserCrate.h"
#include "kt40kernel/Kernel.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace camac::platform {

namespace {

std::mutex g_mu;
bool g_started = false;  // the driver loaded and the adapter started
int g_open = 0;          // devices open

// At exit the driver is unloaded and the kernel's own threads end, before
// the kernel itself goes. The user's crate is saved first: unloading resets
// the adapter, and a crate saved after that would lose every change.
void stop_driver() {
    std::lock_guard lock(g_mu);
    wdsim::releaseUserCrate();
    if (g_started) kt40kernel::Kernel::instance().finish();
    g_started = false;
}

bool start_driver() {
    auto& kernel = kt40kernel::Kernel::instance();
    if (kernel.loadDriver(DriverEntry) != STATUS_SUCCESS) return false;
    NTSTATUS added = STATUS_UNSUCCESSFUL;
    const int adapter = kernel.addAdapter({}, &added);
    const bool started = added == STATUS_SUCCESS && kernel.start(adapter) == STATUS_SUCCESS;
    // Registered after the start, whose kernel threads it must outlive.
    static const bool once = std::atexit(stop_driver) == 0;
    (void)once;
    return started;
}

}  // namespace

Handle openDevice(unsigned unit) {
    std::lock_guard lock(g_mu);
    if (g_open == 0 && wdsim::acquireUserCrate() != 0) {
        set_error_text("Failed opening \\\\.\\KT40%u: the virtual crate is held by another program (Resource "
                       "overlap)\n",
                       unit);
        return kInvalidHandle;
    }
    if (!g_started) g_started = start_driver();
    kt40kernel::Handle h = 0;
    if (!g_started ||
        kt40kernel::Kernel::instance().open("\\\\.\\KT40" + std::to_string(unit), h) != STATUS_SUCCESS) {
        if (g_open == 0) wdsim::releaseUserCrate();
        return kInvalidHandle;
    }
    ++g_open;
    return h;
}

bool deviceControl(Handle h, uint32_t code, const void* in, uint32_t inBytes, void* out, uint32_t outBytes,
                   uint32_t* returned) {
    ULONG_PTR information = 0;
    const NTSTATUS status = kt40kernel::Kernel::instance().deviceControl(static_cast<kt40kernel::Handle>(h), code,
                                                                         in, inBytes, out, outBytes, &information);
    *returned = static_cast<uint32_t>(information);
    return NT_SUCCESS(status);
}

void closeDevice(Handle h) {
    std::lock_guard lock(g_mu);
    kt40kernel::Kernel::instance().close(static_cast<kt40kernel::Handle>(h));
    if (--g_open == 0) wdsim::releaseUserCrate();
}

}  // namespace camac::platform
