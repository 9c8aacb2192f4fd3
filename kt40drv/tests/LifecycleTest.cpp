// The driver's entry, its devices' creation, start, stop and removal, open
// and close, as the PnP manager and a program drive them.
#include <thread>

#include "DriverFixture.h"

namespace {

using kt40kernel::AdapterOptions;

const std::wstring kParameters = kt40kernel::Kernel::servicePath() + L"\\Parameters";

bool noPciAccess(const kt40sim::Adapter& hw) {
    for (auto& a : hw.log())
        if (a.face != kt40sim::Face::Isa) return false;
    return true;
}

using Lifecycle = DriverTest;

TEST_F(Lifecycle, AdaptersAreNumberedAndAFailedAdapterKeepsItsUnit) {
    ASSERT_EQ(kernel.loadDriver(DriverEntry), STATUS_SUCCESS);
    NTSTATUS status;
    kernel.addAdapter({}, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);

    AdapterOptions refused;
    refused.refuseAttach = true;
    kernel.addAdapter(refused, &status);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(traced("kt40drv: Error constructing device Kt40drvDevice0x00000001 status 0xc000000e"));

    kernel.failNextDeviceCreation();
    kernel.addAdapter({}, &status);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(traced("kt40drv: Error creating device Kt40drvDevice0x00000001"));

    const int second = kernel.addAdapter({}, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(kernel.deviceNames(), (std::vector<std::wstring>{L"\\device\\kt400", L"\\device\\kt401"}));
    EXPECT_EQ(kernel.linkNames(), (std::vector<std::wstring>{L"\\dosdevices\\kt400", L"\\dosdevices\\kt401"}));
    EXPECT_EQ(kernel.topDevice(second)->DeviceType, FILE_DEVICE_UNKNOWN);
    EXPECT_TRUE(kernel.topDevice(second)->Flags & DO_DIRECT_IO);
    ASSERT_EQ(kernel.open("\\\\.\\KT401", handle), STATUS_SUCCESS);
    for (ULONG tag : kernel.poolTags()) EXPECT_EQ(tag, 0x3034744Bu);  // "Kt40"
}

TEST_F(Lifecycle, MissingResourceFailsTheStartAndHoldsNothing) {
    ASSERT_EQ(kernel.loadDriver(DriverEntry), STATUS_SUCCESS);
    for (int missing = 0; missing < 3; ++missing) {
        AdapterOptions o;
        o.omitBridge = missing == 0;
        o.omitController = missing == 1;
        o.omitInterrupt = missing == 2;
        const int a = kernel.addAdapter(o);
        EXPECT_EQ(kernel.start(a), STATUS_RESOURCE_TYPE_NOT_FOUND) << missing;
        EXPECT_EQ(kernel.connectedInterrupts(), 0u);
    }
    // The failed devices refuse control requests without reaching the port.
    ASSERT_EQ(kernel.open("\\\\.\\KT401", handle), STATUS_SUCCESS);
    hw.clearLog();
    ULONG in[2] = {0, 2}, out[3] = {};
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_CRATECOMMAND, in, 8, out, 8), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(noPciAccess(hw));
}

TEST_F(Lifecycle, StopReleasesAndStartTakesTheResourcesAgain) {
    Bring();
    EXPECT_EQ(kernel.connectedInterrupts(), 1u);
    ASSERT_EQ(kernel.stop(adapter), STATUS_SUCCESS);
    EXPECT_TRUE(traced("kt40drv: Entering Kt40drvDevice::OnStopDevice"));
    EXPECT_EQ(kernel.connectedInterrupts(), 0u);

    ULONG in[1] = {0}, out[3] = {};
    ULONG_PTR info = 99;
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in, 4, out, 12, &info), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(info, 0u);
    EXPECT_TRUE(noPciAccess(hw));

    ASSERT_EQ(kernel.start(adapter), STATUS_SUCCESS);
    EXPECT_EQ(kernel.connectedInterrupts(), 1u);
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in, 4, out, 12, &info), STATUS_SUCCESS);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(info, 3u);
}

TEST_F(Lifecycle, BlocksTranslatedToMemoryAreMappedAndUnmapped) {
    AdapterOptions o;
    o.portsInMemory = true;
    Bring(o);
    ULONG in[1] = {0}, out[3] = {};
    ASSERT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in, 4, out, 12), STATUS_SUCCESS);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(pciWriteValues(), (std::vector<uint32_t>{0x10002, 0x10004}));
    ASSERT_EQ(kernel.stop(adapter), STATUS_SUCCESS);  // finish() finds a mapping left behind
}

TEST_F(Lifecycle, BlocksInMemoryAreMappedByTheOlderCallWhereTheNewOneIsMissing) {
    // Elsewhere MmMapIoSpace is a fault: its mapping is executable.
    kernel.olderSystem();
    AdapterOptions o;
    o.portsInMemory = true;
    Bring(o);
    ULONG in[1] = {0}, out[3] = {};
    ASSERT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in, 4, out, 12), STATUS_SUCCESS);
    EXPECT_EQ(out[0], 0u);
}

TEST_F(Lifecycle, TheDeviceOpensSecurely) {
    Bring();
    EXPECT_TRUE(kernel.topDevice(adapter)->Characteristics & FILE_DEVICE_SECURE_OPEN);
}

TEST_F(Lifecycle, BlocksTooShortForTheirRegistersFailTheStart) {
    ASSERT_EQ(kernel.loadDriver(DriverEntry), STATUS_SUCCESS);
    struct Case {
        ULONG bridge, controller;
        NTSTATUS status;
    } cases[] = {{0x4C, 16, STATUS_DEVICE_CONFIGURATION_ERROR},
                 {0x50, 2, STATUS_DEVICE_CONFIGURATION_ERROR},
                 {0x50, 4, STATUS_SUCCESS}};
    for (const Case& c : cases) {
        AdapterOptions o;
        o.bridgeLength = c.bridge;
        o.controllerLength = c.controller;
        kernel.clearTrace();
        const int a = kernel.addAdapter(o);
        EXPECT_EQ(kernel.start(a), c.status) << c.bridge << " " << c.controller;
        EXPECT_EQ(kernel.connectedInterrupts(), NT_SUCCESS(c.status) ? 1u : 0u);
        const auto shown = kernel.shownTraceLines();
        EXPECT_EQ(std::any_of(shown.begin(), shown.end(),
                              [](const std::string& l) { return l.rfind("kt40drv: Register blocks too short", 0) == 0; }),
                  !NT_SUCCESS(c.status));
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(kernel.stop(a), STATUS_SUCCESS);
        }
    }
}

TEST_F(Lifecycle, RequestsTraceOnlyAtTheInformationalLevel) {
    Bring();
    kernel.clearTrace();
    ULONG in[2] = {0, KT40DRV_CRATE_C}, out[3] = {}, word = 0;
    ASSERT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_CRATECOMMAND, in, 8, out, 8), STATUS_SUCCESS);
    ASSERT_EQ(kernel.read(handle, &word, 4), STATUS_SUCCESS);
    ASSERT_EQ(kernel.write(handle, &word, 4), STATUS_SUCCESS);
    kt40kernel::Handle second = 0;
    ASSERT_EQ(kernel.open("\\\\.\\KT400", second), STATUS_SUCCESS);
    ASSERT_EQ(kernel.close(second), STATUS_SUCCESS);
    EXPECT_EQ(kernel.sendPower(adapter, IRP_MN_QUERY_POWER), STATUS_SUCCESS);
    EXPECT_EQ(kernel.shownTraceLines(), std::vector<std::string>{});
    // A debugger that asks for them still gets them, words unchanged.
    EXPECT_TRUE(traced("kt40drv: Entering Kt40drvDevice::KT40DRV_IOCTL_CRATECOMMAND_Handler, IRP_MJ_DEVICE_CONTROL "
                       "code 0x00222013 in 0x00000008 out 0x00000008"));
    EXPECT_TRUE(traced("kt40drv: Entering Kt40drvDevice::SerialWrite, IRP_MJ_WRITE length 0x00000004"));
}

TEST_F(Lifecycle, BreakOnEntryBreaksOnlyWhenNonZeroAndADebuggerIsAttached) {
    const std::string noBreak = "kt40drv: BreakOnEntry set, no kernel debugger attached: no break";
    struct Case {
        bool key;
        bool value;
        ULONG breakOnEntry;
        bool debugger;
        unsigned breaks;
        const char* loaded;
    } cases[] = {{false, false, 0, true, 0, nullptr},
                 {true, false, 0, true, 0, "kt40drv: m_bBreakOnEntry loaded from registry, resulting value: [0x00000000]"},
                 {true, true, 0, true, 0, "kt40drv: m_bBreakOnEntry loaded from registry, resulting value: [0x00000000]"},
                 {true, true, 0x1A, true, 1, "kt40drv: m_bBreakOnEntry loaded from registry, resulting value: [0x0000001a]"},
                 // No debugger: a break would bug check (finish() reports it).
                 {true, true, 1, false, 0, "kt40drv: m_bBreakOnEntry loaded from registry, resulting value: [0x00000001]"}};
    for (const Case& c : cases) {
        kernel.attachDebugger(c.debugger);
        if (c.key) kernel.setRegistryDword(kParameters, L"Other", 1);
        if (c.value) kernel.setRegistryDword(kParameters, L"BreakOnEntry", c.breakOnEntry);
        ASSERT_EQ(kernel.loadDriver(DriverEntry), STATUS_SUCCESS);
        EXPECT_EQ(kernel.breakCount(), c.breaks);
        auto lines = kernel.traceLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].rfind("kt40drv: In DriverEntry Compiled at ", 0), 0u);
        const bool refused = c.breakOnEntry && !c.debugger;
        EXPECT_EQ(lines.size() > 1 && lines[1] == noBreak, refused);
        if (refused) lines.erase(lines.begin() + 1);
        if (c.loaded) {
            ASSERT_EQ(lines.size(), 2u);
            EXPECT_EQ(lines[1], c.loaded);
        } else {
            EXPECT_EQ(lines.size(), 1u);
        }
        EXPECT_EQ(kernel.finish(), std::vector<std::string>{});
    }
}

TEST_F(Lifecycle, OpensAnyNumberOfTimesAndCleanupIsRefusedByTheSystem) {
    Bring();
    kt40kernel::Handle more[3];
    for (auto& h : more) ASSERT_EQ(kernel.open("\\\\.\\kt400", h), STATUS_SUCCESS);
    EXPECT_TRUE(traced("kt40drv: Entering Kt40drvDevice::Create, IRP_MJ_CREATE"));
    EXPECT_TRUE(traced("kt40drv: Kt40drvDevice::Create Status 0x00000000"));
    for (auto h : more) EXPECT_EQ(kernel.close(h), STATUS_SUCCESS);
    const auto r = kernel.requests();
    int cleanups = 0;
    for (auto& x : r) {
        if (x.major != IRP_MJ_CLEANUP) continue;
        ++cleanups;
        EXPECT_EQ(x.status, STATUS_INVALID_DEVICE_REQUEST);
    }
    EXPECT_EQ(cleanups, 3);
    EXPECT_TRUE(traced("kt40drv: Kt40drvDevice::Close Status 0x00000000"));
    // The device still answers after the refused cleanups.
    ULONG in[1] = {5}, out[4] = {};
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_DEBUG, in, 4, out, 16), STATUS_SUCCESS);
}

TEST_F(Lifecycle, PendingStopAndRemoveRefuseNewWorkUntilCancelled) {
    Bring();
    kernel.clearTrace();
    ULONG in[1] = {0}, out[3] = {};
    ASSERT_EQ(kernel.sendPnp(adapter, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in, 4, out, 12), STATUS_DEVICE_NOT_READY);
    ASSERT_EQ(kernel.sendPnp(adapter, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in, 4, out, 12), STATUS_SUCCESS);

    ASSERT_EQ(kernel.sendPnp(adapter, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    kt40kernel::Handle other = 0;
    EXPECT_EQ(kernel.open("\\\\.\\KT400", other), STATUS_DELETE_PENDING);
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in, 4, out, 12), STATUS_DELETE_PENDING);
    ASSERT_EQ(kernel.sendPnp(adapter, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in, 4, out, 12), STATUS_SUCCESS);
    EXPECT_EQ(out[0], 0u);
    // Each of the four went through DefaultPnp to the lower driver.
    for (const char* minor : {"IRP_MN_QUERY_STOP_DEVICE", "IRP_MN_CANCEL_STOP_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE",
                              "IRP_MN_CANCEL_REMOVE_DEVICE"})
        EXPECT_TRUE(traced(std::string("kt40drv: IRP_MJ_PNP ") + minor)) << minor;
}

TEST_F(Lifecycle, TheInterruptIsConnectedLatchedAndExclusiveWhenItsResourceSaysSo) {
    // The kernel checks the mode and sharing against the resource (a
    // mismatch is a fault at the end); the adapter's own is level and shared.
    kt40kernel::AdapterOptions options;
    options.latchedExclusiveInterrupt = true;
    Bring(options);
    EXPECT_EQ(kernel.connectedInterrupts(), 1u);
    EXPECT_EQ(kernel.finish(), std::vector<std::string>{});
    handle = 0;
    Bring();
    EXPECT_EQ(kernel.connectedInterrupts(), 1u);
}

TEST_F(Lifecycle, OtherRequestsGoToTheLowerDriver) {
    Bring();
    kernel.clearTrace();
    // The bus driver leaves a request it does not know as it came.
    EXPECT_EQ(kernel.sendPnp(adapter, IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(kernel.sendPower(adapter, IRP_MN_SET_POWER), STATUS_SUCCESS);
    EXPECT_EQ(kernel.sendSystemControl(adapter), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(kernel.traceLines(), (std::vector<std::string>{
                                       "kt40drv: Entering Kt40drvDevice::DefaultPnp",
                                       "kt40drv: IRP_MJ_PNP IRP_MN_QUERY_CAPABILITIES",
                                       "kt40drv: Entering Kt40drvDevice::DefaultPower",
                                       "kt40drv: IRP_MJ_POWER IRP_MN_SET_POWER",
                                       "kt40drv: Entering Kt40drvDevice::SystemControl",
                                   }));
}

TEST_F(Lifecycle, RemovalReleasesEverythingAndDeletesTheDevice) {
    Bring();
    ASSERT_EQ(kernel.close(handle), STATUS_SUCCESS);
    handle = 0;
    kernel.clearTrace();
    ASSERT_EQ(kernel.remove(adapter), STATUS_SUCCESS);
    EXPECT_EQ(kernel.traceLines(), (std::vector<std::string>{
                                       "kt40drv: Entering Kt40drvDevice::DefaultPnp",
                                       "kt40drv: IRP_MJ_PNP IRP_MN_QUERY_REMOVE_DEVICE",
                                       "kt40drv: Entering Kt40drvDevice::OnRemoveDevice",
                                       "kt40drv: Entering Kt40drvDevice::~Kt40drvDevice() (destructor)",
                                   }));
    EXPECT_TRUE(kernel.deviceNames().empty());
    EXPECT_TRUE(kernel.linkNames().empty());
    EXPECT_EQ(kernel.connectedInterrupts(), 0u);
    kt40kernel::Handle h = 0;
    EXPECT_EQ(kernel.open("\\\\.\\KT400", h), STATUS_OBJECT_NAME_NOT_FOUND);
}

// Another device keeps interrupting on the shared line while the adapter
// works, stops, starts, is pulled out and removed: the service routine is
// offered those interrupts whenever it is connected and must never read a
// block already given back (the kernel records that as a fault).
TEST_F(Lifecycle, AnotherDeviceOnTheSharedLineThroughStopStartAndRemoval) {
    kernel.keepSharedLineBusy(true);
    Bring();
    ULONG in[1] = {0}, out[3] = {};
    auto offered = [&] { return kernel.interruptsDeclined(); };
    for (int round = 0; round < 3; ++round) {
        const uint64_t before = offered();
        EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in, 4, out, 12), STATUS_SUCCESS);
        ASSERT_TRUE(eventually([&] { return offered() > before; }));
        ASSERT_EQ(kernel.stop(adapter), STATUS_SUCCESS);
        ASSERT_EQ(kernel.start(adapter), STATUS_SUCCESS);
    }
    ASSERT_EQ(kernel.sendPnp(adapter, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    ASSERT_EQ(kernel.close(handle), STATUS_SUCCESS);
    handle = 0;
    ASSERT_EQ(kernel.remove(adapter), STATUS_SUCCESS);
    kernel.keepSharedLineBusy(false);
}

// Power requests still come after a surprise removal (they go down the
// stack) and even after the removal, from a holder of a reference to the
// deleted device object: those are completed, never passed on to the device
// the removed one was attached to.
TEST_F(Lifecycle, PowerRequestsAfterRemovalAreCompletedHere) {
    Bring();
    ASSERT_EQ(kernel.sendPnp(adapter, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(kernel.sendPower(adapter, IRP_MN_SET_POWER), STATUS_SUCCESS);
    ASSERT_EQ(kernel.close(handle), STATUS_SUCCESS);
    handle = 0;
    EXPECT_EQ(kernel.removeThenPower(adapter, IRP_MN_SET_POWER), STATUS_DELETE_PENDING);
}

TEST_F(Lifecycle, CyclesOfConcurrentRequestsDoNotInterleave) {
    Bring();
    hw.setCrateOnline(1, true);
    hw.setDonePolls(20);
    auto readLams = [&](ULONG crate, int& failures) {
        for (int i = 0; i < 150; ++i) {
            ULONG in[1] = {crate << 14}, out[3] = {};
            if (kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in, 4, out, 12) != STATUS_SUCCESS || out[0] != 0)
                ++failures;
        }
    };
    int failures0 = 0, failures1 = 0;
    std::thread a(readLams, 0, std::ref(failures0)), b(readLams, 1, std::ref(failures1));
    a.join();
    b.join();
    EXPECT_EQ(failures0, 0);
    EXPECT_EQ(failures1, 0);
    // Every selection of the low LAM bits is followed by the high bits of the
    // same crate, with no other request's write between them.
    const auto writes = pciWriteValues();
    ASSERT_EQ(writes.size(), 600u);
    for (size_t i = 0; i < writes.size(); i += 2) {
        EXPECT_EQ(writes[i] & 0xFFFF, 2u);
        EXPECT_EQ(writes[i + 1], (writes[i] & ~0xFFFFu) | 4u);
    }
}

}  // namespace
