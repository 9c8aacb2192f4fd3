#include "KtDevice.h"

#include "KtPool.h"
#include "KtTrace.h"

PDEVICE_OBJECT KtPnpDevice::s_Creating = nullptr;
PUNICODE_STRING KtPnpDevice::s_CreatingLink = nullptr;

void* KtPnpDevice::operator new(size_t Size, PDRIVER_OBJECT Driver, const KtDeviceSetup& Setup) noexcept {
    PAGED_CODE();
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(Driver, static_cast<ULONG>(Size), Setup.Name, Setup.Type, Setup.Characteristics,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) return nullptr;
    if (Setup.LinkName) {
        status = IoCreateSymbolicLink(Setup.LinkName, Setup.Name);
        if (!NT_SUCCESS(status)) {
            IoDeleteDevice(device);
            return nullptr;
        }
    }
    device->Flags |= Setup.Flags;
    // Completing a request starts the next from within start-I/O; deferred,
    // the next start-I/O runs after the current one has returned, so a deep
    // queue drains in a loop instead of nesting one stack frame per request.
    IoSetStartIoAttributes(device, TRUE, FALSE);
    s_Creating = device;
    s_CreatingLink = Setup.LinkName;
    return device->DeviceExtension;
}

void KtPnpDevice::operator delete(void*, PDRIVER_OBJECT, const KtDeviceSetup&) noexcept {}

KtPnpDevice::KtPnpDevice(PDEVICE_OBJECT PhysicalDevice, const void*)
    : m_DeviceObject(s_Creating), m_PhysicalDevice(PhysicalDevice) {
    PAGED_CODE();
    m_Requests.Initialize();
    IoInitializeRemoveLock(&m_RemoveLock, KT_POOL_TAG, 0, 0);
    m_LinkName.Buffer = m_LinkBuffer;
    m_LinkName.Length = 0;
    m_LinkName.MaximumLength = sizeof(m_LinkBuffer);
    if (s_CreatingLink) RtlAppendUnicodeStringToString(&m_LinkName, s_CreatingLink);
    s_Creating = nullptr;
    s_CreatingLink = nullptr;
    if (!m_DeviceObject) m_ConstructorStatus = STATUS_INVALID_DEVICE_REQUEST;
}

KtPnpDevice::~KtPnpDevice() {}

void KtPnpDevice::Destroy() {
    PAGED_CODE();
    PDEVICE_OBJECT device = m_DeviceObject;
    WCHAR link[64];
    UNICODE_STRING linkName{0, sizeof(link), link};
    RtlAppendUnicodeStringToString(&linkName, &m_LinkName);
    this->~KtPnpDevice();
    if (linkName.Length) IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(device);
}

// ---- Dispatch --------------------------------------------------------------------

NTSTATUS KtPnpDevice::RefusedStatus(UCHAR Major) const {
    if (!m_StandardPolicy) return STATUS_SUCCESS;
    const bool io = Major == IRP_MJ_DEVICE_CONTROL || Major == IRP_MJ_READ || Major == IRP_MJ_WRITE;
    switch (PnpState()) {
    case KtPnpState::NotStarted:
    case KtPnpState::Stopped:
        return io ? STATUS_INVALID_DEVICE_REQUEST : STATUS_SUCCESS;
    case KtPnpState::StopPending:
        return io ? STATUS_DEVICE_NOT_READY : STATUS_SUCCESS;
    case KtPnpState::RemovePending:
    case KtPnpState::SurpriseRemoved:
        return io || Major == IRP_MJ_CREATE ? STATUS_DELETE_PENDING : STATUS_SUCCESS;
    case KtPnpState::Removed:
        return Major == IRP_MJ_CLOSE || Major == IRP_MJ_PNP ? STATUS_SUCCESS : STATUS_DELETE_PENDING;
    case KtPnpState::Started:
        break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS KtPnpDevice::Dispatch(PIRP Irp) {
    KtRequest request(Irp);
    const UCHAR major = request.Major();
    if (!NT_SUCCESS(IoAcquireRemoveLock(&m_RemoveLock, nullptr))) {
        // Removal has begun and the device may be gone: nothing of it is
        // touched. A close still succeeds (its handle is gone either way).
        if (major == IRP_MJ_POWER) PoStartNextPowerIrp(Irp);
        const NTSTATUS status = major == IRP_MJ_CLOSE ? STATUS_SUCCESS : STATUS_DELETE_PENDING;
        request.SetInformation(0);
        request.SetStatus(status);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    m_Requests.Acquire();
    const NTSTATUS refused = RefusedStatus(major);
    if (!NT_SUCCESS(refused)) {
        if (major == IRP_MJ_POWER) PoStartNextPowerIrp(Irp);
        request.SetInformation(0);
        return CompleteRequest(request, refused);
    }
    switch (major) {
    case IRP_MJ_CREATE: return Create(request);
    case IRP_MJ_CLOSE: return Close(request);
    case IRP_MJ_READ: return Read(request);
    case IRP_MJ_WRITE: return Write(request);
    case IRP_MJ_DEVICE_CONTROL: return DeviceControl(request);
    case IRP_MJ_SYSTEM_CONTROL: return SystemControl(request);
    case IRP_MJ_POWER: return DefaultPower(request);
    case IRP_MJ_PNP: return DispatchPnp(request);
    default:
        request.SetInformation(0);
        return CompleteRequest(request, STATUS_INVALID_DEVICE_REQUEST);
    }
}

void KtPnpDevice::DispatchStartIo(PIRP Irp) {
    KtRequest request(Irp);
    StartIo(request);
}

NTSTATUS KtPnpDevice::DispatchPnp(KtRequest& Request) {
    PAGED_CODE();
    NTSTATUS status;
    switch (Request.Minor()) {
    case IRP_MN_START_DEVICE:
        status = m_Lower->CallAndWait(Request.Irp());
        if (NT_SUCCESS(status)) {
            status = OnStartDevice(Request);
            if (NT_SUCCESS(status)) SetState(KtPnpState::Started);
        }
        return CompleteRequest(Request, status);

    case IRP_MN_QUERY_STOP_DEVICE:
        if (PnpState() == KtPnpState::Started) SetState(KtPnpState::StopPending);
        Request.SetStatus(STATUS_SUCCESS);
        return DefaultPnp(Request);

    case IRP_MN_CANCEL_STOP_DEVICE:
        if (PnpState() == KtPnpState::StopPending) SetState(KtPnpState::Started);
        Request.SetStatus(STATUS_SUCCESS);
        return DefaultPnp(Request);

    case IRP_MN_STOP_DEVICE:
        // Requests in progress finish first: the device's own count and this
        // request's remain.
        m_Requests.WaitUntilAtMost(2);
        OnStopDevice(Request);
        SetState(KtPnpState::Stopped);
        Request.SetStatus(STATUS_SUCCESS);
        return PassDown(Request);

    case IRP_MN_QUERY_REMOVE_DEVICE:
        m_StateBeforeQuery = PnpState();
        SetState(KtPnpState::RemovePending);
        Request.SetStatus(STATUS_SUCCESS);
        return DefaultPnp(Request);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (PnpState() == KtPnpState::RemovePending) SetState(m_StateBeforeQuery);
        Request.SetStatus(STATUS_SUCCESS);
        return DefaultPnp(Request);

    case IRP_MN_SURPRISE_REMOVAL: {
        const KtPnpState before = PnpState() == KtPnpState::RemovePending ? m_StateBeforeQuery : PnpState();
        SetState(KtPnpState::SurpriseRemoved);
        OnSurpriseRemoval(Request);
        m_Requests.WaitUntilAtMost(2);
        if (before == KtPnpState::Started || before == KtPnpState::StopPending) OnStopDevice(Request);
        Request.SetStatus(STATUS_SUCCESS);
        return PassDown(Request);
    }

    case IRP_MN_REMOVE_DEVICE: {
        SetState(KtPnpState::Removed);
        // Drop this request's count and the device's own; then its hold
        // and the lock's own, waiting for every request still holding the
        // device (new ones are refused from here on).
        m_Requests.Release();
        m_Requests.Release();
        IoReleaseRemoveLockAndWait(&m_RemoveLock, nullptr);
        OnRemoveDevice(Request);
        Request.SetStatus(STATUS_SUCCESS);
        IoSkipCurrentIrpStackLocation(Request.Irp());
        status = m_Lower->Call(Request.Irp());
        Destroy();
        return status;
    }

    default:
        return DefaultPnp(Request);
    }
}

NTSTATUS KtPnpDevice::CompleteRequest(KtRequest& Request, NTSTATUS Status) {
    Request.SetStatus(Status);
    IoCompleteRequest(Request.Irp(), IO_NO_INCREMENT);
    ReleaseHold();
    return Status;
}

NTSTATUS KtPnpDevice::StartPacket(KtRequest& Request, PDRIVER_CANCEL CancelRoutine) {
    IoMarkIrpPending(Request.Irp());
    // Start-I/O may complete the request, and drop its hold, inside
    // IoStartPacket, which still uses the device object afterwards: a hold
    // of its own for the call (the request's keeps removal from having
    // begun, so it is granted).
    const bool held = NT_SUCCESS(IoAcquireRemoveLock(&m_RemoveLock, nullptr));
    IoStartPacket(m_DeviceObject, Request.Irp(), nullptr, CancelRoutine);
    if (held) IoReleaseRemoveLock(&m_RemoveLock, nullptr);
    return STATUS_PENDING;
}

void KtPnpDevice::CompleteAndStartNext(KtRequest& Request, NTSTATUS Status) {
    Request.SetStatus(Status);
    IoCompleteRequest(Request.Irp(), IO_NO_INCREMENT);
    // IoStartNextPacket runs at DISPATCH_LEVEL; a cancel routine may come
    // here at its caller's lower level.
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    IoStartNextPacket(m_DeviceObject, TRUE);
    KeLowerIrql(irql);
    ReleaseHold();
}

NTSTATUS KtPnpDevice::PassDown(KtRequest& Request) {
    IoSkipCurrentIrpStackLocation(Request.Irp());
    const NTSTATUS status = m_Lower->Call(Request.Irp());
    ReleaseHold();
    return status;
}

// ---- Defaults ------------------------------------------------------------------------

NTSTATUS KtPnpDevice::Create(KtRequest& Request) { return CompleteRequest(Request, STATUS_SUCCESS); }

NTSTATUS KtPnpDevice::Close(KtRequest& Request) { return CompleteRequest(Request, STATUS_SUCCESS); }

NTSTATUS KtPnpDevice::Read(KtRequest& Request) {
    Request.SetInformation(0);
    return CompleteRequest(Request, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS KtPnpDevice::Write(KtRequest& Request) {
    Request.SetInformation(0);
    return CompleteRequest(Request, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS KtPnpDevice::DeviceControl(KtRequest& Request) {
    Request.SetInformation(0);
    return CompleteRequest(Request, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS KtPnpDevice::SystemControl(KtRequest& Request) { return PassDown(Request); }

// Nothing is queued by default; a request that arrives here is refused and
// the queue moves on.
void KtPnpDevice::StartIo(KtRequest& Request) {
    Request.SetInformation(0);
    CompleteAndStartNext(Request, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS KtPnpDevice::OnStartDevice(KtRequest&) { return STATUS_SUCCESS; }
NTSTATUS KtPnpDevice::OnStopDevice(KtRequest&) { return STATUS_SUCCESS; }
void KtPnpDevice::OnSurpriseRemoval(KtRequest&) {}
NTSTATUS KtPnpDevice::OnRemoveDevice(KtRequest&) { return STATUS_SUCCESS; }
NTSTATUS KtPnpDevice::DefaultPnp(KtRequest& Request) { return PassDown(Request); }

NTSTATUS KtPnpDevice::DefaultPower(KtRequest& Request) {
    PoStartNextPowerIrp(Request.Irp());
    IoSkipCurrentIrpStackLocation(Request.Irp());
    const NTSTATUS status = m_Lower->PowerCall(Request.Irp());
    ReleaseHold();
    return status;
}
