#include "KtHardware.h"

#include "KtDevice.h"

namespace {

// The partial descriptors of the first full descriptor of a list, or null.
PCM_PARTIAL_RESOURCE_LIST Partials(PCM_RESOURCE_LIST List) {
    if (!List || List->Count == 0) return nullptr;
    return &List->List[0].PartialResourceList;
}

// Descriptor i of a list; they run on past the declared one-element array.
PCM_PARTIAL_RESOURCE_DESCRIPTOR Descriptor(PCM_PARTIAL_RESOURCE_LIST List, ULONG Index) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR first = &List->PartialDescriptors[0];
    return first + Index;
}

// Position of the Ordinal-th descriptor of Type in a list, or -1.
LONG FindResource(PCM_RESOURCE_LIST List, UCHAR Type, ULONG Ordinal) {
    PCM_PARTIAL_RESOURCE_LIST p = Partials(List);
    if (!p) return -1;
    for (ULONG i = 0; i < p->Count; ++i) {
        if (Descriptor(p, i)->Type != Type) continue;
        if (Ordinal == 0) return static_cast<LONG>(i);
        --Ordinal;
    }
    return -1;
}

// Maps device registers into system space, not executable: MmMapIoSpaceEx
// (Windows 10 on) with PAGE_READWRITE | PAGE_NOCACHE, found at run time so
// that the image still loads where it is missing (mingw-w64's headers and
// ntoskrnl import library do not have it either); there MmMapIoSpace, whose
// mapping is executable but no older system checks that. IRQL: PASSIVE_LEVEL.
PVOID MapRegisters(PHYSICAL_ADDRESS Start, SIZE_T Length) {
    using MapIoSpaceEx = PVOID(NTAPI*)(PHYSICAL_ADDRESS, SIZE_T, ULONG);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"MmMapIoSpaceEx");
    const auto mapEx = reinterpret_cast<MapIoSpaceEx>(MmGetSystemRoutineAddress(&name));
    if (mapEx) return mapEx(Start, Length, PAGE_READWRITE | PAGE_NOCACHE);
    return MmMapIoSpace(Start, Length, MmNonCached);
}

NTSTATUS OnConfigRead(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PRKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// ---- KtIoRange ----------------------------------------------------------------

NTSTATUS KtIoRange::Initialize(PCM_RESOURCE_LIST Translated, PCM_RESOURCE_LIST Raw, ULONG Ordinal) {
    PAGED_CODE();
    Release();
    const LONG at = FindResource(Raw, CmResourceTypePort, Ordinal);
    PCM_PARTIAL_RESOURCE_LIST t = Partials(Translated);
    if (at < 0 || !t || static_cast<ULONG>(at) >= t->Count) return STATUS_RESOURCE_TYPE_NOT_FOUND;
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& d = *Descriptor(t, static_cast<ULONG>(at));
    if (d.Type == CmResourceTypePort) {
        m_Base = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(d.u.Port.Start.QuadPart));
        m_Length = d.u.Port.Length;
        m_Mapped = false;
    } else if (d.Type == CmResourceTypeMemory) {
        m_Base = static_cast<PUCHAR>(MapRegisters(d.u.Memory.Start, d.u.Memory.Length));
        if (!m_Base) return STATUS_INSUFFICIENT_RESOURCES;
        m_Length = d.u.Memory.Length;
        m_Mapped = true;
    } else {
        return STATUS_RESOURCE_TYPE_NOT_FOUND;
    }
    m_Held = true;
    return STATUS_SUCCESS;
}

void KtIoRange::Release() {
    if (!m_Held) return;
    if (m_Mapped) MmUnmapIoSpace(m_Base, m_Length);
    m_Base = nullptr;
    m_Length = 0;
    m_Mapped = false;
    m_Held = false;
}

// A mapped range takes single register accesses: mingw-w64's x64
// READ_REGISTER_BUFFER_ULONG copies from the buffer to the register.
ULONG KtIoRange::ReadUlong(ULONG Offset) const {
    ULONG value = 0;
    if (m_Mapped)
        value = READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(m_Base + Offset));
    else
        READ_PORT_BUFFER_ULONG(reinterpret_cast<PULONG>(m_Base + Offset), &value, 1);
    return value;
}

void KtIoRange::WriteUlong(ULONG Offset, ULONG Value) const {
    if (m_Mapped)
        WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(m_Base + Offset), Value);
    else
        WRITE_PORT_BUFFER_ULONG(reinterpret_cast<PULONG>(m_Base + Offset), &Value, 1);
}

// ---- KtPciConfig ----------------------------------------------------------------

NTSTATUS KtPciConfig::Read(KtLowerDevice& Lower) {
    PAGED_CODE();
    PIRP irp = IoAllocateIrp(Lower.Device()->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_READ_CONFIG;
    next->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    next->Parameters.ReadWriteConfig.Buffer = &m_Header;
    next->Parameters.ReadWriteConfig.Offset = 0;
    next->Parameters.ReadWriteConfig.Length = PCI_COMMON_HDR_LENGTH;
    IoSetCompletionRoutine(irp, OnConfigRead, &done, TRUE, TRUE, TRUE);
    if (Lower.Call(irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

ULONG KtPciConfig::BarToOrdinal(ULONG Index) const {
    const ULONG* bars = m_Header.u.type0.BaseAddresses;
    const ULONG kind = bars[Index] & PCI_ADDRESS_IO_SPACE;
    ULONG ordinal = 0;
    for (ULONG i = 0; i < Index; ++i)
        if ((bars[i] & PCI_ADDRESS_IO_SPACE) == kind) ++ordinal;
    return ordinal;
}

// ---- KtInterrupt --------------------------------------------------------------------

NTSTATUS KtInterrupt::Connect(PCM_RESOURCE_LIST Translated, ULONG Ordinal, PKSERVICE_ROUTINE Routine,
                              PVOID Context) {
    PAGED_CODE();
    Disconnect();
    const LONG at = FindResource(Translated, CmResourceTypeInterrupt, Ordinal);
    if (at < 0) return STATUS_RESOURCE_TYPE_NOT_FOUND;
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& d = *Descriptor(Partials(Translated), static_cast<ULONG>(at));
    const KIRQL level = static_cast<KIRQL>(d.u.Interrupt.Level);
    const NTSTATUS status =
        IoConnectInterrupt(&m_Object, Routine, Context, nullptr, d.u.Interrupt.Vector, level, level,
                           (d.Flags & CM_RESOURCE_INTERRUPT_LATCHED) ? Latched : LevelSensitive,
                           d.ShareDisposition != CmResourceShareDeviceExclusive, d.u.Interrupt.Affinity, FALSE);
    if (!NT_SUCCESS(status)) m_Object = nullptr;
    return status;
}

void KtInterrupt::Disconnect() {
    if (!m_Object) return;
    IoDisconnectInterrupt(m_Object);
    m_Object = nullptr;
}
