// The stand-in kernel's I/O manager: the calls drivers make, cancel and
// the device queue, and the user-mode side of the test-facing Kernel class.
#include <chrono>
#include <algorithm>
#include <utility>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "Io.h"
#include "State.h"
#include "kt40sim/Adapter.h"

using namespace kt40kernel::detail;
using kt40kernel::AdapterOptions;
using kt40kernel::RequestRecord;
using kt40kernel::RaisedStretch;

namespace kt40kernel::detail {

void checkIrql(KIRQL most, const char* routine) {
    if (KeGetCurrentIrql() > most)
        fault(std::string(routine) + " called at IRQL " + std::to_string(KeGetCurrentIrql()) + ", above " +
              std::to_string(most));
}

PDEVICE_OBJECT attachedTop(PDEVICE_OBJECT d) {
    std::lock_guard lock(state().mu);
    while (d && d->AttachedDevice) d = d->AttachedDevice;
    return d;
}

NTSTATUS invalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT newDriverObject(const std::wstring& name) {
    auto* d = new DRIVER_OBJECT{};
    auto* ext = new DRIVER_EXTENSION{};
    ext->DriverObject = d;
    d->Type = 4;
    d->DriverExtension = ext;
    auto* buf = new wchar_t[name.size() + 1];
    std::wmemcpy(buf, name.c_str(), name.size() + 1);
    RtlInitUnicodeString(&d->DriverName, buf);
    for (auto& f : d->MajorFunction) f = invalidDeviceRequest;
    return d;
}

void deleteDriverObject(PDRIVER_OBJECT d) {
    delete[] d->DriverName.Buffer;
    delete d->DriverExtension;
    delete d;
}

PIRP allocateIrp(CHAR stackSize, bool driverOwned) {
    const size_t size = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    auto* irp = static_cast<PIRP>(std::calloc(1, size));
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    std::lock_guard lock(state().mu);
    state().irps[irp] = IrpRecord{false, driverOwned};
    return irp;
}

// A request leaves the I/O manager's table and its memory is freed. With
// state().mu held.
void releaseIrpLocked(PIRP irp) {
    state().irps.erase(irp);
    std::free(irp);
}

void releaseIrp(PIRP irp) {
    std::lock_guard lock(state().mu);
    releaseIrpLocked(irp);
}

// A completed request of the user-mode side: its IRP and MDL go. With
// state().mu held.
void retireLocked(UserRequest& r) {
    releaseIrpLocked(r.irp);
    r.irp = nullptr;
    delete r.mdl;
    r.mdl = nullptr;
}

// Sends a request the way the I/O or PnP manager does, in the calling
// thread, and returns once the dispatch routine has returned. A dispatch
// routine that returns without pending must have completed the request.
uint64_t issue(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, PFILE_OBJECT file, Fill fill, void* context,
               NTSTATUS initial, PMDL mdl) {
    PDEVICE_OBJECT top = attachedTop(device);
    PIRP irp = allocateIrp(top->StackSize, false);
    irp->RequestorMode = UserMode;
    irp->IoStatus.Status = initial;
    irp->MdlAddress = mdl;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->FileObject = file;
    if (fill) fill(irp, next, context);
    uint64_t id;
    bool cancel;
    {
        std::lock_guard lock(state().mu);
        cancel = std::exchange(state().cancelNextOnIssue, false);
        id = state().nextRequest++;
        state().userRequests[id] = UserRequest{irp, major, minor, STATUS_PENDING, mdl};
        state().irps[irp].id = id;
    }
    const uint64_t savedRequest = tRequest;
    const UCHAR savedMajor = tMajor;
    tRequest = id;
    tMajor = major;
    // Cancelled on its way down: no cancel routine is set yet, so only the
    // request's Cancel flag tells.
    if (cancel) IoCancelIrp(irp);
    const NTSTATUS returned = IofCallDriver(top, irp);
    tRequest = savedRequest;
    tMajor = savedMajor;
    std::lock_guard lock(state().mu);
    state().userRequests[id].returned = returned;
    return id;
}

// Waits for a request issued with issue() and takes it out of the tables.
IO_STATUS_BLOCK collect(uint64_t id) {
    UserRequest r;
    bool finished;
    {
        std::unique_lock lock(state().mu);
        auto it = state().userRequests.find(id);
        if (it == state().userRequests.end()) {
            state().faults.push_back("a request was collected twice or never issued");
            return IO_STATUS_BLOCK{};
        }
        UserRequest& u = it->second;
        if (u.returned == STATUS_PENDING)
            state().irpDone.wait_for(lock, std::chrono::seconds(30), [&] { return u.finished; });
        // A cancel still offering it lets it go soon.
        state().irpDone.wait_for(lock, std::chrono::seconds(30), [&] { return u.holds == 0; });
        finished = u.finished;
        r = u;
        state().userRequests.erase(it);
    }
    if (!finished) {
        fault(std::string(r.returned == STATUS_PENDING ? "a pending request was never completed"
                                                       : "a dispatch routine returned without completing the request") +
              " (major " + hex(r.major) + ")");
        IO_STATUS_BLOCK lost{};
        lost.Status = r.returned;
        return lost;  // left in the tables, reported again by finish()
    }
    if (r.returned != STATUS_PENDING && r.returned != r.status.Status)
        fault("a dispatch routine returned " + hex(static_cast<ULONG>(r.returned)) + " for a request completed with " +
              hex(static_cast<ULONG>(r.status.Status)));
    const IO_STATUS_BLOCK result = r.status;
    {
        std::lock_guard lock(state().mu);
        state().requests.push_back({r.major, r.minor, result.Status, result.Information, id});
    }
    return result;
}

IO_STATUS_BLOCK send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, PFILE_OBJECT file, Fill fill, void* context,
                     NTSTATUS initial) {
    return collect(issue(device, major, minor, file, fill, context, initial));
}

}  // namespace kt40kernel::detail


// ---- I/O manager calls of drivers ------------------------------------------------------------

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    checkIrql(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = nullptr;
    const std::wstring name = lower(fromUnicode(DeviceName));
    {
        std::lock_guard lock(state().mu);
        if (state().failNextCreate) {
            state().failNextCreate = false;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (!name.empty() && state().devices.count(name)) return STATUS_OBJECT_NAME_COLLISION;
    }
    const size_t head = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    auto* d = static_cast<PDEVICE_OBJECT>(std::calloc(1, head + DeviceExtensionSize));
    d->Type = IO_TYPE_DEVICE;
    d->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    d->DriverObject = DriverObject;
    d->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<char*>(d) + head : nullptr;
    d->DeviceType = DeviceType;
    d->Characteristics = DeviceCharacteristics;
    d->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    d->StackSize = 1;
    KeInitializeDeviceQueue(&d->DeviceQueue);
    std::lock_guard lock(state().mu);
    d->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = d;
    if (!name.empty()) state().devices[name] = d;
    state().deviceName[d] = name;
    state().startIo[d] = std::make_shared<StartIoState>();
    *DeviceObject = d;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    checkIrql(PASSIVE_LEVEL, "IoDeleteDevice");
    std::lock_guard lock(state().mu);
    auto& s = state();
    const std::wstring name = s.deviceName[DeviceObject];
    for (auto& [link, target] : s.links)
        if (!name.empty() && target == name) s.faults.push_back("device " + narrow(name) + " deleted while link " + narrow(link) + " still names it");
    if (s.attachedTo.count(DeviceObject)) s.faults.push_back("device " + narrow(name) + " deleted while still attached to a lower device");
    // What lives in the device object must be gone with it.
    const auto* begin = reinterpret_cast<const char*>(DeviceObject);
    const auto* end = begin + sizeof(DEVICE_OBJECT) + 16 + (DeviceObject->Size - sizeof(DEVICE_OBJECT));
    auto inside = [&](const void* p) { return p >= static_cast<const void*>(begin) && p < static_cast<const void*>(end); };
    for (PRKDPC dpc : s.dpcs)
        if (inside(dpc)) s.faults.push_back("device " + narrow(name) + " deleted while a DPC in it is queued");
    if (s.dpcRunning && inside(s.dpcRunning)) s.faults.push_back("device " + narrow(name) + " deleted while a DPC in it runs");
    for (Interrupt* i : s.interrupts)
        if (inside(i->context)) s.faults.push_back("device " + narrow(name) + " deleted while an interrupt is connected to it");
    if (DeviceObject->CurrentIrp || DeviceObject->DeviceQueue.Busy)
        s.faults.push_back("device " + narrow(name) + " deleted while its queue still holds requests");
    for (PDEVICE_OBJECT* p = &DeviceObject->DriverObject->DeviceObject; *p; p = &(*p)->NextDevice) {
        if (*p == DeviceObject) {
            *p = DeviceObject->NextDevice;
            break;
        }
    }
    s.devices.erase(name);
    s.deviceName.erase(DeviceObject);
    s.startIo.erase(DeviceObject);
    if (auto held = s.referenced.find(DeviceObject); held != s.referenced.end())
        held->second = true;  // freed when the reference goes
    else
        std::free(DeviceObject);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    checkIrql(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    std::lock_guard lock(state().mu);
    const std::wstring link = lower(fromUnicode(SymbolicLinkName));
    if (state().links.count(link)) return STATUS_OBJECT_NAME_COLLISION;
    state().links[link] = lower(fromUnicode(DeviceName));
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    checkIrql(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::lock_guard lock(state().mu);
    return state().links.erase(lower(fromUnicode(SymbolicLinkName))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    checkIrql(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    std::lock_guard lock(state().mu);
    auto& s = state();
    for (auto& a : s.adapters)
        if (a.pdo == TargetDevice && a.options.refuseAttach) return nullptr;
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice) top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CHAR>(top->StackSize + 1);
    s.attachedTo[SourceDevice] = top;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    checkIrql(PASSIVE_LEVEL, "IoDetachDevice");
    std::lock_guard lock(state().mu);
    if (!TargetDevice->AttachedDevice) {
        state().faults.push_back("IoDetachDevice of a device with nothing attached");
        return;
    }
    state().attachedTo.erase(TargetDevice->AttachedDevice);
    TargetDevice->AttachedDevice = nullptr;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    checkIrql(DISPATCH_LEVEL, "IoCallDriver");
    if (--Irp->CurrentLocation <= 0) {
        fault("IoCallDriver with no stack location left (NO_MORE_IRP_STACK_LOCATIONS)");
        std::abort();
    }
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    return DeviceObject->DriverObject->MajorFunction[stack->MajorFunction](DeviceObject, Irp);
}

VOID IofCompleteRequest(PIRP Irp, CHAR) {
    checkIrql(DISPATCH_LEVEL, "IoCompleteRequest");
    {
        std::lock_guard lock(state().mu);
        auto it = state().irps.find(Irp);
        if (it == state().irps.end()) {
            state().faults.push_back("IoCompleteRequest of a request the I/O manager does not know: completed twice (and freed), or never issued");
            return;
        }
        if (it->second.finished) {
            state().faults.push_back("request completed twice");
            return;
        }
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) fault("request completed with STATUS_PENDING");
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE)) fault("request completed with its cancel routine still set");
    // Walk up the stack, calling each completion routine that the driver above
    // set, as the real I/O manager does.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION done = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (done->Control & SL_PENDING_RETURNED) != 0;
        IoSkipCurrentIrpStackLocation(Irp);
        const bool ok = NT_SUCCESS(Irp->IoStatus.Status);
        const bool cancelled = __atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE);
        if (done->CompletionRoutine && ((ok && (done->Control & SL_INVOKE_ON_SUCCESS)) ||
                                        (!ok && (done->Control & SL_INVOKE_ON_ERROR)) ||
                                        (cancelled && (done->Control & SL_INVOKE_ON_CANCEL)))) {
            PDEVICE_OBJECT upper =
                Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
            if (done->CompletionRoutine(upper, Irp, done->Context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    std::lock_guard lock(state().mu);
    auto& rec = state().irps[Irp];
    rec.finished = true;
    if (rec.id) {
        state().completions.push_back(rec.id);
        auto it = state().userRequests.find(rec.id);
        if (it == state().userRequests.end()) {
            releaseIrpLocked(Irp);  // its collector gave up waiting for it
        } else {
            it->second.finished = true;
            it->second.status = Irp->IoStatus;
            if (it->second.holds == 0) retireLocked(it->second);
        }
    }
    state().irpDone.notify_all();
}

PIRP IoAllocateIrp(CHAR StackSize, BOOLEAN) {
    checkIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    PIRP irp = allocateIrp(StackSize, true);
    irp->RequestorMode = KernelMode;
    return irp;
}

VOID IoFreeIrp(PIRP Irp) {
    checkIrql(DISPATCH_LEVEL, "IoFreeIrp");
    {
        std::lock_guard lock(state().mu);
        auto it = state().irps.find(Irp);
        if (it == state().irps.end() || !it->second.driverOwned) {
            state().faults.push_back("IoFreeIrp of a request the driver did not allocate");
            return;
        }
    }
    releaseIrp(Irp);
}

// ---- Cancel and the device queue ------------------------------------------------------

namespace {
KSPIN_LOCK gCancelLock = 0;
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&gCancelLock, Irql); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&gCancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
    checkIrql(DISPATCH_LEVEL, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    const PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    if (KeGetCurrentIrql() != irql) {
        fault("a cancel routine returned without releasing the cancel spin lock at the request's CancelIrql");
        KeReleaseSpinLock(&gCancelLock, irql);
    }
    return TRUE;
}

}  // extern "C"

namespace {

thread_local unsigned tStartIoDepth = 0;

std::shared_ptr<StartIoState> startIoOf(PDEVICE_OBJECT device) {
    std::lock_guard lock(state().mu);
    auto it = state().startIo.find(device);
    return it == state().startIo.end() ? nullptr : it->second;
}

// Calls the driver's start-I/O routine, keeping the deepest nesting of such
// calls on one thread.
void callStartIo(PDEVICE_OBJECT device, PIRP irp) {
    park(kt40kernel::HoldPoint::StartIo);
    const unsigned depth = ++tStartIoDepth;
    {
        std::lock_guard lock(state().mu);
        state().startIoNesting = std::max(state().startIoNesting, depth);
    }
    device->DriverObject->DriverStartIo(device, irp);
    --tStartIoDepth;
}

// Takes the next request off the device queue and starts it, or marks the
// device idle.
void startNextNow(PDEVICE_OBJECT DeviceObject, bool Cancelable) {
    KIRQL cancelIrql = DISPATCH_LEVEL;
    if (Cancelable) IoAcquireCancelSpinLock(&cancelIrql);
    DeviceObject->CurrentIrp = nullptr;
    PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&DeviceObject->DeviceQueue);
    if (!entry) {
        if (Cancelable) IoReleaseCancelSpinLock(cancelIrql);
        return;
    }
    auto* irp = reinterpret_cast<PIRP>(reinterpret_cast<char*>(entry) - offsetof(IRP, Tail.Overlay.DeviceQueueEntry));
    DeviceObject->CurrentIrp = irp;
    if (Cancelable) IoReleaseCancelSpinLock(cancelIrql);
    callStartIo(DeviceObject, irp);
}

// Deferred start-I/O: a start asked for while a start-I/O routine of the
// device is active is only noted; the outermost caller carries the noted
// starts out in a loop once its routine has returned, so draining a queue
// never nests.
void startNextDeferred(PDEVICE_OBJECT DeviceObject, StartIoState& st, unsigned flags) {
    for (;;) {
        if (++st.active > 1) {
            st.pending |= flags;
        } else {
            st.pending &= ~(kStartNext | kCancelable);
            startNextNow(DeviceObject, (flags & kCancelable) != 0);
        }
        if (--st.active != 0) break;
        flags = st.pending.load() & (kStartNext | kCancelable);
        if (!(flags & kStartNext)) break;
    }
}

}  // namespace

extern "C" {

VOID IoSetStartIoAttributes(PDEVICE_OBJECT DeviceObject, BOOLEAN DeferredStartIo, BOOLEAN NonCancelable) {
    checkIrql(DISPATCH_LEVEL, "IoSetStartIoAttributes");
    if (NonCancelable) fault("IoSetStartIoAttributes with NonCancelable: the stand-in offers cancelable queues only");
    auto st = startIoOf(DeviceObject);
    if (!st) {
        fault("IoSetStartIoAttributes of a device object that does not exist");
        return;
    }
    st->deferred = DeferredStartIo != FALSE;
}

VOID IoStartPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG Key, PDRIVER_CANCEL CancelFunction) {
    checkIrql(DISPATCH_LEVEL, "IoStartPacket");
    if (Key) fault("IoStartPacket with a sort key: the stand-in keeps device queues in arrival order only");
    const auto st = startIoOf(DeviceObject);
    const bool deferred = st && st->deferred;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL cancelIrql = DISPATCH_LEVEL;
    if (CancelFunction) {
        IoAcquireCancelSpinLock(&cancelIrql);
        IoSetCancelRoutine(Irp, CancelFunction);
    }
    if (!KeInsertDeviceQueue(&DeviceObject->DeviceQueue, &Irp->Tail.Overlay.DeviceQueueEntry)) {
        // The device was idle: this request is its current one now.
        DeviceObject->CurrentIrp = Irp;
        if (CancelFunction) IoReleaseCancelSpinLock(cancelIrql);
        if (deferred) ++st->active;
        callStartIo(DeviceObject, Irp);
        if (deferred && --st->active == 0) {
            const unsigned flags = st->pending.load() & (kStartNext | kCancelable);
            if (flags & kStartNext) startNextDeferred(DeviceObject, *st, flags);
        }
    } else if (CancelFunction) {
        // Cancelled before its cancel routine was set: cancel it now.
        if (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) && IoSetCancelRoutine(Irp, nullptr)) {
            Irp->CancelIrql = cancelIrql;
            CancelFunction(DeviceObject, Irp);
        } else {
            IoReleaseCancelSpinLock(cancelIrql);
        }
    }
    KeLowerIrql(old);
}

VOID IoStartNextPacket(PDEVICE_OBJECT DeviceObject, BOOLEAN Cancelable) {
    if (KeGetCurrentIrql() != DISPATCH_LEVEL)
        fault("IoStartNextPacket called at IRQL " + std::to_string(KeGetCurrentIrql()) + ", not DISPATCH_LEVEL");
    const auto st = startIoOf(DeviceObject);
    if (st && st->deferred)
        startNextDeferred(DeviceObject, *st, kStartNext | (Cancelable ? kCancelable : 0));
    else
        startNextNow(DeviceObject, Cancelable != FALSE);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) fault("PoCallDriver with a request that is not a power request");
    return IofCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) fault("PoStartNextPowerIrp with a request that is not a power request");
}

}  // extern "C"

// ---- Kernel ------------------------------------------------------------------------------

namespace kt40kernel {

Kernel& Kernel::instance() {
    static Kernel k;
    return k;
}

std::wstring Kernel::servicePath(const std::wstring& service) {
    return L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
}

NTSTATUS Kernel::loadDriver(PDRIVER_INITIALIZE entry, const std::wstring& service) {
    detail::installExceptionDispatch();
    PDRIVER_OBJECT d = newDriverObject(L"\\Driver\\" + service);
    {
        std::lock_guard lock(state().mu);
        if (state().driver) state().faults.push_back("a driver is already loaded");
        state().driver = d;
        state().registryPath = servicePath(service);
    }
    auto* path = new wchar_t[state().registryPath.size() + 1];
    std::wmemcpy(path, state().registryPath.c_str(), state().registryPath.size() + 1);
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, path);
    d->DriverInit = entry;
    const NTSTATUS status = entry(d, &registryPath);
    delete[] path;  // a driver must copy what it keeps of its registry path
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) fault("DriverEntry returned at IRQL " + std::to_string(KeGetCurrentIrql()));
    if (!NT_SUCCESS(status)) {
        std::lock_guard lock(state().mu);
        state().driver = nullptr;
        deleteDriverObject(d);
    }
    return status;
}

NTSTATUS Kernel::open(const std::string& path, Handle& handle) {
    std::wstring name(path.begin(), path.end());
    PDEVICE_OBJECT device = nullptr;
    {
        std::lock_guard lock(state().mu);
        auto& s = state();
        if (name.rfind(L"\\\\.\\", 0) == 0) {
            auto link = s.links.find(lower(L"\\DosDevices\\" + name.substr(4)));
            if (link == s.links.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
            name = link->second;
        }
        auto d = s.devices.find(lower(name));
        if (d == s.devices.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        device = d->second;
    }
    auto* file = new FILE_OBJECT{};
    file->Type = 5;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    const NTSTATUS status = send(device, IRP_MJ_CREATE, 0, file, nullptr, nullptr).Status;
    if (!NT_SUCCESS(status)) {
        delete file;
        return status;
    }
    std::lock_guard lock(state().mu);
    handle = state().nextHandle++;
    state().files[handle] = file;
    return status;
}

NTSTATUS Kernel::deviceControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                               ULONG_PTR* returned) {
    PFILE_OBJECT file;
    {
        std::lock_guard lock(state().mu);
        auto f = state().files.find(handle);
        if (f == state().files.end()) return STATUS_INVALID_PARAMETER;  // STATUS_INVALID_HANDLE on Windows
        file = f->second;
    }
    struct Ctx {
        ULONG code;
        const void* in;
        ULONG inLength;
        void* out;
        ULONG outLength;
        std::vector<char> system;
    } ctx{code, in, inLength, out, outLength, {}};
    // METHOD_BUFFERED as the I/O manager does it: one system buffer of
    // exactly max(in, out) bytes (none when both are 0, so that a read past
    // it is caught) holding a copy of the input; the rest of it is not
    // cleared (pool memory), here a pattern a driver must not return.
    const bool buffered = (code & 3) == METHOD_BUFFERED;
    if (buffered) {
        ctx.system.assign(std::max(inLength, outLength), char(0xCD));
        if (in && inLength) std::memcpy(ctx.system.data(), in, inLength);
    }
    const IO_STATUS_BLOCK io = send(
        file->DeviceObject, IRP_MJ_DEVICE_CONTROL, 0, file,
        [](PIRP irp, PIO_STACK_LOCATION s, void* c) {
            auto* x = static_cast<Ctx*>(c);
            s->Parameters.DeviceIoControl.IoControlCode = x->code;
            s->Parameters.DeviceIoControl.InputBufferLength = x->inLength;
            s->Parameters.DeviceIoControl.OutputBufferLength = x->outLength;
            if ((x->code & 3) == METHOD_BUFFERED) {
                irp->AssociatedIrp.SystemBuffer = x->system.empty() ? nullptr : x->system.data();
            } else {
                s->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(x->in);
                irp->UserBuffer = x->out;
            }
        },
        &ctx);
    // On completion with any status but an error one (warnings too), the
    // first Information bytes go back to the caller's output buffer. More
    // than the output length would overrun the caller's buffer (and the
    // system buffer): a fault, and only the output length is copied.
    const bool error = (static_cast<ULONG>(io.Status) >> 30) == 3;
    if (buffered && !error) {
        if (io.Information > outLength) {
            char text[120];
            std::snprintf(text, sizeof text,
                          "a buffered device control (code 0x%08x) returned %zu bytes for an output of %u",
                          static_cast<unsigned>(code), static_cast<size_t>(io.Information),
                          static_cast<unsigned>(outLength));
            std::lock_guard lock(state().mu);
            state().faults.push_back(text);
        }
        const size_t copied = std::min<size_t>(io.Information, outLength);
        if (out && copied) std::memcpy(out, ctx.system.data(), copied);
    }
    if (returned) *returned = io.Information;
    return io.Status;
}

NTSTATUS Kernel::close(Handle handle) {
    PFILE_OBJECT file;
    {
        std::lock_guard lock(state().mu);
        auto f = state().files.find(handle);
        if (f == state().files.end()) return STATUS_INVALID_PARAMETER;
        file = f->second;
        state().files.erase(f);
    }
    send(file->DeviceObject, IRP_MJ_CLEANUP, 0, file, nullptr, nullptr);  // its status does not matter
    const NTSTATUS status = send(file->DeviceObject, IRP_MJ_CLOSE, 0, file, nullptr, nullptr).Status;
    delete file;
    return status;
}

namespace {

struct Transfer {
    ULONG length;
};

RequestId issueTransfer(Handle handle, UCHAR major, void* buffer, ULONG length) {
    PFILE_OBJECT file;
    {
        std::lock_guard lock(state().mu);
        auto f = state().files.find(handle);
        if (f == state().files.end()) {
            state().faults.push_back("a read or write on a handle that is not open");
            return 0;
        }
        file = f->second;
    }
    // Direct I/O: the buffer is locked and described by an MDL; a request
    // of length 0 carries none.
    PMDL mdl = nullptr;
    if (length && buffer) {
        mdl = new MDL{};
        mdl->Size = sizeof(MDL);
        mdl->MdlFlags = MDL_PAGES_LOCKED;
        mdl->StartVa = buffer;
        mdl->ByteCount = length;
    }
    Transfer t{length};
    return issue(
        file->DeviceObject, major, 0, file,
        [](PIRP, PIO_STACK_LOCATION s, void* c) { s->Parameters.Read.Length = static_cast<Transfer*>(c)->length; }, &t,
        STATUS_SUCCESS, mdl);
}

}  // namespace

RequestId Kernel::beginRead(Handle handle, void* buffer, ULONG length) {
    return issueTransfer(handle, IRP_MJ_READ, buffer, length);
}

RequestId Kernel::beginWrite(Handle handle, const void* buffer, ULONG length) {
    return issueTransfer(handle, IRP_MJ_WRITE, const_cast<void*>(buffer), length);
}

NTSTATUS Kernel::wait(RequestId id, ULONG_PTR* returned) {
    if (!id) return STATUS_INVALID_PARAMETER;
    const IO_STATUS_BLOCK io = collect(id);
    if (returned) *returned = io.Information;
    return io.Status;
}

NTSTATUS Kernel::read(Handle handle, void* buffer, ULONG length, ULONG_PTR* returned) {
    return wait(beginRead(handle, buffer, length), returned);
}

NTSTATUS Kernel::write(Handle handle, const void* buffer, ULONG length, ULONG_PTR* returned) {
    return wait(beginWrite(handle, buffer, length), returned);
}

bool Kernel::cancel(RequestId id) {
    PIRP irp;
    {
        std::lock_guard lock(state().mu);
        auto it = state().userRequests.find(id);
        if (it == state().userRequests.end() || it->second.finished) return false;
        irp = it->second.irp;
        ++it->second.holds;
    }
    // Held while it is offered, as the I/O manager holds a request it
    // cancels: one that completes meanwhile is freed when the cancel is done.
    const bool cancelled = IoCancelIrp(irp) != FALSE;
    std::lock_guard lock(state().mu);
    UserRequest& u = state().userRequests.at(id);  // collect() waits for the hold to go
    if (--u.holds == 0 && u.finished && u.irp) retireLocked(u);
    state().irpDone.notify_all();
    return cancelled;
}

bool Kernel::completed(RequestId id) const {
    std::lock_guard lock(state().mu);
    auto it = state().userRequests.find(id);
    return it == state().userRequests.end() || it->second.finished;
}

std::vector<RequestId> Kernel::outstanding() const {
    std::lock_guard lock(state().mu);
    std::vector<RequestId> v;
    for (auto& [id, r] : state().userRequests)
        if (r.major == IRP_MJ_READ || r.major == IRP_MJ_WRITE || r.major == IRP_MJ_DEVICE_CONTROL) v.push_back(id);
    return v;
}

std::vector<RequestId> Kernel::completionOrder() const {
    std::lock_guard lock(state().mu);
    return state().completions;
}

std::vector<PortAccess> Kernel::portTranscript() const {
    std::lock_guard lock(state().mu);
    return state().transcript;
}

RaisedStretch Kernel::longestRaisedStretch() const {
    std::lock_guard lock(state().mu);
    return {state().raisedAccesses, state().raisedNanos};
}

unsigned Kernel::startIoNesting() const {
    std::lock_guard lock(state().mu);
    return state().startIoNesting;
}

unsigned Kernel::blockedWaiters() const {
    std::lock_guard lock(state().mu);
    return state().waiters;
}

void Kernel::raiseSharedInterrupt() { raiseShared(); }
void Kernel::keepSharedLineBusy(bool on) { detail::keepSharedLineBusy(on); }
uint64_t Kernel::interruptsClaimed() const { return detail::interruptsClaimed(); }
uint64_t Kernel::interruptsDeclined() const { return detail::interruptsDeclined(); }

uint64_t Kernel::dpcRuns() const {
    std::lock_guard lock(state().mu);
    return state().dpcRuns;
}

void Kernel::settle() { detail::settle(); }
void Kernel::hold(HoldPoint point) { setHold(point, true); }
bool Kernel::waitHeld(HoldPoint point, unsigned threads) { return detail::waitHeld(point, threads); }
void Kernel::release(HoldPoint point) { setHold(point, false); }

void Kernel::cancelNextOnIssue() {
    std::lock_guard lock(state().mu);
    state().cancelNextOnIssue = true;
}

void Kernel::filterControllerReads(uint32_t (*filter)(uint32_t)) {
    std::lock_guard lock(state().mu);
    state().controllerReadFilter = filter;
}

void Kernel::olderSystem() {
    std::lock_guard lock(state().mu);
    state().olderSystem = true;
}

void Kernel::dropCard() {
    std::lock_guard lock(state().mu);
    state().cardGone = true;
}

void Kernel::failNextMdlMapping() {
    std::lock_guard lock(state().mu);
    state().failNextMdlMapping = true;
}

std::vector<RequestRecord> Kernel::requests() const {
    std::lock_guard lock(state().mu);
    return state().requests;
}

void Kernel::setRegistryDword(const std::wstring& key, const std::wstring& name, ULONG value) {
    std::lock_guard lock(state().mu);
    state().registry[lower(key)][lower(name)] = value;
}

void Kernel::deleteRegistryKey(const std::wstring& key) {
    std::lock_guard lock(state().mu);
    state().registry.erase(lower(key));
}

std::vector<std::string> Kernel::traceLines() const {
    std::lock_guard lock(state().mu);
    return state().trace;
}

std::vector<std::string> Kernel::shownTraceLines() const {
    std::lock_guard lock(state().mu);
    return state().shownTrace;
}

void Kernel::clearTrace() {
    std::lock_guard lock(state().mu);
    state().trace.clear();
    state().shownTrace.clear();
}

unsigned Kernel::breakCount() const {
    std::lock_guard lock(state().mu);
    return state().breaks;
}

void Kernel::attachDebugger(bool attached) {
    std::lock_guard lock(state().mu);
    state().debugger = attached;
}

std::vector<std::wstring> Kernel::deviceNames() const {
    std::lock_guard lock(state().mu);
    std::vector<std::wstring> v;
    for (auto& [name, d] : state().devices)
        if (d->DriverObject != state().busDriver) v.push_back(name);
    return v;
}

std::vector<std::wstring> Kernel::linkNames() const {
    std::lock_guard lock(state().mu);
    std::vector<std::wstring> v;
    for (auto& [name, target] : state().links) v.push_back(name);
    return v;
}

unsigned Kernel::connectedInterrupts() const {
    std::lock_guard lock(state().mu);
    return static_cast<unsigned>(state().interrupts.size());
}

std::vector<ULONG> Kernel::poolTags() const {
    std::lock_guard lock(state().mu);
    std::vector<ULONG> v;
    for (auto& [p, info] : state().pool) v.push_back(info.first);
    return v;
}

void Kernel::failNextDeviceCreation() {
    std::lock_guard lock(state().mu);
    state().failNextCreate = true;
}

void Kernel::fault(const std::string& what) { detail::fault(what); }

}  // namespace kt40kernel
