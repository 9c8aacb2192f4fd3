// The stand-in kernel's executive, HAL and run-time library: IRQL, spin
// locks, events, DPCs, interrupt objects, pool, strings, debugger output,
// I/O space mapping, port I/O and the registry.
#include <sched.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <algorithm>
#include <utility>

#include <ntddk.h>

#include "State.h"
#include "kt40sim/Adapter.h"

namespace kt40kernel::detail {

State& state() {
    static State s;
    return s;
}

void fault(const std::string& what) {
    std::lock_guard lock(state().mu);
    state().faults.push_back(what);
}

std::wstring lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return s;
}

std::wstring fromUnicode(PCUNICODE_STRING s) {
    if (!s || !s->Buffer) return {};
    return std::wstring(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%08llx", static_cast<unsigned long long>(v));
    return buf;
}

namespace {

thread_local KIRQL tIrql = PASSIVE_LEVEL;
thread_local char tThreadToken;  // its address identifies the thread as a lock owner
thread_local int tCriticalRegions = 0;

// The thread's current stretch at DISPATCH_LEVEL or above: when it began and
// the port accesses made in it. The longest stretches go into the tables
// when the thread drops below DISPATCH_LEVEL.
thread_local std::chrono::steady_clock::time_point tRaisedSince;
thread_local uint64_t tRaisedAccesses = 0;

void endRaisedStretch() {
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                            tRaisedSince).count();
    std::lock_guard lock(state().mu);
    auto& s = state();
    s.raisedAccesses = std::max(s.raisedAccesses, tRaisedAccesses);
    s.raisedNanos = std::max<uint64_t>(s.raisedNanos, static_cast<uint64_t>(nanos));
}

std::mutex eventMu;
std::condition_variable eventCv;

// How long a wait may take before the stand-in calls it a hang.
constexpr auto kHangLimit = std::chrono::seconds(30);

void checkIrqlAtMost(KIRQL most, const char* routine) {
    if (tIrql > most)
        fault(std::string(routine) + " called at IRQL " + std::to_string(tIrql) + ", above " +
              std::to_string(most));
}

// Whether [start, start + size) lies wholly in mappings of this process that
// can be read (and written, with `write`): what the memory manager checks
// before it secures a caller's range.
bool userRangeAllowsByMaps(uintptr_t start, size_t size, bool write) {
    FILE* maps = std::fopen("/proc/self/maps", "r");
    if (!maps) return false;
    const uintptr_t end = start + size;
    uintptr_t covered = start;
    char line[4096];
    while (covered < end && std::fgets(line, sizeof line, maps)) {
        unsigned long low = 0, high = 0;
        char perms[5] = {};
        if (std::sscanf(line, "%lx-%lx %4s", &low, &high, perms) != 3) continue;
        if (high <= covered) continue;
        if (low > covered) break;  // a hole: the list is in address order
        if (perms[0] != 'r' || (write && perms[1] != 'w')) break;
        covered = high;
    }
    std::fclose(maps);
    return covered >= end;
}

// The same, asked of the system: it copies the range out (and for `write`
// back in, unchanged) through the process's own mappings and their
// protections, and fails where a real access would fault. About a
// microsecond, where reading the maps takes a hundred; the maps remain the
// answer where the system refuses these calls to the process.
bool userRangeAllows(uintptr_t start, size_t size, bool write) {
    static std::atomic<bool> refused{false};
    if (refused.load(std::memory_order_relaxed))
        return inPageErrorCovers(start, size) || userRangeAllowsByMaps(start, size, write);
    if (size == 0) return true;
    if (start + size < start) return false;
    char chunk[4096];
    for (uintptr_t at = start, end = start + size; at < end;) {
        // Page by page: a page marked for in-page errors counts as committed.
        const size_t n = std::min<size_t>(sizeof chunk - at % sizeof chunk, end - at);
        if (inPageErrorCovers(at, n)) {
            at += n;
            continue;
        }
        iovec local{chunk, n};
        iovec remote{reinterpret_cast<void*>(at), n};
        const ssize_t got = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
        if (got < 0 && (errno == ENOSYS || errno == EPERM)) {
            refused.store(true);
            return userRangeAllowsByMaps(start, size, write);
        }
        if (got != static_cast<ssize_t>(n)) return false;
        if (write && process_vm_writev(getpid(), &local, 1, &remote, 1, 0) != static_cast<ssize_t>(n)) return false;
        at += n;
    }
    return true;
}

bool inBlock(uint64_t phys, uint32_t base, uint32_t length) { return phys >= base && phys < uint64_t{base} + length; }

// The I/O block an access falls in, checked against what the PnP manager has
// handed out; false (and a fault) for an access no started device may make.
bool portAllowed(uint64_t phys) {
    const auto res = kt40sim::Adapter::instance().pciResources();
    const bool decoded = inBlock(phys, res.bridgeBase, res.bridgeLength) ||
                         inBlock(phys, res.controllerBase, res.controllerLength);
    if (!decoded) {
        fault("I/O access at " + hex(phys) + ", outside the adapter's blocks");
        return false;
    }
    bool assigned = false;
    {
        std::lock_guard lock(state().mu);
        for (auto& a : state().adapters) assigned = assigned || a.assigned;
    }
    if (!assigned) fault("I/O access at " + hex(phys) + " while no started device owns the adapter's blocks");
    return assigned;
}

uint64_t mappedToPhys(volatile ULONG* reg) {
    const auto va = reinterpret_cast<uintptr_t>(reg);
    std::lock_guard lock(state().mu);
    for (auto& m : state().mappings)
        if (va >= m.virt && va < m.virt + m.length) return m.phys + (va - m.virt);
    state().faults.push_back("register access at " + hex(va) + ", not in any mapping of I/O space");
    return ~uint64_t{0};
}

}  // namespace

namespace {

// The bus: one port access at a time, in the order the transcript records.
std::mutex gBusMu;

bool inController(uint64_t phys) {
    const auto res = kt40sim::Adapter::instance().pciResources();
    return inBlock(phys, res.controllerBase, res.controllerLength);
}

bool cardGone() {
    std::lock_guard lock(state().mu);
    return state().cardGone;
}

void transcribe(bool write, uint64_t phys, uint32_t value) {
    std::lock_guard lock(state().mu);
    state().transcript.push_back({tRequest, tMajor, write, phys, value});
}

}  // namespace

void countRaisedAccess() {
    if (tIrql >= DISPATCH_LEVEL) ++tRaisedAccesses;
}

uint32_t ioRead(uint64_t phys) {
    countRaisedAccess();
    if (inController(phys)) park(HoldPoint::ControllerAccess);
    if (!portAllowed(phys)) return 0xFFFFFFFF;
    if (cardGone()) {
        transcribe(false, phys, 0xFFFFFFFF);
        return 0xFFFFFFFF;
    }
    auto& a = kt40sim::Adapter::instance();
    const auto res = a.pciResources();
    std::lock_guard bus(gBusMu);
    uint32_t v;
    if (inBlock(phys, res.bridgeBase, res.bridgeLength)) {
        v = a.bridgeRead(static_cast<uint32_t>(phys - res.bridgeBase));
    } else {
        v = a.pciRead(static_cast<uint32_t>(phys - res.controllerBase));
        uint32_t (*filter)(uint32_t);
        {
            std::lock_guard lock(state().mu);
            filter = state().controllerReadFilter;
        }
        if (filter) v = filter(v);
    }
    transcribe(false, phys, v);
    return v;
}

void ioWrite(uint64_t phys, uint32_t value) {
    countRaisedAccess();
    if (inController(phys)) park(HoldPoint::ControllerAccess);
    if (!portAllowed(phys)) return;
    if (cardGone()) {
        transcribe(true, phys, value);
        return;
    }
    auto& a = kt40sim::Adapter::instance();
    const auto res = a.pciResources();
    std::lock_guard bus(gBusMu);
    if (inBlock(phys, res.bridgeBase, res.bridgeLength))
        a.bridgeWrite(static_cast<uint32_t>(phys - res.bridgeBase), value);
    else
        a.pciWrite(static_cast<uint32_t>(phys - res.controllerBase), value);
    transcribe(true, phys, value);
}

}  // namespace kt40kernel::detail

using namespace kt40kernel::detail;

extern "C" {

ULONG_PTR MmUserProbeAddress = 0x7FFFFFFF0000;

VOID Kt40KernelAssertionFailed(PCSTR Expression, PCSTR File, ULONG Line) {
    fault(std::string("assertion failed: ") + Expression + " at " + File + ":" + std::to_string(Line));
}

// ---- IRQL and synchronisation ------------------------------------------------

KIRQL KeGetCurrentIrql(void) { return tIrql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (NewIrql < tIrql) fault("KeRaiseIrql to " + std::to_string(NewIrql) + " from " + std::to_string(tIrql));
    if (tIrql < DISPATCH_LEVEL && NewIrql >= DISPATCH_LEVEL) {
        tRaisedSince = std::chrono::steady_clock::now();
        tRaisedAccesses = 0;
    }
    *OldIrql = tIrql;
    tIrql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > tIrql) fault("KeLowerIrql to " + std::to_string(NewIrql) + " from " + std::to_string(tIrql));
    if (tIrql >= DISPATCH_LEVEL && NewIrql < DISPATCH_LEVEL) endRaisedStretch();
    tIrql = NewIrql;
}

VOID KeEnterCriticalRegion(void) {
    checkIrqlAtMost(APC_LEVEL, "KeEnterCriticalRegion");
    ++tCriticalRegions;
}

VOID KeLeaveCriticalRegion(void) {
    checkIrqlAtMost(APC_LEVEL, "KeLeaveCriticalRegion");
    if (--tCriticalRegions < 0) {
        fault("KeLeaveCriticalRegion without KeEnterCriticalRegion");
        tCriticalRegions = 0;
    }
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE); }

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    checkIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    const auto me = reinterpret_cast<ULONG_PTR>(&tThreadToken);
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == me) {
        fault("KeAcquireSpinLock on a lock the thread already holds (deadlock)");
        std::abort();
    }
    KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        sched_yield();
    }
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    const auto me = reinterpret_cast<ULONG_PTR>(&tThreadToken);
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != me) fault("KeReleaseSpinLock on a lock the thread does not hold");
    if (tIrql != DISPATCH_LEVEL) fault("KeReleaseSpinLock at IRQL " + std::to_string(tIrql));
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    KeLowerIrql(NewIrql);
}

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard lock(eventMu);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    checkIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    std::lock_guard lock(eventMu);
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    eventCv.notify_all();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    std::lock_guard lock(eventMu);
    Event->Header.SignalState = 0;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
    auto* event = static_cast<PRKEVENT>(Object);
    const bool poll = Timeout && Timeout->QuadPart == 0;
    if (!poll) checkIrqlAtMost(APC_LEVEL, "KeWaitForSingleObject");
    std::chrono::nanoseconds limit = kHangLimit;
    bool hangIsFault = true;
    if (Timeout && Timeout->QuadPart < 0) {
        limit = std::chrono::nanoseconds(-Timeout->QuadPart * 100);
        hangIsFault = false;
    }
    if (!poll) {
        std::lock_guard lock(state().mu);
        ++state().waiters;
    }
    std::unique_lock lock(eventMu);
    const bool signalled = poll ? event->Header.SignalState != 0
                                : eventCv.wait_for(lock, limit, [&] { return event->Header.SignalState != 0; });
    if (!poll) {
        std::lock_guard tables(state().mu);
        --state().waiters;
    }
    if (!signalled) {
        lock.unlock();
        if (hangIsFault) fault("KeWaitForSingleObject: the event was never set");
        return STATUS_TIMEOUT;
    }
    if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

LONG InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

// ---- DPC and interrupt ------------------------------------------------------------

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    std::lock_guard lock(state().mu);
    *Dpc = KDPC{};
    Dpc->Type = 19;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    // The DPC runs on the DPC processor, whatever the caller's IRQL.
    std::lock_guard lock(state().mu);
    if (Dpc->DpcData) return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    Dpc->DpcData = Dpc;
    state().dpcs.push_back(Dpc);
    wakeDpcThread();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    std::lock_guard lock(state().mu);
    auto& q = state().dpcs;
    for (auto it = q.begin(); it != q.end(); ++it) {
        if (*it == Dpc) {
            q.erase(it);
            Dpc->DpcData = nullptr;
            return TRUE;
        }
    }
    return FALSE;
}

VOID KeFlushQueuedDpcs(void) {
    checkIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    auto& s = state();
    std::unique_lock lock(s.mu);
    if (!s.dpcChanged.wait_for(lock, kHangLimit, [&] { return s.dpcs.empty() && !s.dpcRunning; })) {
        s.faults.push_back("KeFlushQueuedDpcs: queued DPCs did not run within 30 s");
    }
}

NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                            PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql, KIRQL SynchronizeIrql,
                            KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                            BOOLEAN) {
    checkIrqlAtMost(PASSIVE_LEVEL, "IoConnectInterrupt");
    const auto res = kt40sim::Adapter::instance().pciResources();
    if (Vector != res.vector || Irql != res.level || SynchronizeIrql < Irql || !(ProcessorEnableMask & res.affinity))
        return STATUS_INVALID_PARAMETER;
    // The mode and sharing must be the resource's, as the PnP manager handed it out.
    bool latchedExclusive = false;
    {
        std::lock_guard lock(state().mu);
        for (auto& a : state().adapters)
            if (a.assigned) latchedExclusive = a.options.latchedExclusiveInterrupt;
    }
    const bool levelSensitive = !latchedExclusive && res.levelSensitive;
    const bool shared = !latchedExclusive && res.shared;
    if ((InterruptMode == LevelSensitive) != levelSensitive)
        fault(std::string("IoConnectInterrupt ") + (InterruptMode == LevelSensitive ? "level-sensitive" : "latched") +
              " for a " + (levelSensitive ? "level-sensitive" : "latched") + " interrupt resource");
    if ((ShareVector != FALSE) != shared)
        fault(std::string("IoConnectInterrupt ") + (ShareVector ? "shared" : "exclusive") + " for a " +
              (shared ? "shared" : "device-exclusive") + " interrupt resource");
    auto* i = new Interrupt{ServiceRoutine, ServiceContext, 0, nullptr, Vector, Irql};
    i->lock = SpinLock ? SpinLock : &i->ownLock;
    *InterruptObject = reinterpret_cast<PKINTERRUPT>(i);
    connectInterrupt(i);
    return STATUS_SUCCESS;
}

VOID IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
    checkIrqlAtMost(PASSIVE_LEVEL, "IoDisconnectInterrupt");
    auto* i = reinterpret_cast<Interrupt*>(InterruptObject);
    if (disconnectInterrupt(i))
        delete i;
    else
        fault("IoDisconnectInterrupt of an interrupt that is not connected");
}

// ---- Device queues --------------------------------------------------------------------

namespace {
std::mutex gQueueMu;  // every device queue
}

VOID KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
    std::lock_guard lock(gQueueMu);
    DeviceQueue->Type = 20;
    DeviceQueue->Size = sizeof(KDEVICE_QUEUE);
    DeviceQueue->DeviceListHead.Flink = DeviceQueue->DeviceListHead.Blink = &DeviceQueue->DeviceListHead;
    DeviceQueue->Lock = 0;
    DeviceQueue->Busy = FALSE;
}

BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
    if (tIrql != DISPATCH_LEVEL) fault("KeInsertDeviceQueue called at IRQL " + std::to_string(tIrql));
    std::lock_guard lock(gQueueMu);
    if (!DeviceQueue->Busy) {
        DeviceQueue->Busy = TRUE;
        DeviceQueueEntry->Inserted = FALSE;
        return FALSE;
    }
    PLIST_ENTRY head = &DeviceQueue->DeviceListHead;
    PLIST_ENTRY e = &DeviceQueueEntry->DeviceListEntry;
    e->Flink = head;
    e->Blink = head->Blink;
    head->Blink->Flink = e;
    head->Blink = e;
    DeviceQueueEntry->Inserted = TRUE;
    return TRUE;
}

PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
    if (tIrql != DISPATCH_LEVEL) fault("KeRemoveDeviceQueue called at IRQL " + std::to_string(tIrql));
    std::lock_guard lock(gQueueMu);
    if (!DeviceQueue->Busy) fault("KeRemoveDeviceQueue of a queue that is not busy");
    PLIST_ENTRY head = &DeviceQueue->DeviceListHead;
    if (head->Flink == head) {
        DeviceQueue->Busy = FALSE;
        return nullptr;
    }
    PLIST_ENTRY e = head->Flink;
    head->Flink = e->Flink;
    e->Flink->Blink = head;
    auto* entry = reinterpret_cast<PKDEVICE_QUEUE_ENTRY>(reinterpret_cast<char*>(e) -
                                                         offsetof(KDEVICE_QUEUE_ENTRY, DeviceListEntry));
    entry->Inserted = FALSE;
    return entry;
}

BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
    checkIrqlAtMost(DISPATCH_LEVEL, "KeRemoveEntryDeviceQueue");
    std::lock_guard lock(gQueueMu);
    (void)DeviceQueue;
    if (!DeviceQueueEntry->Inserted) return FALSE;
    PLIST_ENTRY e = &DeviceQueueEntry->DeviceListEntry;
    e->Blink->Flink = e->Flink;
    e->Flink->Blink = e->Blink;
    DeviceQueueEntry->Inserted = FALSE;
    return TRUE;
}

// ---- Pool ----------------------------------------------------------------------------

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    checkIrqlAtMost(PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");
    if (PoolType == NonPagedPool) fault("ExAllocatePoolWithTag from NonPagedPool, which is executable: use NonPagedPoolNx");
    if (PoolType != NonPagedPool && PoolType != PagedPool && PoolType != NonPagedPoolNx)
        fault("ExAllocatePoolWithTag with pool type " + std::to_string(PoolType));
    void* p = std::calloc(1, NumberOfBytes ? NumberOfBytes : 1);
    if (!p) return nullptr;
    std::lock_guard lock(state().mu);
    state().pool[p] = {Tag, NumberOfBytes};
    return p;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    checkIrqlAtMost(DISPATCH_LEVEL, "ExFreePoolWithTag");
    {
        std::lock_guard lock(state().mu);
        auto it = state().pool.find(P);
        if (it == state().pool.end()) {
            state().faults.push_back("ExFreePoolWithTag of a block not allocated from the pool (or freed twice)");
            return;
        }
        if (it->second.first != Tag) state().faults.push_back("ExFreePoolWithTag with another tag than the block's");
        state().pool.erase(it);
    }
    std::free(P);
}

// ---- Run-time library -------------------------------------------------------------------

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    const size_t n = SourceString ? wcslen(SourceString) : 0;
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? (n + 1) * sizeof(WCHAR) : 0);
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return RtlAppendUnicodeStringToString(Destination, &s);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    int n = 0;
    do {
        const ULONG d = Value % Base;
        digits[n++] = static_cast<WCHAR>(d < 10 ? L'0' + d : L'A' + d - 10);
        Value /= Base;
    } while (Value);
    if (static_cast<size_t>(n) * sizeof(WCHAR) >= String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
    String->Buffer[n] = 0;
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// ---- Debugger ---------------------------------------------------------------------------

}  // extern "C"

namespace {

// Windows reads 'l' as 32 bits; here long has 64. Drop the 'l' of a single-l
// integer conversion so that the ULONG arguments are read as they were passed.
std::string windowsFormat(PCCH format) {
    std::string out;
    for (const char* p = format; *p; ++p) {
        out.push_back(*p);
        if (*p != '%') continue;
        ++p;
        while (*p && std::strchr("-+ #0123456789.*", *p)) out.push_back(*p++);
        if (*p == 'l' && p[1] && std::strchr("diouxX", p[1])) ++p;
        if (!*p) break;
        out.push_back(*p);
    }
    return out;
}

void emit(const std::string& prefix, PCCH format, va_list args, bool shown = true) {
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, windowsFormat(format).c_str(), args);
    std::lock_guard lock(state().mu);
    auto& s = state();
    std::string text = buf;
    size_t start = 0;
    while (start < text.size()) {
        if (s.partialLine.empty()) {
            s.partialLine = prefix;
            s.partialShown = shown;
        }
        const size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            s.partialLine += text.substr(start);
            break;
        }
        s.partialLine += text.substr(start, nl - start);
        s.trace.push_back(s.partialLine);
        if (s.partialShown) s.shownTrace.push_back(s.partialLine);
        s.partialLine.clear();
        start = nl + 1;
    }
}

}  // namespace

extern "C" {

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    emit("", Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

ULONG vDbgPrintExWithPrefix(PCCH Prefix, ULONG, ULONG Level, PCCH Format, va_list arglist) {
    // The default filter of a Windows machine shows error-level messages only.
    emit(Prefix ? Prefix : "", Format, arglist, Level == DPFLTR_ERROR_LEVEL);
    return STATUS_SUCCESS;
}

VOID DbgBreakPoint(void) {
    std::lock_guard lock(state().mu);
    ++state().breaks;
    if (!state().debugger)
        state().faults.push_back("DbgBreakPoint without a kernel debugger (bug check 0x80000003)");
}

// ---- Remove locks -------------------------------------------------------------------
// The documented semantics: the count starts at 1 (the lock's own hold),
// each acquire adds one, each release takes one; release-and-wait marks the
// lock removed, drops the caller's hold and the lock's own, and returns once
// the count is 0. Acquiring a removed lock fails with STATUS_DELETE_PENDING
// and takes nothing. A release the count does not cover is a fault.

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG, ULONG RemlockSize) {
    if (RemlockSize != sizeof(IO_REMOVE_LOCK)) fault("IoInitializeRemoveLockEx with a lock of another size");
    Lock->Removed = FALSE;
    Lock->IoCount = 1;
    KeInitializeEvent(&Lock->RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, PCSTR, ULONG, ULONG) {
    checkIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLock");
    const LONG count = __atomic_add_fetch(&RemoveLock->IoCount, 1, __ATOMIC_ACQ_REL);
    const bool removed = __atomic_load_n(&RemoveLock->Removed, __ATOMIC_ACQUIRE);
    // After release-and-wait the count is 0 and stays so: a request that
    // still reaches the device (one to a deleted device object that someone
    // holds a reference to) gets STATUS_DELETE_PENDING, as documented.
    if (count <= 1 && !removed) fault("IoAcquireRemoveLock of a lock that was never initialised");
    if (removed) {
        IoReleaseRemoveLockEx(RemoveLock, nullptr, sizeof(IO_REMOVE_LOCK));
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, ULONG) {
    checkIrqlAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLock");
    const LONG count = __atomic_sub_fetch(&RemoveLock->IoCount, 1, __ATOMIC_ACQ_REL);
    if (count < 0 || (count == 0 && !__atomic_load_n(&RemoveLock->Removed, __ATOMIC_ACQUIRE))) {
        fault("IoReleaseRemoveLock without a hold to release");
        return;
    }
    if (count == 0) KeSetEvent(&RemoveLock->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID, ULONG) {
    checkIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWait");
    if (__atomic_exchange_n(&RemoveLock->Removed, TRUE, __ATOMIC_ACQ_REL)) {
        fault("IoReleaseRemoveLockAndWait twice");
        return;
    }
    // The caller's hold, then the lock's own.
    IoReleaseRemoveLockEx(RemoveLock, nullptr, sizeof(IO_REMOVE_LOCK));
    IoReleaseRemoveLockEx(RemoveLock, nullptr, sizeof(IO_REMOVE_LOCK));
    KeWaitForSingleObject(&RemoveLock->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

BOOLEAN KdRefreshDebuggerNotPresent(void) {
    std::lock_guard lock(state().mu);
    return state().debugger ? FALSE : TRUE;
}

// ---- Memory manager -----------------------------------------------------------------------

HANDLE MmSecureVirtualMemory(PVOID Address, SIZE_T Size, ULONG ProbeMode) {
    checkIrqlAtMost(APC_LEVEL, "MmSecureVirtualMemory");
    if (KeGetCurrentIrql() > APC_LEVEL) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(Address);
    if (ProbeMode != PAGE_READONLY && ProbeMode != PAGE_READWRITE) {
        fault("MmSecureVirtualMemory with probe mode " + hex(ProbeMode));
        return nullptr;
    }
    if (Size == 0 || start + Size < start || start + Size > MmUserProbeAddress) return nullptr;
    if (!userRangeAllows(start, Size, ProbeMode == PAGE_READWRITE)) return nullptr;
    std::lock_guard lock(state().mu);
    auto& s = state();
    const auto handle = reinterpret_cast<HANDLE>(s.nextSecure++);
    s.secured[handle] = {start, Size};
    return handle;
}

VOID MmUnsecureVirtualMemory(HANDLE SecureHandle) {
    checkIrqlAtMost(APC_LEVEL, "MmUnsecureVirtualMemory");
    std::lock_guard lock(state().mu);
    if (state().secured.erase(SecureHandle) == 0)
        state().faults.push_back("MmUnsecureVirtualMemory of a handle that is not secured");
}

namespace {

PVOID mapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes) {
    std::lock_guard lock(state().mu);
    auto& s = state();
    const uintptr_t va = s.nextMapping;
    s.nextMapping += (NumberOfBytes + 0xFFFF) & ~uintptr_t{0xFFFF};
    s.mappings.push_back({va, static_cast<uint64_t>(PhysicalAddress.QuadPart), NumberOfBytes});
    return reinterpret_cast<PVOID>(va);
}

}  // namespace

// Where MmMapIoSpaceEx exists, Driver Verifier's code-integrity check stops
// at the first access through MmMapIoSpace's mapping (it is executable).
PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE) {
    checkIrqlAtMost(DISPATCH_LEVEL, "MmMapIoSpace");
    {
        std::lock_guard lock(state().mu);
        if (!state().olderSystem)
            state().faults.push_back("MmMapIoSpace maps I/O space executable; MmMapIoSpaceEx is there to use");
    }
    return mapIoSpace(PhysicalAddress, NumberOfBytes);
}

PVOID MmMapIoSpaceEx(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, ULONG Protect) {
    checkIrqlAtMost(DISPATCH_LEVEL, "MmMapIoSpaceEx");
    if (Protect != (PAGE_READWRITE | PAGE_NOCACHE)) fault("MmMapIoSpaceEx of registers with protection " + hex(Protect));
    return mapIoSpace(PhysicalAddress, NumberOfBytes);
}

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    checkIrqlAtMost(PASSIVE_LEVEL, "MmGetSystemRoutineAddress");
    const std::wstring name = fromUnicode(SystemRoutineName);
    std::lock_guard lock(state().mu);
    if (name == L"MmMapIoSpaceEx" && !state().olderSystem) return reinterpret_cast<PVOID>(&MmMapIoSpaceEx);
    return nullptr;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE,
                                   PVOID RequestedAddress, ULONG, ULONG Priority) {
    checkIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache");
    if (!(Priority & MdlMappingNoExecute)) fault("MmMapLockedPagesSpecifyCache without MdlMappingNoExecute: an executable mapping");
    PMDL mdl = MemoryDescriptorList;
    if (AccessMode != KernelMode || RequestedAddress) fault("MmMapLockedPagesSpecifyCache: only kernel-mode mappings are offered");
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) fault("MmMapLockedPagesSpecifyCache of an MDL whose pages are not locked");
    {
        std::lock_guard lock(state().mu);
        if (std::exchange(state().failNextMdlMapping, false)) return nullptr;
    }
    // Pages of the caller's buffer seen from system space: the same memory.
    mdl->MappedSystemVa = static_cast<char*>(mdl->StartVa) + mdl->ByteOffset;
    mdl->MdlFlags = static_cast<SHORT>(mdl->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
    return mdl->MappedSystemVa;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    if (!(MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != MemoryDescriptorList->MappedSystemVa)
        fault("MmUnmapLockedPages of a mapping that does not exist");
    MemoryDescriptorList->MdlFlags = static_cast<SHORT>(MemoryDescriptorList->MdlFlags & ~MDL_MAPPED_TO_SYSTEM_VA);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    checkIrqlAtMost(DISPATCH_LEVEL, "MmUnmapIoSpace");
    std::lock_guard lock(state().mu);
    auto& m = state().mappings;
    for (auto it = m.begin(); it != m.end(); ++it) {
        if (it->virt == reinterpret_cast<uintptr_t>(BaseAddress)) {
            if (it->length != NumberOfBytes) state().faults.push_back("MmUnmapIoSpace with another length than mapped");
            m.erase(it);
            return;
        }
    }
    state().faults.push_back("MmUnmapIoSpace of an address that is not mapped");
}

// ---- HAL: port and register I/O ----------------------------------------------------------

ULONG READ_PORT_ULONG(PULONG Port) { return ioRead(reinterpret_cast<uintptr_t>(Port)); }

VOID WRITE_PORT_ULONG(PULONG Port, ULONG Value) { ioWrite(reinterpret_cast<uintptr_t>(Port), Value); }

VOID READ_PORT_BUFFER_ULONG(PULONG Port, PULONG Buffer, ULONG Count) {
    for (ULONG i = 0; i < Count; ++i) Buffer[i] = ioRead(reinterpret_cast<uintptr_t>(Port));
}

VOID WRITE_PORT_BUFFER_ULONG(PULONG Port, PULONG Buffer, ULONG Count) {
    for (ULONG i = 0; i < Count; ++i) ioWrite(reinterpret_cast<uintptr_t>(Port), Buffer[i]);
}

ULONG READ_REGISTER_ULONG(volatile ULONG* Register) {
    ULONG value;
    READ_REGISTER_BUFFER_ULONG(Register, &value, 1);
    return value;
}

VOID WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) { WRITE_REGISTER_BUFFER_ULONG(Register, &Value, 1); }

VOID READ_REGISTER_BUFFER_ULONG(volatile ULONG* Register, PULONG Buffer, ULONG Count) {
    const uint64_t phys = mappedToPhys(Register);
    for (ULONG i = 0; i < Count; ++i) Buffer[i] = phys == ~uint64_t{0} ? 0xFFFFFFFF : ioRead(phys + 4 * i);
}

VOID WRITE_REGISTER_BUFFER_ULONG(volatile ULONG* Register, PULONG Buffer, ULONG Count) {
    const uint64_t phys = mappedToPhys(Register);
    if (phys == ~uint64_t{0}) return;
    for (ULONG i = 0; i < Count; ++i) ioWrite(phys + 4 * i, Buffer[i]);
}

// ---- Registry --------------------------------------------------------------------------

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes) {
    checkIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
    std::lock_guard lock(state().mu);
    auto& s = state();
    std::wstring path = fromUnicode(ObjectAttributes->ObjectName);
    if (ObjectAttributes->RootDirectory) {
        auto root = s.keys.find(ObjectAttributes->RootDirectory);
        if (root == s.keys.end()) return STATUS_INVALID_PARAMETER;
        path = root->second + L"\\" + path;
    }
    if (!(ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE))
        s.faults.push_back("ZwOpenKey without OBJ_CASE_INSENSITIVE: registry names ignore case");
    path = lower(path);
    if (!s.registry.count(path)) return STATUS_OBJECT_NAME_NOT_FOUND;
    const auto h = reinterpret_cast<HANDLE>(s.nextKey++);
    s.keys[h] = path;
    *KeyHandle = h;
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS Class,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    checkIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    std::lock_guard lock(state().mu);
    auto& s = state();
    auto key = s.keys.find(KeyHandle);
    if (key == s.keys.end()) return STATUS_INVALID_PARAMETER;
    if (Class != KeyValuePartialInformation) return STATUS_NOT_IMPLEMENTED;
    auto& values = s.registry[key->second];
    auto v = values.find(lower(fromUnicode(ValueName)));
    if (v == values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    const ULONG needed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG);
    *ResultLength = needed;
    if (Length < needed) return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
    info->TitleIndex = 0;
    info->Type = REG_DWORD;
    info->DataLength = sizeof(ULONG);
    std::memcpy(info->Data, &v->second, sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
    std::lock_guard lock(state().mu);
    if (!state().keys.erase(Handle)) {
        state().faults.push_back("ZwClose of a handle that is not open");
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
