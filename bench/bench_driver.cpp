// kt40drv under the stand-in kernel: what a real machine would feel.
//   1. A dead adapter (done never comes) answers a control request only after
//      the poll limit; meanwhile reads keep arriving. Printed: the longest
//      stretch any processor spent at DISPATCH_LEVEL or above (port accesses
//      and time), and how long the control request and the reads took.
//   2. A deep queue of reads behind a held transfer drains. Printed: the
//      deepest nesting of start-I/O routines on one stack.
// The program prints its figures; it asserts nothing.
#include <wdm.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kt40drv/Kt40drvIoctl.h"
#include "kt40kernel/Kernel.h"
#include "kt40sim/Adapter.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

using Clock = std::chrono::steady_clock;
kt40kernel::Kernel& kernel = kt40kernel::Kernel::instance();
kt40sim::Adapter& hw = kt40sim::Adapter::instance();

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

kt40kernel::Handle bring() {
    kernel.loadDriver(DriverEntry);
    const int adapter = kernel.addAdapter({});
    kernel.start(adapter);
    kt40kernel::Handle handle = 0;
    kernel.open("\\\\.\\KT400", handle);
    hw.setLogging(false);
    return handle;
}

void finish(kt40kernel::Handle handle) {
    kernel.close(handle);
    for (auto& f : kernel.finish()) std::printf("    kernel fault: %s\n", f.c_str());
}

void deadAdapter() {
    const kt40kernel::Handle handle = bring();
    hw.setFault(kt40sim::Fault::DoneNever);
    const auto t0 = Clock::now();
    Clock::duration controlTime{};
    std::thread control([&] {
        ULONG in[1] = {KT40DRV_ADDRESS(0, 5, 0, 0, 0)}, out[3] = {};
        kernel.deviceControl(handle, KT40DRV_IOCTL_ADDRESSCOMMAND, in, 4, out, 12);
        controlTime = Clock::now() - t0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    constexpr int kReads = 100;
    std::vector<ULONG> words(kReads);
    const auto r0 = Clock::now();
    Clock::duration longestRead{};
    for (int i = 0; i < kReads; ++i) {
        const auto s = Clock::now();
        kernel.read(handle, &words[static_cast<size_t>(i)], 4);
        longestRead = std::max(longestRead, Clock::now() - s);
    }
    const auto readsTime = Clock::now() - r0;
    control.join();
    const auto stretch = kernel.longestRaisedStretch();
    std::printf("dead adapter: control request %.0f ms (poll limit %u reads); %d reads during it took %.1f ms "
                "(longest %.1f ms)\n",
                ms(controlTime), KT40DRV_POLL_LIMIT, kReads, ms(readsTime), ms(longestRead));
    std::printf("  longest stretch at DISPATCH_LEVEL or above: %llu port accesses, %.3f ms\n",
                static_cast<unsigned long long>(stretch.portAccesses), stretch.nanoseconds / 1e6);
    finish(handle);
}

void deepQueue(unsigned depth) {
    const kt40kernel::Handle handle = bring();
    kernel.hold(kt40kernel::HoldPoint::ControllerAccess);
    std::vector<ULONG> words(depth + 1);
    std::vector<kt40kernel::RequestId> ids(depth + 1);
    std::thread first([&] { ids[0] = kernel.beginRead(handle, &words[0], 4); });
    kernel.waitHeld(kt40kernel::HoldPoint::ControllerAccess);
    for (unsigned i = 1; i <= depth; ++i) ids[i] = kernel.beginRead(handle, &words[i], 4);
    const auto t0 = Clock::now();
    kernel.release(kt40kernel::HoldPoint::ControllerAccess);
    first.join();
    unsigned ok = 0;
    for (auto id : ids) ok += kernel.wait(id) == STATUS_SUCCESS;
    std::printf("deep queue: %u queued reads drained in %.1f ms, %u completed; deepest start-I/O nesting %u\n",
                depth, ms(Clock::now() - t0), ok, kernel.startIoNesting());
    finish(handle);
}

}  // namespace

int main() {
    setenv("KT40_SIM_STATE", "private", 0);  // a private, fresh crate
    deadAdapter();
    deepQueue(2000);
    return 0;
}
