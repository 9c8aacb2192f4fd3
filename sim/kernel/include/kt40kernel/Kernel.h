// The stand-in Windows kernel seen from a test: it loads a driver, plays the
// Plug and Play manager for virtual PCI adapters, and offers the calls a
// user-mode program makes (open, device control, close).
//
// It is a test tool: every call the driver makes is checked, and what a real
// kernel would punish with a bug check, or what silently leaks, is recorded
// as a fault. finish() returns the faults of the test and puts the kernel back
// to its power-up state; a test passes only when that list is empty:
//   - a call at an IRQL its documentation forbids, a failed NT_ASSERT/PAGED_CODE;
//   - a request completed twice, or never completed by the end of the test
//     (a completed request is freed at once, as the I/O manager frees it: a
//     later touch is a use after free, which ASan reports);
//   - a fault on a caller's page outside a routine with an exception handler
//     (the test's process ends, as the machine would);
//   - a removed device that passes a power request on to its lower device;
//   - a dispatch routine that returns a status other than the request's own,
//     or returns without completing or pending the request;
//   - port I/O outside the adapter's blocks or while no started device owns them;
//   - a device object deleted while its queue holds requests, a DPC in it is
//     queued or running, or an interrupt is connected to it;
//   - an interrupt line that stays high while no service routine claims it;
//   - an interrupt connected with another mode or sharing than its resource says;
//   - an allocation from executable non-paged pool (NonPagedPool), an MDL
//     mapping without MdlMappingNoExecute, I/O space mapped executable;
//   - a debugger break (DbgBreakPoint) while no kernel debugger is attached;
//   - pool, IRPs, devices, links, interrupts or registry handles left behind.
//
// Everything here is thread-safe; each test thread starts at PASSIVE_LEVEL.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kt40kernel {

// How the PnP manager presents one virtual PCI adapter.
struct AdapterOptions {
    bool omitBridge = false;       // no I/O-port resource for BAR1
    bool omitController = false;   // no I/O-port resource for BAR3
    bool omitInterrupt = false;    // no interrupt resource
    bool portsInMemory = false;    // translated lists give the I/O blocks as memory
    bool refuseAttach = false;     // the bus driver's stack takes no upper device
    bool latchedExclusiveInterrupt = false;  // the interrupt resource says latched and
                                             // device-exclusive (the adapter's: level, shared)
    NTSTATUS busStartStatus = STATUS_SUCCESS;  // what the bus driver answers to a start
    ULONG bridgeLength = 0;      // BAR1's length in the lists (0: the adapter's)
    ULONG controllerLength = 0;  // BAR3's length in the lists (0: the adapter's)
};

// One request the I/O manager or PnP manager sent, as it finished.
struct RequestRecord {
    UCHAR major;
    UCHAR minor;
    NTSTATUS status;
    ULONG_PTR information;
    uint64_t id;  // the request as PortAccess::request names it
};

using Handle = int;  // > 0 when open
using RequestId = uint64_t;  // a read or write issued and not yet collected

// Points where the kernel can stop a thread until the test lets it go, so
// that a test can force one ordering of start-I/O, cancel, interrupt and DPC.
enum class HoldPoint {
    StartIo,           // IoStartPacket/IoStartNextPacket, before calling the start-I/O routine
    ControllerAccess,  // a port access in the adapter's controller block, before it happens
    Dpc,               // the DPC processor, before it takes the next queued DPC
    Interrupt,         // the interrupt processor, about to call the service routines
                       // (IoDisconnectInterrupt waits for it)
};

// One port access as the kernel routed it: the request whose dispatch the
// accessing thread was in (0 for the DPC and interrupt processors and for
// PnP work), that request's major function, and the access.
struct PortAccess {
    uint64_t request;
    UCHAR major;
    bool write;
    uint64_t phys;
    uint32_t value;
};

// The longest time a thread of the test spent at DISPATCH_LEVEL or above
// without dropping below it, in port accesses and in nanoseconds (each the
// maximum over all such stretches).
struct RaisedStretch {
    uint64_t portAccesses;
    uint64_t nanoseconds;
};

class Kernel {
public:
    static Kernel& instance();

    // ---- Driver ------------------------------------------------------------
    // Loads a driver under the service name: a driver object with every major
    // function refused by default, the registry path
    // "\Registry\Machine\System\CurrentControlSet\Services\<service>", then
    // DriverEntry at PASSIVE_LEVEL. Returns DriverEntry's status.
    NTSTATUS loadDriver(PDRIVER_INITIALIZE entry, const std::wstring& service = L"kt40drv");
    // Removes every adapter still present, then calls the unload routine.
    void unloadDriver();
    PDRIVER_OBJECT driverObject() const;
    static std::wstring servicePath(const std::wstring& service = L"kt40drv");

    // ---- Plug and Play manager -------------------------------------------------
    // Creates a bus-driver device for a new adapter and calls the driver's
    // AddDevice with it. Returns the adapter's id (>= 0); `status` gets what
    // AddDevice returned. After a failed AddDevice the adapter stays without
    // a function driver.
    int addAdapter(const AdapterOptions& options, NTSTATUS* status = nullptr);
    // Sends IRP_MN_START_DEVICE with the raw and translated resource lists.
    NTSTATUS start(int adapter);
    // IRP_MN_QUERY_STOP_DEVICE and, when it succeeds, IRP_MN_STOP_DEVICE;
    // on refusal IRP_MN_CANCEL_STOP_DEVICE. Returns the first failure or success.
    NTSTATUS stop(int adapter);
    // IRP_MN_QUERY_REMOVE_DEVICE and, when it succeeds, IRP_MN_REMOVE_DEVICE.
    NTSTATUS remove(int adapter);
    // Any PnP or power request by minor code, sent to the top of the stack.
    NTSTATUS sendPnp(int adapter, UCHAR minor);
    NTSTATUS sendPower(int adapter, UCHAR minor);
    NTSTATUS sendSystemControl(int adapter);
    // Removes the adapter (as remove()) while the power manager holds a
    // reference to the device object on top of its stack, then sends that
    // deleted object a power request, as the power manager may after a
    // removal; the object's memory stays until the reference goes. Returns
    // the power request's status (the removal's when it failed).
    NTSTATUS removeThenPower(int adapter, UCHAR minor);
    // The device object on top of the adapter's stack (null when none).
    PDEVICE_OBJECT topDevice(int adapter) const;

    // ---- User-mode side ------------------------------------------------------------
    // Opens "\\.\<link>" (or "\Device\<name>"); returns the status, `handle`
    // gets a handle on success.
    NTSTATUS open(const std::string& path, Handle& handle);
    // Device control with the caller's own buffers (METHOD_NEITHER passes them
    // as they are). `returned` gets the request's Information.
    NTSTATUS deviceControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                           ULONG_PTR* returned = nullptr);
    // Cleanup, then close, as the system does when the last handle goes.
    NTSTATUS close(Handle handle);
    // Reads and writes of a device with direct I/O: the caller's buffer
    // reaches the driver through an MDL (none for length 0). read/write wait
    // for completion; begin* return once the dispatch routine has returned,
    // and the request is collected with wait(). `returned` gets Information.
    NTSTATUS read(Handle handle, void* buffer, ULONG length, ULONG_PTR* returned = nullptr);
    NTSTATUS write(Handle handle, const void* buffer, ULONG length, ULONG_PTR* returned = nullptr);
    RequestId beginRead(Handle handle, void* buffer, ULONG length);
    RequestId beginWrite(Handle handle, const void* buffer, ULONG length);
    // IoCancelIrp on a request not yet completed; returns its result (false
    // also when the request has already completed).
    bool cancel(RequestId id);
    bool completed(RequestId id) const;
    // Waits for completion (a fault after 30 s) and returns the status.
    NTSTATUS wait(RequestId id, ULONG_PTR* returned = nullptr);
    // Reads, writes and device controls issued and not yet collected, in
    // issue order (also those whose dispatch routine has not yet returned).
    std::vector<RequestId> outstanding() const;
    // Requests of the user-mode side in the order they completed.
    std::vector<RequestId> completionOrder() const;
    // Requests of user calls and of the PnP manager, in the order they finished.
    std::vector<RequestRecord> requests() const;

    // ---- Registry --------------------------------------------------------------
    void setRegistryDword(const std::wstring& key, const std::wstring& name, ULONG value);
    void deleteRegistryKey(const std::wstring& key);

    // ---- Observation ---------------------------------------------------------------
    // Debugger output, one entry per line (text without the line end).
    std::vector<std::string> traceLines() const;
    // The lines a machine with the default debug filter shows: error level
    // (and DbgPrint) only; informational ones are filtered out.
    std::vector<std::string> shownTraceLines() const;
    void clearTrace();
    unsigned breakCount() const;
    // Attaches or detaches the kernel debugger (none at power-up): a break
    // without one is a bug check (0x80000003) on a real machine.
    void attachDebugger(bool attached);
    // Names of existing device objects and symbolic links.
    std::vector<std::wstring> deviceNames() const;
    std::vector<std::wstring> linkNames() const;
    // Interrupts connected now, and the tags of pool blocks allocated now.
    unsigned connectedInterrupts() const;
    // Every port access since the test began, in the order the bus saw them.
    std::vector<PortAccess> portTranscript() const;
    // See RaisedStretch: what a real machine would spend with a processor
    // unable to run anything but interrupts.
    RaisedStretch longestRaisedStretch() const;
    // The deepest nesting of start-I/O routines on one thread's stack (1 when
    // a queue drains without recursion).
    unsigned startIoNesting() const;
    // Threads now blocked in KeWaitForSingleObject or in IoDisconnectInterrupt.
    unsigned blockedWaiters() const;

    // ---- Interrupts and DPCs ---------------------------------------------------------
    // The adapter's PCI line is delivered by an interrupt processor of its
    // own: while the line is high, the connected service routines are called
    // at their device IRQL under their interrupt spin lock, until one claims
    // it. Queued DPCs run one at a time on a DPC processor at DISPATCH_LEVEL.
    // Another device on the shared line interrupts once: every service
    // routine is offered the interrupt until one claims it.
    void raiseSharedInterrupt();
    // Another device on the shared line interrupts again and again (every
    // few tens of microseconds) until switched off or finish(): connected
    // service routines are offered each interrupt, also while the adapter
    // starts, stops and goes, and the other device's routine takes it.
    void keepSharedLineBusy(bool on);
    uint64_t interruptsClaimed() const;
    uint64_t interruptsDeclined() const;
    uint64_t dpcRuns() const;
    // Waits until the line is serviced (or nothing is connected to it) and
    // no DPC is queued or running (queued ones stay while the DPC point is held).
    void settle();
    // Stops threads at a point until release(); waitHeld waits (up to 30 s)
    // until that many threads stand at the point.
    void hold(HoldPoint point);
    bool waitHeld(HoldPoint point, unsigned threads = 1);
    void release(HoldPoint point);
    std::vector<ULONG> poolTags() const;

    // ---- Faults ----------------------------------------------------------------------
    // The next IoCreateDevice fails with STATUS_INSUFFICIENT_RESOURCES.
    void failNextDeviceCreation();
    // The next request of the user-mode side is cancelled (IoCancelIrp) just
    // before it reaches the driver, as when its thread ends meanwhile.
    void cancelNextOnIssue();
    // The next system-space mapping of an MDL fails (MmGetSystemAddressForMdlSafe gives null).
    void failNextMdlMapping();
    // Every read of the adapter's controller block passes through `filter`
    // (the value the adapter gave in, what the driver sees out), e.g. to show
    // bit combinations the virtual adapter never makes. Until finish().
    void filterControllerReads(uint32_t (*filter)(uint32_t value));
    // The card drops off the bus (dead, or pulled out without warning): from
    // now on every read of its blocks gives all ones, writes go nowhere and
    // its interrupt line stays low. Until finish().
    void dropCard();
    // The system predates MmMapIoSpaceEx: MmGetSystemRoutineAddress does not
    // find it and MmMapIoSpace is no fault (otherwise it is: Driver Verifier's
    // code-integrity check stops at an executable I/O mapping). Until finish().
    void olderSystem();
    // The pages of [at, at + bytes) (at page-aligned) stay committed,
    // readable and writable for the memory manager (MmSecureVirtualMemory
    // secures them), but every access to them faults as an in-page error
    // does: a page of a mapped file on a failing share, or of a paging file
    // with a bad block. A fault there in a routine with an exception handler
    // goes to that handler; anywhere else it ends the test's process, as a
    // bug check would. finish() unmaps the pages. Returns false when the
    // pages could not be replaced.
    bool markInPageError(void* at, size_t bytes);
    // Records a fault of the running test.
    void fault(const std::string& what);
    // Ends a test: unloads a loaded driver, checks for what was left behind,
    // returns every fault recorded and resets the kernel and the adapter.
    std::vector<std::string> finish();

private:
    Kernel() = default;
};

}  // namespace kt40kernel
