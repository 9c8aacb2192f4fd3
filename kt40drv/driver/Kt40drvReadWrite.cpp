// kt40drv: reads and writes of the controller's register port through the
// device queue, and their cancellation.
//
// A request with a transfer leaves the queue as the device object's current
// request. Three paths may complete it: start-I/O, the cancel routine and
// the completion DPC. Each claims it under the cancel spin lock by finding it
// current and clearing the current request; only the one that claimed it
// completes it and starts the next queued request. Start-I/O claims before
// the transfer, so the caller's buffer is never touched once another path
// has completed the request. A claimed transfer that finds a controller
// cycle running waits for the cycle's end (see Kt40drvDevice::Transfer).
#include "Kt40drv.h"

#include "KtTrace.h"

// Queues a read of one word from the port. IRQL: PASSIVE_LEVEL, caller's
// thread. Returns STATUS_PENDING, or the status of a request completed at
// once (length 0: success; 1 to 3 bytes: STATUS_INVALID_PARAMETER).
NTSTATUS Kt40drvDevice::Read(KtRequest& I) {
    g_Trace.Info("Entering Kt40drvDevice::Read, %s\n", I.Summary().Text);
    return QueueTransfer(I);
}

// Queues a write of one word to the port. Same IRQL and results as Read.
NTSTATUS Kt40drvDevice::Write(KtRequest& I) {
    g_Trace.Info("Entering Kt40drvDevice::Write, %s\n", I.Summary().Text);
    return QueueTransfer(I);
}

// A transfer always moves one whole word: a shorter buffer is refused before
// anything is queued, as the control path refuses bad parameters.
// IRQL: <= DISPATCH_LEVEL. Returns STATUS_PENDING or the completion status.
NTSTATUS Kt40drvDevice::QueueTransfer(KtRequest& I) {
    const ULONG length = I.TransferLength();
    if (length == 0) {
        I.SetInformation(0);
        return CompleteRequest(I, STATUS_SUCCESS);
    }
    if (length < sizeof(ULONG)) {
        I.SetInformation(0);
        return CompleteRequest(I, STATUS_INVALID_PARAMETER);
    }
    return StartPacket(I, CancelQueuedRequest);
}

// Takes the request the queue hands over, if it is still the device's
// current one, and carries it out. IRQL: DISPATCH_LEVEL.
void Kt40drvDevice::StartIo(KtRequest& I) {
    PIRP irp = I.Irp();
    PDEVICE_OBJECT device = DeviceObject();
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp != device->CurrentIrp) {
        // The cancel routine or the DPC took it first and completed it; it
        // may be gone already, so not even its summary is read.
        IoReleaseCancelSpinLock(irql);
        g_Trace.Info("Entering StartIo, request already completed\n");
        return;
    }
    device->CurrentIrp = nullptr;
    (void)IoSetCancelRoutine(irp, nullptr);  // the routine it had is not needed
    const bool cancelled = irp->Cancel != FALSE;
    IoReleaseCancelSpinLock(irql);
    g_Trace.Info("Entering StartIo, %s\n", I.Summary().Text);

    if (cancelled) {
        // Cancelled before its cancel routine was installed, so the routine
        // never ran: nobody else will complete it.
        g_Trace.Info("IRP canceled %s\n", I.Summary().Text);
        I.SetInformation(0);
        CompleteAndStartNext(I, STATUS_CANCELLED);
        return;
    }
    Transfer(I);
}

// Carries out a claimed read or write, unless a controller cycle holds the
// port: then the request waits in m_WaitingTransfer (still claimed, so no
// cancel or DPC completes it) and the cycle's end carries it out. Either way
// nothing here waits or polls. IRQL: DISPATCH_LEVEL.
void Kt40drvDevice::Transfer(KtRequest& I) {
    if (I.Major() != IRP_MJ_READ && I.Major() != IRP_MJ_WRITE) {
        CompleteAndStartNext(I, I.Status());
        return;
    }
    PVOID buffer = TransferBuffer(I);
    if (!buffer) return;
    KIRQL irql;
    KeAcquireSpinLock(&m_PortLock, &irql);
    if (m_CycleRunning) {
        // Traced before it is handed over: the cycle's end may complete it
        // as soon as the lock is released.
        g_Trace.Info("Transfer waits for the controller cycle, %s\n", I.Summary().Text);
        m_WaitingTransfer = I.Irp();
        KeReleaseSpinLock(&m_PortLock, irql);
        return;
    }
    if (I.Major() == IRP_MJ_READ)
        SerialRead(I, buffer);
    else
        SerialWrite(I, buffer);
    KeReleaseSpinLock(&m_PortLock, irql);
    I.SetInformation(1);
    CompleteAndStartNext(I, STATUS_SUCCESS);
}

// The caller's buffer of a claimed transfer in system space, with Information
// 0 until the transfer is done. A failed mapping or a device without its
// controller block completes the request and gives null.
// IRQL: DISPATCH_LEVEL.
PVOID Kt40drvDevice::TransferBuffer(KtRequest& I) {
    // Not executable: nothing in a caller's buffer is code.
    constexpr auto priority = static_cast<MM_PAGE_PRIORITY>(NormalPagePriority | MdlMappingNoExecute);
    PVOID buffer = I.Mdl() ? MmGetSystemAddressForMdlSafe(I.Mdl(), priority) : nullptr;
    I.SetInformation(0);
    if (!buffer) {
        CompleteAndStartNext(I, STATUS_INSUFFICIENT_RESOURCES);
        return nullptr;
    }
    if (!m_Controller.IsValid()) {
        CompleteAndStartNext(I, STATUS_INVALID_DEVICE_REQUEST);
        return nullptr;
    }
    return buffer;
}

// Reads one completion word from the port into the first four bytes of the
// caller's buffer. IRQL: DISPATCH_LEVEL, port lock held.
void Kt40drvDevice::SerialRead(KtRequest& I, PVOID Buffer) {
    g_Trace.Info("Entering Kt40drvDevice::SerialRead, %s\n", I.Summary().Text);
    const ULONG word = ReadPort();
    RtlCopyMemory(Buffer, &word, sizeof(word));
}

// Writes the first four bytes of the caller's buffer to the port as one
// access word. IRQL: DISPATCH_LEVEL, port lock held.
void Kt40drvDevice::SerialWrite(KtRequest& I, PVOID Buffer) {
    g_Trace.Info("Entering Kt40drvDevice::SerialWrite, %s\n", I.Summary().Text);
    ULONG word;
    RtlCopyMemory(&word, Buffer, sizeof(word));
    WritePort(word);
}

// Cancel routine of queued reads and writes, called by the system with the
// cancel spin lock held; releases it. The current request (not yet claimed
// by start-I/O) is completed and the queue moves on; a waiting request is
// taken out of the queue and completed; any other is no longer the driver's.
// IRQL: DISPATCH_LEVEL on entry.
void Kt40drvDevice::CancelQueuedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* self = static_cast<Kt40drvDevice*>(DeviceObject->DeviceExtension);
    KtRequest request(Irp);
    if (Irp == DeviceObject->CurrentIrp) {
        DeviceObject->CurrentIrp = nullptr;
        IoReleaseCancelSpinLock(Irp->CancelIrql);
        g_Trace.Info("IRP canceled %s\n", request.Summary().Text);
        request.SetInformation(0);
        self->CompleteAndStartNext(request, STATUS_CANCELLED);
    } else if (KeRemoveEntryDeviceQueue(&DeviceObject->DeviceQueue, &Irp->Tail.Overlay.DeviceQueueEntry)) {
        IoReleaseCancelSpinLock(Irp->CancelIrql);
        g_Trace.Info("IRP canceled %s\n", request.Summary().Text);
        request.SetInformation(0);
        self->CompleteRequest(request, STATUS_CANCELLED);
    } else {
        IoReleaseCancelSpinLock(Irp->CancelIrql);
    }
}
