// A loaded kt40drv under the stand-in kernel, with helpers that use the
// device as a program does.
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kt40drv/Kt40drvIoctl.h"
#include "kt40kernel/Kernel.h"
#include "kt40sim/Adapter.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Waits (up to 30 s) until another thread has brought about what `pred` checks.
template <typename Pred>
bool eventually(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

class DriverTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (handle) kernel.close(handle);
        EXPECT_EQ(kernel.finish(), std::vector<std::string>{});
    }

    // Loads the driver, adds one adapter with the options and starts it.
    void Bring(const kt40kernel::AdapterOptions& options = {}) {
        ASSERT_EQ(kernel.loadDriver(DriverEntry), STATUS_SUCCESS);
        NTSTATUS added;
        adapter = kernel.addAdapter(options, &added);
        ASSERT_EQ(added, STATUS_SUCCESS);
        ASSERT_EQ(kernel.start(adapter), STATUS_SUCCESS);
        ASSERT_EQ(kernel.open("\\\\.\\KT400", handle), STATUS_SUCCESS);
        hw.clearLog();
    }

    bool traced(const std::string& line) const {
        const auto lines = kernel.traceLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::vector<kt40sim::Access> pciWrites() const {
        std::vector<kt40sim::Access> v;
        for (auto& a : hw.log())
            if (a.face == kt40sim::Face::Pci && a.dir == kt40sim::Direction::Write) v.push_back(a);
        return v;
    }
    std::vector<kt40sim::Access> onFace(kt40sim::Face face) const {
        std::vector<kt40sim::Access> v;
        for (auto& a : hw.log())
            if (a.face == face) v.push_back(a);
        return v;
    }
    std::vector<uint32_t> pciWriteValues() const {
        std::vector<uint32_t> v;
        for (auto& a : pciWrites()) v.push_back(a.value);
        return v;
    }

    kt40kernel::Kernel& kernel = kt40kernel::Kernel::instance();
    kt40sim::Adapter& hw = kt40sim::Adapter::instance();
    int adapter = -1;
    kt40kernel::Handle handle = 0;
};
