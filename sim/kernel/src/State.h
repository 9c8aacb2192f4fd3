// Shared state of the stand-in kernel, private to sim/kernel.
#pragma once

#include <wdm.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kt40kernel/Kernel.h"

namespace kt40kernel::detail {

struct IrpRecord {
    bool finished = false;     // completion reached the top of the stack
    bool driverOwned = false;  // from IoAllocateIrp: the driver frees it
    uint64_t id = 0;           // user-mode side: its RequestId
};

// A request of the user-mode side (or of the PnP manager) that the test has
// not collected yet. Its IRP and MDL are freed the moment it completes, as
// the I/O manager frees them, unless a cancel is offering it just then
// (holds): then when that ends. A touch of a completed request is a use
// after free.
struct UserRequest {
    PIRP irp = nullptr;
    UCHAR major = 0;
    UCHAR minor = 0;
    NTSTATUS returned = STATUS_PENDING;  // what the dispatch routine returned
    PMDL mdl = nullptr;
    bool finished = false;    // completion reached the top of the stack
    IO_STATUS_BLOCK status{};  // the request's, as it completed
    unsigned holds = 0;       // cancels offering the request now
};

struct AdapterRecord {
    AdapterOptions options;
    PDEVICE_OBJECT pdo = nullptr;
    bool assigned = false;  // resources handed out by a start, not yet taken back
    bool added = false;     // a function driver is attached
};

struct Mapping {
    uintptr_t virt;
    uint64_t phys;
    size_t length;
};

struct Interrupt {
    PKSERVICE_ROUTINE routine;
    PVOID context;
    KSPIN_LOCK ownLock = 0;
    PKSPIN_LOCK lock;
    ULONG vector;
    KIRQL irql;
};

// A device's deferred start-I/O, as the I/O manager keeps it: how many
// start-I/O calls are active on the device, and a start of the next packet
// asked for meanwhile.
struct StartIoState {
    std::atomic<bool> deferred{false};
    std::atomic<long> active{0};
    std::atomic<unsigned> pending{0};  // kStartNext | kCancelable
};
constexpr unsigned kStartNext = 1;
constexpr unsigned kCancelable = 2;

struct Tables {
    std::vector<std::string> faults;

    // Driver.
    PDRIVER_OBJECT driver = nullptr;
    std::wstring registryPath;
    PDRIVER_OBJECT busDriver = nullptr;

    // Object names, lower-cased.
    std::map<std::wstring, PDEVICE_OBJECT> devices;
    std::map<std::wstring, std::wstring> links;  // link -> device name
    std::map<PDEVICE_OBJECT, std::wstring> deviceName;
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> attachedTo;  // upper -> lower
    // Device objects another component holds a reference to (see
    // Kernel::removeThenPower): deleted ones stay allocated until it goes.
    std::map<PDEVICE_OBJECT, bool> referenced;  // -> deleted meanwhile
    uint64_t busPowerRequests = 0;  // power requests that reached the bus driver
    bool failNextCreate = false;

    std::map<PIRP, IrpRecord> irps;
    // Requests of the user-mode side that a test has not collected yet.
    std::map<uint64_t, UserRequest> userRequests;
    uint64_t nextRequest = 1;
    std::vector<uint64_t> completions;  // RequestIds in the order they completed
    bool failNextMdlMapping = false;
    bool cancelNextOnIssue = false;
    std::vector<RequestRecord> requests;
    std::map<Handle, PFILE_OBJECT> files;
    Handle nextHandle = 1;

    std::vector<AdapterRecord> adapters;
    std::vector<Mapping> mappings;
    uintptr_t nextMapping = 0x7E0000000000;
    std::vector<Interrupt*> interrupts;
    std::map<HANDLE, std::pair<uintptr_t, size_t>> secured;  // MmSecureVirtualMemory ranges
    uintptr_t nextSecure = 0x5EC00001;

    std::map<void*, std::pair<ULONG, size_t>> pool;

    std::map<std::wstring, std::map<std::wstring, ULONG>> registry;
    std::map<HANDLE, std::wstring> keys;
    uintptr_t nextKey = 0x100;

    std::string partialLine;
    std::vector<std::string> trace;
    std::vector<std::string> shownTrace;  // lines a default debugger filter shows
    bool partialShown = false;
    unsigned breaks = 0;
    bool debugger = false;  // a kernel debugger is attached

    std::vector<PRKDPC> dpcs;  // queued, in order
    PRKDPC dpcRunning = nullptr;
    uint64_t dpcRuns = 0;
    bool dpcHeld = false;
    unsigned waiters = 0;  // threads blocked in KeWaitForSingleObject

    std::vector<PortAccess> transcript;
    uint32_t (*controllerReadFilter)(uint32_t) = nullptr;
    bool olderSystem = false;  // no MmMapIoSpaceEx (see Kernel::olderSystem)
    bool cardGone = false;  // the adapter reads all ones, takes no writes
    // The longest stretch any thread spent at DISPATCH_LEVEL or above: port
    // accesses in it, and time (the two maxima are taken separately).
    uint64_t raisedAccesses = 0;
    uint64_t raisedNanos = 0;
    // The deepest nesting of start-I/O routines on one thread's stack.
    unsigned startIoNesting = 0;
    // Deferred start-I/O per device object (IoSetStartIoAttributes).
    std::map<PDEVICE_OBJECT, std::shared_ptr<struct StartIoState>> startIo;
};

struct State : Tables {
    mutable std::mutex mu;  // every table; never held while driver code runs
    std::condition_variable irpDone;
    std::condition_variable dpcChanged;
};

State& state();
void fault(const std::string& what);
std::wstring lower(std::wstring s);
std::wstring fromUnicode(PCUNICODE_STRING s);
std::string narrow(const std::wstring& s);
std::string hex(uint64_t v);

// Structured exceptions (Exceptions.cpp): the fault handlers that hand a
// fault in a listed routine to its exception handler, installed once; the
// ranges of Kernel::markInPageError, which the memory manager takes as
// committed; and their release at the end of a test.
void installExceptionDispatch();
bool inPageErrorCovers(uintptr_t start, size_t size);
void releaseInPageErrorRanges();

// Port and register routing to the virtual adapter (physical I/O addresses).
uint32_t ioRead(uint64_t phys);
void ioWrite(uint64_t phys, uint32_t value);

// The threads that stand for other processors: one delivers the adapter's
// interrupt to the connected service routines, one runs queued DPCs.
void wakeDpcThread();          // with state().mu held
void connectInterrupt(Interrupt* i);
bool disconnectInterrupt(Interrupt* i);
void stopThreads();            // without state().mu held
void settle();
void raiseShared();
void keepSharedLineBusy(bool on);
uint64_t interruptsClaimed();
uint64_t interruptsDeclined();

// Hold points (see Kernel::hold).
void park(HoldPoint point);
void setHold(HoldPoint point, bool on);
bool waitHeld(HoldPoint point, unsigned threads);

// The request the calling thread is dispatching (0 for none), for the
// port transcript.
extern thread_local uint64_t tRequest;
extern thread_local UCHAR tMajor;

}  // namespace kt40kernel::detail
