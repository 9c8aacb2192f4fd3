// kt40drv: driver entry, device creation and the device's lifecycle.
#include "Kt40drv.h"

#include "KtPool.h"
#include "KtTrace.h"

KtTrace g_Trace("kt40drv");

namespace {

constexpr ULONG kBridgeBar = 1;
constexpr ULONG kControllerBar = 3;
constexpr ULONG kBridgeIntCsr = 0x4C;
constexpr ULONG kBridgeMinLength = kBridgeIntCsr + 4;  // the bridge's register the driver uses
constexpr ULONG kControllerMinLength = 4;            // the controller's register port
constexpr ULONG kBridgeIntPending = 1u << 2;
constexpr ULONG kBridgeAcknowledge = 0x543;
constexpr ULONG kDefaultCycleWait = 30000;  // ms; a cycle polls for up to ~10 s, a block longer
constexpr ULONG kBridgeGone = 0xFFFFFFFF;  // what a card off the bus reads

}  // namespace

KtDriver* KtCreateDriver() { return new (NonPagedPoolNx) Kt40drv(); }

// ---- Driver ------------------------------------------------------------------------

// Entry of the driver with the service's registry path: reads "BreakOnEntry"
// from the "Parameters" subkey and breaks into the debugger when it is set
// and a kernel debugger is attached: without one the break would be an
// unhandled breakpoint, a bug check at every boot.
// IRQL: PASSIVE_LEVEL. Returns STATUS_SUCCESS.
NTSTATUS Kt40drv::DriverEntry(PUNICODE_STRING RegistryPath) {
    PAGED_CODE();
    g_Trace.Write("In DriverEntry Compiled at %s on %s\n", __TIME__, __DATE__);
    KtRegistryKey parameters;
    if (NT_SUCCESS(parameters.Open(RegistryPath, L"Parameters"))) {
        ULONG breakOnEntry = 0;
        parameters.QueryValue(L"BreakOnEntry", breakOnEntry);
        if (breakOnEntry) {
            if (!KdRefreshDebuggerNotPresent())
                DbgBreakPoint();
            else
                g_Trace.Write("BreakOnEntry set, no kernel debugger attached: no break\n");
        }
        LoadParameters(parameters);
    }
    m_Unit = 0;
    if (m_CycleWaitMilliseconds == 0) m_CycleWaitMilliseconds = kDefaultCycleWait;
    m_AddLock.Initialize();
    return STATUS_SUCCESS;
}

// Called at unload, once every device is gone; the framework then frees the
// driver object. IRQL: PASSIVE_LEVEL.
void Kt40drv::Unload() {
    PAGED_CODE();
    g_Trace.Write("In DriverUnload\n");
}

// Loads the driver's parameters from the open "Parameters" key. IRQL: PASSIVE_LEVEL.
void Kt40drv::LoadParameters(KtRegistryKey& Parameters) {
    PAGED_CODE();
    m_bBreakOnEntry = 0;
    Parameters.QueryValue(L"BreakOnEntry", m_bBreakOnEntry);
    Parameters.QueryValue(L"CycleWaitMilliseconds", m_CycleWaitMilliseconds);
    g_Trace.Write("m_bBreakOnEntry loaded from registry, resulting value: [0x%08lx]\n", m_bBreakOnEntry);
}

// Creates the device of a new adapter as \Device\KT40<unit> with the link
// \DosDevices\KT40<unit>. The unit counter moves on only when the device is
// created and constructed. IRQL: PASSIVE_LEVEL. Returns the status of
// creation and construction.
NTSTATUS Kt40drv::AddDevice(PDEVICE_OBJECT PhysicalDevice) {
    PAGED_CODE();
    g_Trace.Write("AddDevice called\n");
    m_AddLock.Acquire();
    const NTSTATUS status = AddDeviceLocked(PhysicalDevice);
    m_AddLock.Release();
    return status;
}

// AddDevice under m_AddLock. IRQL: PASSIVE_LEVEL.
NTSTATUS Kt40drv::AddDeviceLocked(PDEVICE_OBJECT PhysicalDevice) {
    PAGED_CODE();
    KtUnitName linkName(L"\\DosDevices\\", L"KT40", m_Unit);
    KtUnitName deviceName(L"\\Device\\", L"KT40", m_Unit);
    // Secure open: the device's security descriptor (kt40drv.inf) also guards
    // names opened below it (\\.\KT400\anything).
    const KtDeviceSetup setup{deviceName.Get(), FILE_DEVICE_UNKNOWN, linkName.Get(), FILE_DEVICE_SECURE_OPEN,
                              DO_DIRECT_IO};
    Kt40drvDevice* device = new (DriverObject(), setup) Kt40drvDevice(PhysicalDevice, m_Unit, m_CycleWaitMilliseconds);
    if (!device) {
        g_Trace.Write("Error creating device Kt40drvDevice0x%08lx\n", m_Unit);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const NTSTATUS status = device->ConstructorStatus();
    if (!NT_SUCCESS(status)) {
        g_Trace.Write("Error constructing device Kt40drvDevice0x%08lx status 0x%08lx\n", m_Unit,
                      static_cast<ULONG>(status));
        device->Destroy();
        return status;
    }
    device->DeviceObject()->Flags &= ~DO_DEVICE_INITIALIZING;
    ++m_Unit;
    return status;
}

// ---- Device: construction and destruction ------------------------------------------

// Constructs the device in the device object that the framework created and
// attaches it to the adapter's stack. A failure stays in ConstructorStatus.
// IRQL: PASSIVE_LEVEL.
Kt40drvDevice::Kt40drvDevice(PDEVICE_OBJECT PhysicalDevice, ULONG Unit, ULONG CycleWaitMilliseconds)
    : KtPnpDevice(PhysicalDevice, nullptr), m_CycleWaitMilliseconds(CycleWaitMilliseconds) {
    PAGED_CODE();
    KeInitializeSpinLock(&m_PortLock);
    m_CycleGate.Initialize();
    g_Trace.Write("Entering Kt40drvDevice::Kt40drvDevice (constructor)\n");
    if (!NT_SUCCESS(m_ConstructorStatus)) return;
    m_Unit = Unit;
    m_ConstructorStatus = m_Lower.Initialize(DeviceObject(), PhysicalDevice);
    if (!NT_SUCCESS(m_ConstructorStatus)) return;
    SetLowerDevice(&m_Lower);
    SetPnpPolicy();
}

// Destroys the interrupt connection, the register blocks and the attachment
// (members, in reverse order of declaration). IRQL: PASSIVE_LEVEL.
Kt40drvDevice::~Kt40drvDevice() {
    PAGED_CODE();
    g_Trace.Write("Entering Kt40drvDevice::~Kt40drvDevice() (destructor)\n");
    m_Interrupt.Disconnect();
    m_CompletionDpc.Flush();
}

// ---- Device: Plug and Play ------------------------------------------------------------

// Takes the adapter's resources after the lower drivers started it: the
// bridge block (BAR1) and the controller block (BAR3) by their ordinals, the
// completion DPC, and the interrupt. On a failure everything taken is given
// back. IRQL: PASSIVE_LEVEL. Returns the status; a missing resource gives
// STATUS_RESOURCE_TYPE_NOT_FOUND, a block too short for the registers used
// (the bridge's at 0x4C, the controller's port at 0)
// STATUS_DEVICE_CONFIGURATION_ERROR, with a trace line.
NTSTATUS Kt40drvDevice::OnStartDevice(KtRequest& I) {
    PAGED_CODE();
    g_Trace.Write("Entering Kt40drvDevice::OnStartDevice\n");
    I.SetInformation(0);
    KtPciConfig config;
    NTSTATUS status = config.Read(m_Lower);
    if (NT_SUCCESS(status))
        status = m_Bridge.Initialize(I.TranslatedResources(), I.RawResources(), config.BarToOrdinal(kBridgeBar));
    if (NT_SUCCESS(status))
        status = m_Controller.Initialize(I.TranslatedResources(), I.RawResources(),
                                         config.BarToOrdinal(kControllerBar));
    if (NT_SUCCESS(status) && (m_Bridge.Length() < kBridgeMinLength || m_Controller.Length() < kControllerMinLength)) {
        g_Trace.Write("Register blocks too short: BAR1 0x%08lx bytes (at least 0x%08lx), BAR3 0x%08lx (at least "
                      "0x%08lx)\n", m_Bridge.Length(), kBridgeMinLength, m_Controller.Length(), kControllerMinLength);
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    if (NT_SUCCESS(status)) {
        m_CompletionDpc.Initialize(CompletionDpc, this);
        status = m_Interrupt.Connect(I.TranslatedResources(), 0, InterruptService, this);
    }
    if (!NT_SUCCESS(status)) ReleaseResources();
    return status;
}

// Gives back the interrupt, the completion DPC, the bridge block and the
// controller block; each step does nothing when the member is not held.
// The interrupt goes first: on a shared line the service routine could
// otherwise run, and read the bridge block, after the block is gone. Then a
// queued DPC is taken off and a running one waited for, so that none runs
// once the device object is deleted. IRQL: PASSIVE_LEVEL.
void Kt40drvDevice::ReleaseResources() {
    PAGED_CODE();
    m_Interrupt.Disconnect();
    m_CompletionDpc.Flush();
    m_Bridge.Release();
    m_Controller.Release();
}

// The card is gone, and may read all ones: its interrupt is disconnected
// (and a queued completion DPC taken off) at once, before the framework waits
// for the requests in progress, so that no service routine of a dead card
// stays on a shared line meanwhile. Cycles in flight end at their next port
// read (all ones). The register blocks go with OnStopDevice afterwards.
// IRQL: PASSIVE_LEVEL.
void Kt40drvDevice::OnSurpriseRemoval(KtRequest&) {
    PAGED_CODE();
    g_Trace.Write("Entering Kt40drvDevice::OnSurpriseRemoval\n");
    m_Interrupt.Disconnect();
    m_CompletionDpc.Flush();
}

// IRQL: PASSIVE_LEVEL. Returns STATUS_SUCCESS.
NTSTATUS Kt40drvDevice::OnStopDevice(KtRequest&) {
    PAGED_CODE();
    g_Trace.Write("Entering Kt40drvDevice::OnStopDevice\n");
    ReleaseResources();
    return STATUS_SUCCESS;
}

// The framework then removes the link, detaches and deletes the device.
// IRQL: PASSIVE_LEVEL. Returns STATUS_SUCCESS.
NTSTATUS Kt40drvDevice::OnRemoveDevice(KtRequest&) {
    PAGED_CODE();
    g_Trace.Write("Entering Kt40drvDevice::OnRemoveDevice\n");
    ReleaseResources();
    return STATUS_SUCCESS;
}

// Query and cancel of stop and removal (once the framework has changed the
// device's state) and every other Plug and Play request: passed down
// unchanged. IRQL: PASSIVE_LEVEL. Returns the lower driver's status.
NTSTATUS Kt40drvDevice::DefaultPnp(KtRequest& I) {
    PAGED_CODE();
    g_Trace.Write("Entering Kt40drvDevice::DefaultPnp\n%s\n", I.Summary().Text);
    return PassDown(I);
}

// Power requests: passed down with the power call; the device keeps no power
// state. IRQL: <= DISPATCH_LEVEL.
// Returns the lower driver's status.
NTSTATUS Kt40drvDevice::DefaultPower(KtRequest& I) {
    g_Trace.Info("Entering Kt40drvDevice::DefaultPower\n%s\n", I.Summary().Text);
    PoStartNextPowerIrp(I.Irp());
    IoCopyCurrentIrpStackLocationToNext(I.Irp());
    const NTSTATUS status = LowerDevice()->PowerCall(I.Irp());
    ReleaseHold();
    return status;
}

// WMI requests: passed down unchanged. IRQL: PASSIVE_LEVEL.
// Returns the lower driver's status.
NTSTATUS Kt40drvDevice::SystemControl(KtRequest& I) {
    PAGED_CODE();
    g_Trace.Info("Entering Kt40drvDevice::SystemControl\n");
    return PassDown(I);
}

// ---- Device: open and close ---------------------------------------------------------

// Any number of opens; no state per open. IRQL: PASSIVE_LEVEL, caller's
// thread. Returns STATUS_SUCCESS.
NTSTATUS Kt40drvDevice::Create(KtRequest& I) {
    PAGED_CODE();
    g_Trace.Info("Entering Kt40drvDevice::Create, %s\n", I.Summary().Text);
    const NTSTATUS status = CompleteRequest(I, STATUS_SUCCESS);
    g_Trace.Info("Kt40drvDevice::Create Status 0x%08lx\n", static_cast<ULONG>(status));
    return status;
}

// IRQL: PASSIVE_LEVEL. Returns STATUS_SUCCESS.
NTSTATUS Kt40drvDevice::Close(KtRequest& I) {
    PAGED_CODE();
    g_Trace.Info("Entering Kt40drvDevice::Close, %s\n", I.Summary().Text);
    const NTSTATUS status = CompleteRequest(I, STATUS_SUCCESS);
    g_Trace.Info("Kt40drvDevice::Close Status 0x%08lx\n", static_cast<ULONG>(status));
    return status;
}

// ---- Device: interrupt ------------------------------------------------------------------

// Claims the adapter's interrupt: pending bit 2 of the bridge's interrupt
// register; acknowledges it with 0x543 and queues the completion DPC. A
// register that reads all ones is a card gone from the bus, not a pending
// interrupt: declined, so that another device on a shared line is served.
// IRQL: the interrupt's level. Returns TRUE when the interrupt was the adapter's.
BOOLEAN Kt40drvDevice::InterruptService(PKINTERRUPT, PVOID Context) {
    auto* self = static_cast<Kt40drvDevice*>(Context);
    const ULONG status = self->m_Bridge.ReadUlong(kBridgeIntCsr);
    if (status == kBridgeGone || !(status & kBridgeIntPending)) return FALSE;
    self->m_Bridge.WriteUlong(kBridgeIntCsr, kBridgeAcknowledge);
    self->m_CompletionDpc.Queue(nullptr, nullptr);
    return TRUE;
}

// Completes the device's current request, if start-I/O has not claimed it
// yet, with success and Information 0, and starts the next queued request.
// Several interrupts before it runs give one run. IRQL: DISPATCH_LEVEL.
void Kt40drvDevice::CompletionDpc(PKDPC, PVOID Context, PVOID, PVOID) {
    auto* self = static_cast<Kt40drvDevice*>(Context);
    PDEVICE_OBJECT device = self->DeviceObject();
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = device->CurrentIrp;
    if (!irp) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    device->CurrentIrp = nullptr;
    (void)IoSetCancelRoutine(irp, nullptr);  // the routine it had is not needed
    IoReleaseCancelSpinLock(irql);
    KtRequest request(irp);
    request.SetInformation(0);
    self->CompleteAndStartNext(request, STATUS_SUCCESS);
}
