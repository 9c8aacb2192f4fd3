// The stand-in kernel's own checks, seen through a small driver whose
// misbehaviour each test chooses: what a real kernel would bug-check on, or
// what would leak, must show up among finish()'s faults; correct use must not.
#include <gtest/gtest.h>
#include <ntddk.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kt40kernel/Kernel.h"
#include "kt40sim/Adapter.h"

namespace {

using kt40kernel::AdapterOptions;
using kt40kernel::Handle;
using kt40kernel::Kernel;

// What the probe driver does with a device-control request.
enum class Misdeed {
    None,
    CompleteTwice,
    NeverComplete,
    WrongReturn,
    PortAccess,
    RegistryAtDispatch,
    LeakPool,
    DpcLeftQueued,
    DeclineInterrupt
};
Misdeed gMisdeed = Misdeed::None;
PDEVICE_OBJECT gLower = nullptr;

bool hasFault(const std::vector<std::string>& faults, const std::string& text) {
    return std::any_of(faults.begin(), faults.end(), [&](const std::string& f) { return f.find(text) != std::string::npos; });
}

NTSTATUS complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS probeCreateClose(PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); }

void idleDpc(PKDPC, PVOID, PVOID, PVOID) {}
BOOLEAN declineAll(PKINTERRUPT, PVOID) { return FALSE; }
PKINTERRUPT gInterrupt = nullptr;

NTSTATUS probeControl(PDEVICE_OBJECT device, PIRP irp) {
    switch (gMisdeed) {
    case Misdeed::DpcLeftQueued: {
        // A DPC in the device extension, queued while the DPC processor is
        // held, and never taken off before the device goes.
        auto* dpc = static_cast<PKDPC>(device->DeviceExtension);
        KeInitializeDpc(dpc, idleDpc, nullptr);
        KeInsertQueueDpc(dpc, nullptr, nullptr);
        return complete(irp, STATUS_SUCCESS);
    }
    case Misdeed::DeclineInterrupt: {
        const auto res = kt40sim::Adapter::instance().pciResources();
        const NTSTATUS s = IoConnectInterrupt(&gInterrupt, declineAll, nullptr, nullptr, res.vector,
                                              static_cast<KIRQL>(res.level), static_cast<KIRQL>(res.level),
                                              LevelSensitive, TRUE, res.affinity, FALSE);
        return complete(irp, s);
    }
    case Misdeed::CompleteTwice:
        // The second time without touching the request: the first freed it.
        complete(irp, STATUS_SUCCESS);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case Misdeed::NeverComplete:
        return STATUS_SUCCESS;
    case Misdeed::WrongReturn:
        complete(irp, STATUS_SUCCESS);
        return STATUS_UNSUCCESSFUL;
    case Misdeed::PortAccess: {
        ULONG v = 0;
        READ_PORT_BUFFER_ULONG(reinterpret_cast<PULONG>(uintptr_t{kt40sim::kControllerIoBase}), &v, 1);
        irp->IoStatus.Information = v;
        return complete(irp, STATUS_SUCCESS);
    }
    case Misdeed::RegistryAtDispatch: {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Registry\\Machine\\Nothing");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE key;
        ZwOpenKey(&key, KEY_READ, &oa);
        KeLowerIrql(old);
        return complete(irp, STATUS_SUCCESS);
    }
    case Misdeed::LeakPool:
        ExAllocatePoolWithTag(NonPagedPool, 16, 0x6b61654c);
        return complete(irp, STATUS_SUCCESS);
    case Misdeed::None:
        break;
    }
    return complete(irp, STATUS_SUCCESS);
}

// PnP: pass everything down; a start waits for the lower driver with a
// completion routine, as function drivers do; removal cleans up.
NTSTATUS onLowerDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PRKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS probePnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_START_DEVICE) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, onLowerDone, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(gLower, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        const NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(gLower, irp);
        IoDetachDevice(gLower);
        UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\PROBE");
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(device);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(gLower, irp);
}

NTSTATUS probeAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\PROBE");
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\PROBE");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(KDPC), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    IoCreateSymbolicLink(&link, &name);
    gLower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS probeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = probeCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = probeCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = probeControl;
    driver->MajorFunction[IRP_MJ_PNP] = probePnp;
    driver->DriverExtension->AddDevice = probeAddDevice;
    return STATUS_SUCCESS;
}

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        gMisdeed = Misdeed::None;
        ASSERT_EQ(kernel.loadDriver(probeEntry, L"probe"), STATUS_SUCCESS);
        NTSTATUS added;
        adapter = kernel.addAdapter(AdapterOptions{}, &added);
        ASSERT_EQ(added, STATUS_SUCCESS);
        ASSERT_EQ(kernel.open("\\\\.\\PROBE", handle), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (handle) kernel.close(handle);
        kernel.finish();
    }
    // Runs one control request with the chosen misdeed and ends the test's
    // kernel, returning the faults found.
    std::vector<std::string> faultsOf(Misdeed m) {
        gMisdeed = m;
        kernel.deviceControl(handle, 0x222003, nullptr, 0, nullptr, 0);
        kernel.close(handle);
        handle = 0;
        return kernel.finish();
    }
    Kernel& kernel = Kernel::instance();
    int adapter = -1;
    Handle handle = 0;
};

TEST_F(KernelTest, CorrectUseLeavesNoFault) {
    EXPECT_EQ(kernel.start(adapter), STATUS_SUCCESS);
    gMisdeed = Misdeed::PortAccess;
    EXPECT_EQ(kernel.deviceControl(handle, 0x222003, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_TRUE(faultsOf(Misdeed::None).empty());
}

TEST_F(KernelTest, DriverMisdeedsAreFaults) {
    EXPECT_TRUE(hasFault(faultsOf(Misdeed::CompleteTwice), "completed twice"));
    SetUp();
    EXPECT_TRUE(hasFault(faultsOf(Misdeed::NeverComplete), "without completing the request"));
    SetUp();
    EXPECT_TRUE(hasFault(faultsOf(Misdeed::WrongReturn), "returned 0xc0000001 for a request completed with 0x00000000"));
    SetUp();
    EXPECT_TRUE(hasFault(faultsOf(Misdeed::RegistryAtDispatch), "ZwOpenKey called at IRQL 2"));
    SetUp();
    EXPECT_TRUE(hasFault(faultsOf(Misdeed::LeakPool), "tag 0x6b61654c, never freed"));
}

TEST_F(KernelTest, DeviceDeletedWithItsDpcQueuedIsAFault) {
    kernel.hold(kt40kernel::HoldPoint::Dpc);
    EXPECT_TRUE(hasFault(faultsOf(Misdeed::DpcLeftQueued), "deleted while a DPC in it is queued"));
}

TEST_F(KernelTest, InterruptLineThatNoRoutineClaimsIsAFault) {
    gMisdeed = Misdeed::DeclineInterrupt;
    ASSERT_EQ(kernel.deviceControl(handle, 0x222003, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    kt40sim::Adapter::instance().raisePciInterrupt();
    kernel.settle();
    EXPECT_EQ(kernel.interruptsDeclined(), 1u);  // offered once, not in a storm
    IoDisconnectInterrupt(gInterrupt);
    EXPECT_TRUE(hasFault(faultsOf(Misdeed::None), "stays high and no service routine claims it"));
}

TEST_F(KernelTest, PortAccessNeedsAStartedDevice) {
    EXPECT_TRUE(hasFault(faultsOf(Misdeed::PortAccess), "while no started device owns"));
    SetUp();
    ASSERT_EQ(kernel.start(adapter), STATUS_SUCCESS);
    ASSERT_EQ(kernel.stop(adapter), STATUS_SUCCESS);
    EXPECT_TRUE(hasFault(faultsOf(Misdeed::PortAccess), "while no started device owns"));
    SetUp();
    ASSERT_EQ(kernel.start(adapter), STATUS_SUCCESS);
    EXPECT_TRUE(faultsOf(Misdeed::PortAccess).empty());
}

TEST_F(KernelTest, FailedBusStartReachesTheFunctionDriverThroughItsCompletionRoutine) {
    kernel.close(handle);
    handle = 0;
    kernel.finish();
    ASSERT_EQ(kernel.loadDriver(probeEntry, L"probe"), STATUS_SUCCESS);
    AdapterOptions o;
    o.busStartStatus = STATUS_DEVICE_NOT_READY;
    adapter = kernel.addAdapter(o);
    EXPECT_EQ(kernel.start(adapter), STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(kernel.finish().empty());
}

TEST_F(KernelTest, CleanupWithoutHandlerIsRefusedByTheDefault) {
    ASSERT_EQ(kernel.close(handle), STATUS_SUCCESS);
    handle = 0;
    const auto r = kernel.requests();
    ASSERT_GE(r.size(), 2u);
    EXPECT_EQ(r[r.size() - 2].major, IRP_MJ_CLEANUP);
    EXPECT_EQ(r[r.size() - 2].status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.back().major, IRP_MJ_CLOSE);
    EXPECT_EQ(r.back().status, STATUS_SUCCESS);
}

TEST(KernelServices, DebugOutputIsSplitIntoLinesAndReadsLongAs32Bits) {
    auto& kernel = Kernel::instance();
    DbgPrint("a 0x%08lx ", static_cast<ULONG>(0xDEADBEEF));
    DbgPrint("b %lu\nc", static_cast<ULONG>(7));
    DbgPrint("\n");
    EXPECT_EQ(kernel.traceLines(), (std::vector<std::string>{"a 0xdeadbeef b 7", "c"}));
    EXPECT_TRUE(kernel.finish().empty());
}

TEST(KernelServices, IrqlIsPerThreadAndSpinLocksRaiseIt) {
    auto& kernel = Kernel::instance();
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KIRQL other = HIGH_LEVEL;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL);
    PAGED_CODE();  // a fault: paged code at DISPATCH_LEVEL
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    const auto faults = kernel.finish();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_NE(faults[0].find("KeGetCurrentIrql() <= APC_LEVEL"), std::string::npos);
}

TEST(KernelServices, SpinLockExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            ++counter;
            KeReleaseSpinLock(&lock, old);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
    EXPECT_TRUE(Kernel::instance().finish().empty());
}

std::atomic<int> gDpcRuns{0};
std::atomic<int> gDpcIrql{0};
std::atomic<std::thread::id> gDpcThread;
void countDpc(PKDPC, PVOID, PVOID, PVOID) {
    ++gDpcRuns;
    gDpcIrql = KeGetCurrentIrql();
    gDpcThread = std::this_thread::get_id();
}

TEST(KernelServices, DpcRunsOnTheDpcProcessorOnceForTwoInserts) {
    auto& kernel = Kernel::instance();
    KDPC dpc;
    KeInitializeDpc(&dpc, countDpc, nullptr);
    gDpcRuns = 0;
    kernel.hold(kt40kernel::HoldPoint::Dpc);
    KIRQL old;
    KeRaiseIrql(15, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    KeLowerIrql(old);
    ASSERT_TRUE(kernel.waitHeld(kt40kernel::HoldPoint::Dpc, 1));
    EXPECT_EQ(gDpcRuns, 0);
    kernel.release(kt40kernel::HoldPoint::Dpc);
    kernel.settle();
    EXPECT_EQ(gDpcRuns, 1);
    EXPECT_EQ(kernel.dpcRuns(), 1u);
    EXPECT_EQ(gDpcIrql, DISPATCH_LEVEL);
    EXPECT_NE(gDpcThread.load(), std::this_thread::get_id());
    // Queued again once it has run; a queued DPC can be taken off.
    kernel.hold(kt40kernel::HoldPoint::Dpc);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    kernel.release(kt40kernel::HoldPoint::Dpc);
    KeFlushQueuedDpcs();
    EXPECT_EQ(gDpcRuns, 1);
    EXPECT_TRUE(kernel.finish().empty());
}

TEST(KernelServices, RegistryNamesIgnoreCase) {
    auto& kernel = Kernel::instance();
    kernel.setRegistryDword(L"\\Registry\\Machine\\Software\\Kt", L"Value", 42);
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\REGISTRY\\machine\\software\\KT");
    UNICODE_STRING value = RTL_CONSTANT_STRING(L"VALUE");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS);
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[32];
    } buf;
    ULONG length = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &value, KeyValuePartialInformation, &buf, 8, &length), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(ZwQueryValueKey(key, &value, KeyValuePartialInformation, &buf, sizeof buf, &length), STATUS_SUCCESS);
    ULONG v;
    std::memcpy(&v, buf.info.Data, 4);
    EXPECT_EQ(v, 42u);
    EXPECT_TRUE(hasFault(kernel.finish(), "registry key handle left open"));
}

// Securing a caller's range answers from the process's real mappings: the
// access asked for must hold on every page, and a handle must be given back.
TEST(KernelServices, SecuringUserMemoryFollowsTheMappings) {
    auto& kernel = Kernel::instance();
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto* base = static_cast<UCHAR*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    ASSERT_EQ(mprotect(base + page, page, PROT_READ), 0);
    ASSERT_EQ(munmap(base + 2 * page, page), 0);

    HANDLE rw = MmSecureVirtualMemory(base, page, PAGE_READWRITE);
    EXPECT_NE(rw, nullptr);
    HANDLE ro = MmSecureVirtualMemory(base + page - 4, 8, PAGE_READONLY);  // both pages are readable
    EXPECT_NE(ro, nullptr);
    EXPECT_EQ(MmSecureVirtualMemory(base + page - 4, 8, PAGE_READWRITE), nullptr);  // the second is not writable
    EXPECT_EQ(MmSecureVirtualMemory(base + 2 * page - 4, 8, PAGE_READONLY), nullptr);  // runs into the hole
    EXPECT_EQ(MmSecureVirtualMemory(base + 2 * page, 4, PAGE_READONLY), nullptr);
    EXPECT_EQ(MmSecureVirtualMemory(reinterpret_cast<PVOID>(MmUserProbeAddress), 4, PAGE_READONLY), nullptr);
    MmUnsecureVirtualMemory(ro);
    EXPECT_TRUE(kernel.finish() == std::vector<std::string>{"user memory left secured"});

    MmUnsecureVirtualMemory(rw);  // secured before finish(), which forgot it
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(MmSecureVirtualMemory(base, 4, PAGE_READONLY), nullptr);
    KeLowerIrql(old);
    const auto faults = kernel.finish();
    EXPECT_TRUE(hasFault(faults, "MmUnsecureVirtualMemory of a handle that is not secured"));
    EXPECT_TRUE(hasFault(faults, "MmSecureVirtualMemory called at IRQL 2"));
    munmap(base, 2 * page);
}

}  // namespace

TEST(KernelServices, BreakWithoutDebuggerIsABugCheck) {
    Kernel& k = Kernel::instance();
    EXPECT_TRUE(KdRefreshDebuggerNotPresent());
    DbgBreakPoint();
    EXPECT_TRUE(hasFault(k.finish(), "DbgBreakPoint without a kernel debugger"));
    k.attachDebugger(true);
    EXPECT_FALSE(KdRefreshDebuggerNotPresent());
    DbgBreakPoint();
    EXPECT_EQ(k.breakCount(), 1u);
    EXPECT_EQ(k.finish(), std::vector<std::string>{});
    EXPECT_TRUE(KdRefreshDebuggerNotPresent());  // finish() detaches it
}

TEST(KernelServices, RemoveLockWaitsOutItsHoldsAndRefusesNewOnes) {
    Kernel& k = Kernel::instance();
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0x3034744B, 0, 0);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);  // the remover's
    ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);  // another request's
    std::atomic<bool> done{false};
    std::thread remover([&] {
        IoReleaseRemoveLockAndWait(&lock, nullptr);
        done = true;
    });
    while (k.blockedWaiters() == 0) std::this_thread::yield();
    EXPECT_FALSE(done);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
    IoReleaseRemoveLock(&lock, nullptr);
    remover.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(k.finish(), std::vector<std::string>{});
    IoReleaseRemoveLock(&lock, nullptr);  // nothing left to release
    EXPECT_TRUE(hasFault(k.finish(), "IoReleaseRemoveLock without a hold to release"));
}
