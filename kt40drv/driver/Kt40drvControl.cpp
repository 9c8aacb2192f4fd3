// kt40drv: the device-control protocol over the controller's packed port.
//
// Each command code checks the caller's buffers first (lengths, then
// addresses) and refuses a short or foreign buffer with
// STATUS_INVALID_PARAMETER or STATUS_ACCESS_VIOLATION and Information 0,
// before the port is touched and without writing the output. The controller
// cycle then runs at PASSIVE_LEVEL between BeginCycle and EndCycle, on words
// copied into the driver; the output words are written back to the caller
// afterwards.
#include "Kt40drv.h"

#include "KtTrace.h"
#include "kt40drv/Kt40drvIoctl.h"

static_assert(KT40DRV_IOCTL_DEBUG == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(KT40DRV_IOCTL_SETINTEVENT == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(KT40DRV_IOCTL_CLEARINTEVENT == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(KT40DRV_IOCTL_ADDRESSCOMMAND == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(KT40DRV_IOCTL_CRATECOMMAND == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(KT40DRV_IOCTL_READLAM == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_NEITHER, FILE_ANY_ACCESS));

namespace {

constexpr ULONG kTargetRsel = 0x10000;
constexpr ULONG kTargetWdlo = 0x20000;
constexpr ULONG kTargetWdhi = 0x30000;
constexpr ULONG kCrateCommand = 0x8000;
constexpr ULONG kWideCommand = 0x4000;
constexpr ULONG kSelectHighByte = 1;
constexpr ULONG kSelectLamLow = 2;
constexpr ULONG kSelectLamHigh = 4;

enum Mode : ULONG { kAddressed = 0, kCrate = 1, kLam = 2 };

// Decodes an address word; cannot fail.
Kt40drvAddress Decode(ULONG Word, ULONG Mode) {
    return Kt40drvAddress{Word & KT40DRV_ADDRESS_F_MASK, Word & KT40DRV_ADDRESS_NAF_MASK,
                          (Word & KT40DRV_ADDRESS_24BIT) != 0, (Word >> KT40DRV_ADDRESS_CRATE_SHIFT) & 3, Mode};
}

ULONG CrateBits(const Kt40drvAddress& Address) { return Address.Crate << 18; }

// Bits of output words 0..n-1.
constexpr ULONG Words(ULONG Count) { return (1u << Count) - 1; }

}  // namespace

// ---- Dispatch ----------------------------------------------------------------------

// Runs the handler of the request's control code and completes the request
// with the status it returns (the one completion point of control requests).
// IRQL: PASSIVE_LEVEL, caller's thread. Returns the status; an unknown code
// gives STATUS_INVALID_PARAMETER.
NTSTATUS Kt40drvDevice::DeviceControl(KtRequest& I) {
    PAGED_CODE();
    g_Trace.Write("Entering Kt40drvDevice::Device Control, %s\n", I.Summary().Text);
    NTSTATUS status;
    switch (I.IoctlCode()) {
    case KT40DRV_IOCTL_DEBUG: status = KT40DRV_IOCTL_DEBUG_Handler(I); break;
    case KT40DRV_IOCTL_SETINTEVENT: status = KT40DRV_IOCTL_SETINTEVENT_Handler(I); break;
    case KT40DRV_IOCTL_CLEARINTEVENT: status = KT40DRV_IOCTL_CLEARINTEVENT_Handler(I); break;
    case KT40DRV_IOCTL_ADDRESSCOMMAND: status = KT40DRV_IOCTL_ADDRESSCOMMAND_Handler(I); break;
    case KT40DRV_IOCTL_CRATECOMMAND: status = KT40DRV_IOCTL_CRATECOMMAND_Handler(I); break;
    case KT40DRV_IOCTL_READLAM: status = KT40DRV_IOCTL_READLAM_Handler(I); break;
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
    g_Trace.Write("Entering Kt40drvDevice::KT40DRV_IOCTL_DEBUG_Handler, %s\n", I.Summary().Text);
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
    g_Trace.Write("Entering Kt40drvDevice::KT40DRV_IOCTL_SETINTEVENT_Handler, %s\n", I.Summary().Text);
    I.SetInformation(0);
    return STATUS_SUCCESS;
}

// Accepted and ignored. IRQL: PASSIVE_LEVEL. Returns STATUS_SUCCESS with Information 0.
NTSTATUS Kt40drvDevice::KT40DRV_IOCTL_CLEARINTEVENT_Handler(KtRequest& I) {
    g_Trace.Write("Entering Kt40drvDevice::KT40DRV_IOCTL_CLEARINTEVENT_Handler, %s\n", I.Summary().Text);
    I.SetInformation(0);
    return STATUS_SUCCESS;
}

// One addressed command: F 0-7 read, F 16-23 write (input word 1 is the
// data), other codes control. Output word 0 is the result code, word 1 the
// completion word, word 2 the data of a read. IRQL: PASSIVE_LEVEL.
// Returns STATUS_SUCCESS (controller failures are result codes) or the
// buffer check's status.
NTSTATUS Kt40drvDevice::KT40DRV_IOCTL_ADDRESSCOMMAND_Handler(KtRequest& I) {
    g_Trace.Write("Entering Kt40drvDevice::KT40DRV_IOCTL_ADDRESSCOMMAND_Handler, %s\n", I.Summary().Text);
    KtCallerBuffers buffers(I);
    ULONG in[2] = {0, 0};
    NTSTATUS status = buffers.Fetch(in, 1);
    if (!NT_SUCCESS(status)) return status;
    const Kt40drvAddress address = Decode(in[0], kAddressed);
    const bool isRead = address.F < 8;
    const bool isWrite = address.F >= 16 && address.F < 24;
    status = buffers.Check(isWrite ? 2 : 1, isRead ? 3 : 2);
    if (NT_SUCCESS(status) && isWrite) status = buffers.Fetch(in, 2);
    if (!NT_SUCCESS(status)) return status;
    if (!m_Controller.IsValid()) return STATUS_INVALID_DEVICE_REQUEST;

    const ULONG command = address.Naf | (address.Wide ? kWideCommand : 0) | CrateBits(address);
    ULONG out[3] = {0, 0, 0};
    ULONG written = 0;
    ULONG information = 0;
    ULONG result = 0;
    BeginCycle();
    if (isRead) {
        WritePort(command);
        const ULONG word = WaitCompletion(address, result);
        out[0] = result;
        out[1] = word;
        written = Words(2);
        if (result != 0) {
            information = 2;
        } else {
            ULONG data = word & 0xFFFF;
            information = 3;
            if (address.Wide) {
                WritePort(kTargetRsel | CrateBits(address) | kSelectHighByte);
                const ULONG high = WaitCompletion(address, result);
                out[0] = result;
                if (result != 0)
                    information = 1;
                else
                    data |= (high & 0xFF) << 16;
            }
            out[2] = data;
            written = Words(3);
            information += 1;
        }
    } else if (isWrite) {
        if (!WriteDataWord(address, result, in[1])) {
            out[0] = KT40DRV_RESULT_BUSY;
            written = Words(1);
            information = 1;
        } else {
            WritePort(command);
            out[1] = WaitCompletion(address, result);
            out[0] = result;
            written = Words(2);
            information = 2;
        }
    } else {
        WritePort(command);
        out[1] = WaitCompletion(address, result);
        out[0] = result;
        written = Words(2);
    }
    EndCycle();
    status = buffers.Store(out, written);
    if (NT_SUCCESS(status)) I.SetInformation(information);
    return status;
}

// One unaddressed command: input word 1 is the command code (1 C, 2 Z,
// 4 set I, 8 remove I), passed on unchecked. IRQL: PASSIVE_LEVEL.
// Returns STATUS_SUCCESS or the buffer check's status.
NTSTATUS Kt40drvDevice::KT40DRV_IOCTL_CRATECOMMAND_Handler(KtRequest& I) {
    g_Trace.Write("Entering Kt40drvDevice::KT40DRV_IOCTL_CRATECOMMAND_Handler, %s\n", I.Summary().Text);
    KtCallerBuffers buffers(I);
    ULONG in[2];
    NTSTATUS status = buffers.Check(2, 2);
    if (NT_SUCCESS(status)) status = buffers.Fetch(in, 2);
    if (!NT_SUCCESS(status)) return status;
    if (!m_Controller.IsValid()) return STATUS_INVALID_DEVICE_REQUEST;
    const Kt40drvAddress address = Decode(in[0], kCrate);
    ULONG out[2] = {0, 0};
    ULONG result = 0;
    BeginCycle();
    WritePort(in[1] | kCrateCommand | CrateBits(address));
    const ULONG word = WaitCompletion(address, result);
    EndCycle();
    out[0] = result;
    out[1] = word;
    status = buffers.Store(out, result == 0 ? Words(2) : Words(1));
    if (NT_SUCCESS(status)) I.SetInformation(result == 0 ? 2 : 1);
    return status;
}

// Reads the 24-bit LAM pattern of the crate (bit k = station k + 1).
// IRQL: PASSIVE_LEVEL. Returns STATUS_SUCCESS or the buffer check's status.
NTSTATUS Kt40drvDevice::KT40DRV_IOCTL_READLAM_Handler(KtRequest& I) {
    g_Trace.Write("Entering Kt40drvDevice::KT40DRV_IOCTL_READLAM_Handler, %s\n", I.Summary().Text);
    KtCallerBuffers buffers(I);
    ULONG in[1];
    NTSTATUS status = buffers.Check(1, 3);
    if (NT_SUCCESS(status)) status = buffers.Fetch(in, 1);
    if (!NT_SUCCESS(status)) return status;
    if (!m_Controller.IsValid()) return STATUS_INVALID_DEVICE_REQUEST;
    const Kt40drvAddress address = Decode(in[0], kLam);
    ULONG out[3] = {0, 0, 0};
    ULONG result = 0;
    ULONG pattern = 0;
    BeginCycle();
    out[1] = ReadSelected(address, result, pattern);
    EndCycle();
    out[0] = result;
    out[2] = pattern;
    status = buffers.Store(out, result == 0 ? Words(3) : Words(2));
    if (NT_SUCCESS(status)) I.SetInformation(result == 0 ? 3 : 2);
    return status;
}

// ---- Controller cycles ---------------------------------------------------------------

// Takes the port for a cycle: waits, preemptible, until no other control
// caller has it, then marks the cycle running, so that start-I/O leaves a
// transfer to EndCycle instead of touching the port. A transfer making its
// access now finishes first (it holds the port lock for it).
// IRQL: PASSIVE_LEVEL, caller's thread.
void Kt40drvDevice::BeginCycle() {
    PAGED_CODE();
    m_CycleGate.Acquire();
    KIRQL irql;
    KeAcquireSpinLock(&m_PortLock, &irql);
    m_CycleRunning = true;
    KeReleaseSpinLock(&m_PortLock, irql);
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

// Polls the port until the cycle ends: the error bit (result 2) wins over
// busy and done; while busy or cycle bits show it keeps polling; done ends
// it with result 1 for another crate, 4 for an addressed command without X,
// else 0. After 0xFFFFFF reads without an end the result is 3.
// IRQL: PASSIVE_LEVEL, in a cycle. Returns the last word read.
ULONG Kt40drvDevice::WaitCompletion(const Kt40drvAddress& Address, ULONG& Result) {
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    Result = KT40DRV_RESULT_OK;
    ULONG word = 0;
    for (ULONG reads = 0;; ) {
        if (reads == KT40DRV_POLL_LIMIT) {
            Result = KT40DRV_RESULT_NO_DONE;
            break;
        }
        ++reads;
        word = ReadPort();
        if (word & KT40DRV_COMPLETION_ERROR) {
            Result = KT40DRV_RESULT_ERROR;
            break;
        }
        if (word & (KT40DRV_COMPLETION_BUSY | KT40DRV_COMPLETION_CYCLE)) continue;
        if (word & KT40DRV_COMPLETION_DONE) {
            if (KT40DRV_COMPLETION_CRATE(word) != Address.Crate)
                Result = KT40DRV_RESULT_WRONG_CRATE;
            else if (Address.Mode == kAddressed && !(word & KT40DRV_COMPLETION_X))
                Result = KT40DRV_RESULT_NO_X;
            break;
        }
    }
    return word;
}

// Polls until busy (bit 18) clears, at most 0xFFFFFF reads.
// IRQL: PASSIVE_LEVEL, in a cycle. Returns whether it cleared.
bool Kt40drvDevice::WaitBusyClear() {
    for (ULONG reads = 0; reads < KT40DRV_POLL_LIMIT; ++reads)
        if (!(ReadPort() & KT40DRV_COMPLETION_BUSY)) return true;
    return false;
}

// Loads the write data: bits 0-15, and for a 24-bit transfer bits 16-23,
// each followed by a busy wait; then one more read of the port, whose value
// is not used. IRQL: PASSIVE_LEVEL, in a cycle. Returns false, with
// result 5, when busy did not clear.
bool Kt40drvDevice::WriteDataWord(const Kt40drvAddress& Address, ULONG& Result, ULONG Data) {
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    WritePort(kTargetWdlo | CrateBits(Address) | (Data & 0xFFFF));
    bool ok = WaitBusyClear();
    if (ok && Address.Wide) {
        WritePort(kTargetWdhi | CrateBits(Address) | ((Data >> 16) & 0xFF));
        ok = WaitBusyClear();
    }
    if (!ok) Result = KT40DRV_RESULT_BUSY;
    ReadPort();
    return ok;
}

// Reads the LAM pattern through the readout selector: stations 1-16, then
// 17-24. IRQL: PASSIVE_LEVEL, in a cycle. Returns the last completion
// word; Data is complete only when Result is 0.
ULONG Kt40drvDevice::ReadSelected(const Kt40drvAddress& Address, ULONG& Result, ULONG& Data) {
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    WritePort(kTargetRsel | CrateBits(Address) | kSelectLamLow);
    ULONG word = WaitCompletion(Address, Result);
    if (Result != 0) return word;
    Data = word & 0xFFFF;
    WritePort(kTargetRsel | CrateBits(Address) | kSelectLamHigh);
    word = WaitCompletion(Address, Result);
    if (Result != 0) return word;
    Data |= (word & 0xFF) << 16;
    return word;
}
