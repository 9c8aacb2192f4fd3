// Teardown: the driver unloaded, and what the stand-in kernel reports when a
// test finishes (requests never completed, objects and memory left behind).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <utility>

#include "Io.h"
#include "State.h"
#include "kt40sim/Adapter.h"

using namespace kt40kernel::detail;
using kt40kernel::AdapterOptions;
using kt40kernel::RequestRecord;
using kt40kernel::RaisedStretch;

namespace kt40kernel {

void Kernel::unloadDriver() {
    PDRIVER_OBJECT d;
    size_t count;
    {
        std::lock_guard lock(state().mu);
        d = state().driver;
        count = state().adapters.size();
    }
    if (!d) return;
    for (size_t i = 0; i < count; ++i) {
        bool added;
        {
            std::lock_guard lock(state().mu);
            added = state().adapters[i].added;
        }
        if (added) {
            // Removal cannot be refused when the device goes away.
            pnp(static_cast<int>(i), IRP_MN_SURPRISE_REMOVAL);
            pnp(static_cast<int>(i), IRP_MN_REMOVE_DEVICE);
            setAssigned(static_cast<int>(i), false);
            std::lock_guard lock(state().mu);
            state().adapters[i].added = false;
        }
    }
    if (d->DeviceObject) fault("the driver is unloaded with device objects left");
    if (d->DriverUnload) d->DriverUnload(d);
    std::lock_guard lock(state().mu);
    state().driver = nullptr;
    deleteDriverObject(d);
}

PDRIVER_OBJECT Kernel::driverObject() const {
    std::lock_guard lock(state().mu);
    return state().driver;
}

std::vector<std::string> Kernel::finish() {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        detail::fault("the test ends at IRQL " + std::to_string(KeGetCurrentIrql()));
        KIRQL ignored;
        KeRaiseIrql(HIGH_LEVEL, &ignored);
        KeLowerIrql(PASSIVE_LEVEL);
    }
    {
        std::vector<PFILE_OBJECT> files;
        {
            std::lock_guard lock(state().mu);
            for (auto& [h, f] : state().files) files.push_back(f);
            state().files.clear();
        }
        for (auto* f : files) delete f;
    }
    unloadDriver();
    stopThreads();
    {
        // Requests the test did not collect: finished ones are let go
        // quietly; pending ones stay in the table and are reported below.
        std::vector<uint64_t> ids;
        {
            std::lock_guard lock(state().mu);
            for (auto& [id, r] : state().userRequests)
                if (r.finished) ids.push_back(id);
        }
        for (uint64_t id : ids) collect(id);
    }
    std::vector<std::string> faults;
    {
    std::lock_guard lock(state().mu);
    auto& s = state();
    for (auto& [id, r] : s.userRequests) delete r.mdl;
    for (auto& [irp, rec] : s.irps) {
        s.faults.push_back(rec.driverOwned ? "a request the driver allocated was never freed"
                                           : "a request was never completed");
        std::free(irp);
    }
    for (auto& [p, info] : s.pool) {
        s.faults.push_back("pool block of " + std::to_string(info.second) + " bytes, tag " + hex(info.first) +
                           ", never freed");
        std::free(p);
    }
    for (auto& [name, d] : s.devices) {
        if (d->DriverObject == s.busDriver) continue;
        s.faults.push_back("device " + narrow(name) + " left behind");
        std::free(d);
    }
    for (auto& [link, target] : s.links) s.faults.push_back("link " + narrow(link) + " left behind");
    for (auto* i : s.interrupts) {
        s.faults.push_back("interrupt left connected");
        delete i;
    }
    if (!s.keys.empty()) s.faults.push_back("registry key handle left open");
    if (!s.mappings.empty()) s.faults.push_back("I/O space left mapped");
    if (!s.secured.empty()) s.faults.push_back("user memory left secured");
    if (!s.dpcs.empty()) s.faults.push_back("DPC left queued");
    if (!s.partialLine.empty()) s.trace.push_back(s.partialLine);
    for (auto& a : s.adapters) {
        s.deviceName.erase(a.pdo);
        std::free(a.pdo);
    }
    if (s.busDriver) deleteDriverObject(s.busDriver);
    faults = std::move(s.faults);
    static_cast<detail::Tables&>(s) = detail::Tables{};
    }
    // Outside the tables' lock: the adapter tells the interrupt processor
    // about its line while it resets.
    detail::releaseInPageErrorRanges();
    kt40sim::Adapter::instance().reset();
    return faults;
}

}  // namespace kt40kernel
