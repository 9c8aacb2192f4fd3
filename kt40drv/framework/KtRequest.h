// A request (IRP) as the driver sees it at its own stack location, with a
// short summary for trace lines.
#pragma once

#include <wdm.h>

// A short text that names a request: its type, and for the types that carry
// them the control code or length, e.g.
// "IRP_MJ_DEVICE_CONTROL code 0x0022200f in 0x00000004 out 0x0000000c".
struct KtRequestSummary {
    char Text[112];
};

class KtRequest {
public:
    explicit KtRequest(PIRP Irp) : m_Irp(Irp) {}

    PIRP Irp() const { return m_Irp; }
    PIO_STACK_LOCATION Stack() const { return IoGetCurrentIrpStackLocation(m_Irp); }
    UCHAR Major() const { return Stack()->MajorFunction; }
    UCHAR Minor() const { return Stack()->MinorFunction; }

    // Device control.
    ULONG IoctlCode() const { return Stack()->Parameters.DeviceIoControl.IoControlCode; }
    ULONG InputLength() const { return Stack()->Parameters.DeviceIoControl.InputBufferLength; }
    ULONG OutputLength() const { return Stack()->Parameters.DeviceIoControl.OutputBufferLength; }
    PVOID Type3InputBuffer() const { return Stack()->Parameters.DeviceIoControl.Type3InputBuffer; }
    PVOID UserBuffer() const { return m_Irp->UserBuffer; }
    // METHOD_BUFFERED: the I/O manager's copy of the input, which is also
    // where the output goes (max(in, out) bytes; null when both are 0).
    PVOID SystemBuffer() const { return m_Irp->AssociatedIrp.SystemBuffer; }
    bool FromUserMode() const { return m_Irp->RequestorMode != KernelMode; }

    // Read and write: the length asked for (the two share one layout), and
    // the MDL of a direct-I/O buffer (null for length 0).
    ULONG TransferLength() const { return Stack()->Parameters.Read.Length; }
    PMDL Mdl() const { return m_Irp->MdlAddress; }

    // Plug and Play start.
    PCM_RESOURCE_LIST RawResources() const { return Stack()->Parameters.StartDevice.AllocatedResources; }
    PCM_RESOURCE_LIST TranslatedResources() const {
        return Stack()->Parameters.StartDevice.AllocatedResourcesTranslated;
    }

    NTSTATUS Status() const { return m_Irp->IoStatus.Status; }
    void SetStatus(NTSTATUS Status) { m_Irp->IoStatus.Status = Status; }
    ULONG_PTR Information() const { return m_Irp->IoStatus.Information; }
    void SetInformation(ULONG_PTR Information) { m_Irp->IoStatus.Information = Information; }

    // Builds the summary. IRQL: any.
    KtRequestSummary Summary() const;

private:
    PIRP m_Irp;
};
