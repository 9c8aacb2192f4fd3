// kt40drv: the device-control protocol over the controller's packed port.
//
// The six METHOD_NEITHER codes check the caller's buffers first (lengths,
// then addresses) and refuse a short or foreign buffer with
// STATUS_INVALID_PARAMETER or STATUS_ACCESS_VIOLATION and Information 0,
// before the port is touched and without writing the output. The controller
// cycle then runs at PASSIVE_LEVEL between BeginCycle and EndCycle, on words
// copied into the driver; the output words are written back to the caller
// afterwards. The block code is METHOD_BUFFERED: the I/O manager's system
// buffer carries its input and, over it, its output, so no caller address
// reaches the driver; its lengths and header are checked before the port is
// touched in the same way. The sequences themselves are the packed port's
// (Kt40Packed.h), shared with the library's Linux path.
#include "Kt40drv.h"

#include "KtTrace.h"
#include "kt40drv/Kt40drvIoctl.h"

static_assert(KT40DRV_IOCTL_DEBUG == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(KT40DRV_IOCTL_SETINTEVENT == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(KT40DRV_IOCTL_CLEARINTEVENT == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(KT40DRV_IOCTL_ADDRESSCOMMAND == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(KT40DRV_IOCTL_CRATECOMMAND == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(KT40DRV_IOCTL_READLAM == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(KT40DRV_IOCTL_BLOCK == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS));

namespace {

// Writes the output words a command left in its reply to the caller and,
// when that succeeds, sets the request's Information from it.
// IRQL: PASSIVE_LEVEL, caller's context, outside a cycle. Returns the
// buffer check's status.
NTSTATUS StoreReply(KtRequest& I, const KtCallerBuffers& Buffers, const kt40packed::Reply& Reply) {
    const ULONG out[3] = {Reply.Out[0], Reply.Out[1], Reply.Out[2]};
    const NTSTATUS status = Buffers.Store(out, Reply.Written);
    if (NT_SUCCESS(status)) I.SetInformation(Reply.Information);
    return status;
}

}  // namespace

// ---- Dispatch ----------------------------------------------------------------------

// Runs the handler of the request's control code and completes the request
// with the status it returns (the one completion point of control requests).
// IRQL: PASSIVE_LEVEL, caller's thread. Returns the status; an unknown code
// gives STATUS_INVALID_PARAMETER.
NTSTATUS Kt40drvDevice::DeviceControl(KtRequest& I) {
    PAGED_CODE();
    g_Trace.Info("Entering Kt40drvDevice::Device Control, %s\n", I.Summary().Text);
    NTSTATUS status;
    switch (I.IoctlCode()) {
    case KT40DRV_IOCTL_DEBUG: status = KT40DRV_IOCTL_DEBUG_Handler(I); break;
    case KT40DRV_IOCTL_SETINTEVENT: status = KT40DRV_IOCTL_SETINTEVENT_Handler(I); break;
    case KT40DRV_IOCTL_CLEARINTEVENT: status = KT40DRV_IOCTL_CLEARINTEVENT_Handler(I); break;
    case KT40DRV_IOCTL_ADDRESSCOMMAND: status = KT40DRV_IOCTL_ADDRESSCOMMAND_Handler(I); break;
    case KT40DRV_IOCTL_CRATECOMMAND: status = KT40DRV_IOCTL_CRATECOMMAND_Handler(I); break;
    case KT40DRV_IOCTL_READLAM: status = KT40DRV_IOCTL_READLAM_Handler(I); break;
    case KT40DRV_IOCTL_BLOCK: status = KT40DRV_IOCTL_BLOCK_Handler(I); break;
    default: status = STATUS_INVALID_PARAMETER; break;
    }
    if (status == STATUS_PENDING) return status;
    if (!NT_SUCCESS(status)) I.SetInformation(0);
    return CompleteRequest(I, status);
}

// ---- Handlers ----------------------------------------------------------------------

// Writes the test pattern 10, 11, (word 2 untouched), input word 0 + 1.
// IRQL: PASSIVE_LEVEL. Returns STATUS_SUCCESS with Information 3, or the
// buffer check's status.
NTSTATUS Kt40drvDevice::KT40DRV_IOCTL_DEBUG_Handler(KtRequest& I) {
    g_Trace.Info("Entering Kt40drvDevice::KT40DRV_IOCTL_DEBUG_Handler, %s\n", I.Summary().Text);
    KtCallerBuffers buffers(I);
    ULONG in[1];
    NTSTATUS status = buffers.Check(1, 4);
    if (NT_SUCCESS(status)) status = buffers.Fetch(in, 1);
    if (!NT_SUCCESS(status)) return status;
    const ULONG out[4] = {10, 11, 0, in[0] + 1};
    status = buffers.Store(out, 0xB);
    if (NT_SUCCESS(status)) I.SetInformation(3);
    return status;
}

// Accepted and ignored: no event is taken or kept. IRQL: PASSIVE_LEVEL.
// Returns STATUS_SUCCESS with Information 0.
NTSTATUS Kt40drvDevice::KT40DRV_IOCTL_SETINTEVENT_Handler(KtRequest& I) {
    g_Trace.Info("Entering Kt40drvDevice::KT40DRV_IOCTL_SETINTEVENT_Handler, %s\n", I.Summary().Text);
    I.SetInformation(0);
    return STATUS_SUCCESS;
}

// Accepted and ignored. IRQL: PASSIVE_LEVEL. Returns STATUS_SUCCESS with Information 0.
NTSTATUS Kt40drvDevice::KT40DRV_IOCTL_CLEARINTEVENT_Handler(KtRequest& I) {
    g_Trace.Info("Entering Kt40drvDevice::KT40DRV_IOCTL_CLEARINTEVENT_Handler, %s\n", I.Summary().Text);
    I.SetInformation(0);
    return STATUS_SUCCESS;
}

// One addressed command: F 0-7 read, F 16-23 write (input word 1 is the
// data), other codes control. Output word 0 is the result code, word 1 the
// completion word, word 2 the data of a read. IRQL: PASSIVE_LEVEL.
// Returns STATUS_SUCCESS (controller failures are result codes) or the
// buffer check's status, or BeginCycle's.
NTSTATUS Kt40drvDevice::KT40DRV_IOCTL_ADDRESSCOMMAND_Handler(KtRequest& I) {
    g_Trace.Info("Entering Kt40drvDevice::KT40DRV_IOCTL_ADDRESSCOMMAND_Handler, %s\n", I.Summary().Text);
    KtCallerBuffers buffers(I);
    ULONG in[2] = {0, 0};
    NTSTATUS status = buffers.Fetch(in, 1);
    if (!NT_SUCCESS(status)) return status;
    const kt40packed::Address address = kt40packed::Decode(in[0], kt40packed::kAddressed);
    const bool isRead = address.F < 8;
    const bool isWrite = address.F >= 16 && address.F < 24;
    status = buffers.Check(isWrite ? 2 : 1, isRead ? 3 : 2);
    if (NT_SUCCESS(status) && isWrite) status = buffers.Fetch(in, 2);
    if (!NT_SUCCESS(status)) return status;
    if (!m_Controller.IsValid()) return STATUS_INVALID_DEVICE_REQUEST;
    kt40packed::Reply reply;
    status = BeginCycle();
    if (!NT_SUCCESS(status)) return status;
    kt40packed::AddressCommand(ControllerPort(), in[0], in[1], reply);
    EndCycle();
    return StoreReply(I, buffers, reply);
}

// One unaddressed command: input word 1 is the command code (1 C, 2 Z,
// 4 set I, 8 remove I), passed on unchecked. IRQL: PASSIVE_LEVEL.
// Returns STATUS_SUCCESS or the buffer check's status.
NTSTATUS Kt40drvDevice::KT40DRV_IOCTL_CRATECOMMAND_Handler(KtRequest& I) {
    g_Trace.Info("Entering Kt40drvDevice::KT40DRV_IOCTL_CRATECOMMAND_Handler, %s\n", I.Summary().Text);
    KtCallerBuffers buffers(I);
    ULONG in[2];
    NTSTATUS status = buffers.Check(2, 2);
    if (NT_SUCCESS(status)) status = buffers.Fetch(in, 2);
    if (!NT_SUCCESS(status)) return status;
    if (!m_Controller.IsValid()) return STATUS_INVALID_DEVICE_REQUEST;
    kt40packed::Reply reply;
    status = BeginCycle();
    if (!NT_SUCCESS(status)) return status;
    kt40packed::CrateCommand(ControllerPort(), in[0], in[1], reply);
    EndCycle();
    return StoreReply(I, buffers, reply);
}

// Reads the 24-bit LAM pattern of the crate (bit k = station k + 1).
// IRQL: PASSIVE_LEVEL. Returns STATUS_SUCCESS or the buffer check's status.
NTSTATUS Kt40drvDevice::KT40DRV_IOCTL_READLAM_Handler(KtRequest& I) {
    g_Trace.Info("Entering Kt40drvDevice::KT40DRV_IOCTL_READLAM_Handler, %s\n", I.Summary().Text);
    KtCallerBuffers buffers(I);
    ULONG in[1];
    NTSTATUS status = buffers.Check(1, 3);
    if (NT_SUCCESS(status)) status = buffers.Fetch(in, 1);
    if (!NT_SUCCESS(status)) return status;
    if (!m_Controller.IsValid()) return STATUS_INVALID_DEVICE_REQUEST;
    kt40packed::Reply reply;
    status = BeginCycle();
    if (!NT_SUCCESS(status)) return status;
    kt40packed::ReadLam(ControllerPort(), in[0], reply);
    EndCycle();
    return StoreReply(I, buffers, reply);
}

// A block of addressed commands in one request: a list, a Q-stop or a
// Q-repeat block (layout in Kt40drvIoctl.h). The input and the output share
// the request's system buffer: the block reads each action's pair before it
// writes that action's result pair over it, and the header last.
// IRQL: PASSIVE_LEVEL. Returns STATUS_SUCCESS with Information the output
// bytes (controller failures are result codes), or STATUS_INVALID_PARAMETER
// for a bad length, kind, count, limit or address before the port is touched.
NTSTATUS Kt40drvDevice::KT40DRV_IOCTL_BLOCK_Handler(KtRequest& I) {
    g_Trace.Info("Entering Kt40drvDevice::KT40DRV_IOCTL_BLOCK_Handler, %s\n", I.Summary().Text);
    auto* words = static_cast<uint32_t*>(I.SystemBuffer());
    // No system buffer only for lengths 0, which the check refuses unread.
    if (!kt40packed::BlockCheck(words, I.InputLength(), I.OutputLength())) return STATUS_INVALID_PARAMETER;
    if (!m_Controller.IsValid()) return STATUS_INVALID_DEVICE_REQUEST;
    const NTSTATUS status = BeginCycle();
    if (!NT_SUCCESS(status)) return status;
    const uint32_t bytes = kt40packed::Block(ControllerPort(), words, words);
    EndCycle();
    I.SetInformation(bytes);
    return STATUS_SUCCESS;
}

// ---- Controller cycles ---------------------------------------------------------------

// Takes the port for a cycle: waits, preemptible, until no other control
// caller has it, then marks the cycle running, so that start-I/O leaves a
// transfer to EndCycle instead of touching the port. A transfer making its
// access now finishes first (it holds the port lock for it). The wait is
// bounded (the "CycleWaitMilliseconds" parameter, 30 s when absent): a
// caller behind a long cycle gets STATUS_DEVICE_BUSY, a thread being
// terminated STATUS_CANCELLED, neither pinned in the kernel meanwhile.
// IRQL: PASSIVE_LEVEL, caller's thread; the whole cycle runs there.
// Returns STATUS_SUCCESS when the cycle may run (then EndCycle must follow).
NTSTATUS Kt40drvDevice::BeginCycle() {
    PAGED_CODE();
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    const NTSTATUS status = m_CycleGate.AcquireForCaller(m_CycleWaitMilliseconds);
    if (!NT_SUCCESS(status)) {
        g_Trace.Write("Controller busy: no cycle within 0x%08lx ms, status 0x%08lx\n", m_CycleWaitMilliseconds,
                      static_cast<ULONG>(status));
        return status;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_PortLock, &irql);
    m_CycleRunning = true;
    KeReleaseSpinLock(&m_PortLock, irql);
    return STATUS_SUCCESS;
}

// Ends the cycle: carries out the transfer that start-I/O left waiting
// meanwhile (which starts the next queued request), then lets the next
// control caller in. IRQL: PASSIVE_LEVEL, caller's thread.
void Kt40drvDevice::EndCycle() {
    PAGED_CODE();
    KIRQL irql;
    KeAcquireSpinLock(&m_PortLock, &irql);
    m_CycleRunning = false;
    PIRP waiting = m_WaitingTransfer;
    m_WaitingTransfer = nullptr;
    if (waiting) {
        // Still at DISPATCH_LEVEL, as start-I/O would run it.
        KeReleaseSpinLock(&m_PortLock, DISPATCH_LEVEL);
        KtRequest request(waiting);
        Transfer(request);
    } else {
        KeReleaseSpinLock(&m_PortLock, DISPATCH_LEVEL);
    }
    KeLowerIrql(irql);
    m_CycleGate.Release();
}

// The packed port's operations on this device's port (Kt40Packed.h).
// IRQL: PASSIVE_LEVEL, in a cycle.
// WaitCompletion polls until the cycle ends; returns the last word read.
ULONG Kt40drvDevice::WaitCompletion(const kt40packed::Address& Address, ULONG& Result) {
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    uint32_t result = 0;
    const ULONG word = kt40packed::WaitCompletion(ControllerPort(), Address, result);
    Result = result;
    return word;
}

// Loads the write data; returns false, with result 5, when busy did not clear.
bool Kt40drvDevice::WriteDataWord(const kt40packed::Address& Address, ULONG& Result, ULONG Data) {
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    uint32_t result = Result;
    const bool ok = kt40packed::WriteDataWord(ControllerPort(), Address, result, Data);
    Result = result;
    return ok;
}

// Reads the LAM pattern; returns the last completion word, Data complete
// only when Result is 0.
ULONG Kt40drvDevice::ReadSelected(const kt40packed::Address& Address, ULONG& Result, ULONG& Data) {
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    uint32_t result = 0;
    uint32_t data = Data;
    const ULONG word = kt40packed::ReadSelected(ControllerPort(), Address, result, data);
    Result = result;
    Data = data;
    return word;
}
