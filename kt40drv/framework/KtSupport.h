// Small services of the framework: unit-numbered names, registry keys, the
// attachment to the lower device, the count of outstanding requests and the
// caller's buffers of a METHOD_NEITHER request.
#pragma once

#include <wdm.h>

#include "KtRequest.h"

// Windows 8 on: a system-space MDL mapping without execute permission (a
// flag of the page priority). mingw-w64's DDK headers predate it.
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif

// A name made of a prefix, a base and a decimal unit number, e.g.
// "\Device\" "KT40" 1 -> "\Device\KT401". Kept in the object itself.
class KtUnitName {
public:
    // IRQL: any. An over-long name is cut (the names here are short).
    KtUnitName(PCWSTR Prefix, PCWSTR Base, ULONG Unit);
    PUNICODE_STRING Get() { return &m_String; }

private:
    void Append(PCWSTR Text);
    WCHAR m_Buffer[64];
    UNICODE_STRING m_String;
};

// A registry key opened for reading by path (case-insensitive).
class KtRegistryKey {
public:
    KtRegistryKey() = default;
    ~KtRegistryKey() { Close(); }
    KtRegistryKey(const KtRegistryKey&) = delete;
    KtRegistryKey& operator=(const KtRegistryKey&) = delete;

    // Opens Parent\Subkey with access 0x20019 (KEY_READ). IRQL: PASSIVE_LEVEL.
    NTSTATUS Open(PCUNICODE_STRING Parent, PCWSTR Subkey);
    // Reads a 32-bit value; Value stays as it was when the value is missing
    // or of another size. IRQL: PASSIVE_LEVEL.
    NTSTATUS QueryValue(PCWSTR Name, ULONG& Value);
    void Close();
    bool IsOpen() const { return m_Handle != nullptr; }

private:
    HANDLE m_Handle = nullptr;
};

// The attachment of a device to the stack beneath it.
class KtLowerDevice {
public:
    KtLowerDevice() = default;
    ~KtLowerDevice() { Detach(); }
    KtLowerDevice(const KtLowerDevice&) = delete;
    KtLowerDevice& operator=(const KtLowerDevice&) = delete;

    // Attaches Self on top of the stack of the physical device object.
    // IRQL: PASSIVE_LEVEL. Returns STATUS_NO_SUCH_DEVICE when the stack
    // takes no further device.
    NTSTATUS Initialize(PDEVICE_OBJECT Self, PDEVICE_OBJECT PhysicalDevice);
    // IRQL: PASSIVE_LEVEL. Does nothing when not attached.
    void Detach();
    PDEVICE_OBJECT Device() const { return m_Lower; }

    // Passes a request down at the next stack location; returns the lower
    // driver's status. IRQL: <= DISPATCH_LEVEL.
    NTSTATUS Call(PIRP Irp) { return IoCallDriver(m_Lower, Irp); }
    NTSTATUS PowerCall(PIRP Irp) { return PoCallDriver(m_Lower, Irp); }
    // Passes a request down and waits for the lower drivers to finish it;
    // the request is then the caller's again, to be completed. Returns the
    // lower drivers' status. IRQL: PASSIVE_LEVEL.
    NTSTATUS CallAndWait(PIRP Irp);

private:
    PDEVICE_OBJECT m_Lower = nullptr;
};

// Requests between dispatch and completion, plus one for the device itself.
// Removal drops the device's own count and waits for zero.
class KtRequestCount {
public:
    // IRQL: any.
    void Initialize();
    void Acquire() { InterlockedIncrement(&m_Count); }
    void Release();
    // Waits until at most Level remain. IRQL: PASSIVE_LEVEL.
    void WaitUntilAtMost(LONG Level);
    LONG Count() { return InterlockedCompareExchange(&m_Count, 0, 0); }

private:
    volatile LONG m_Count = 1;
    volatile LONG m_WaitLevel = -1;
    KEVENT m_Event{};
};

// A lock between threads at PASSIVE_LEVEL: the holder stays preemptible and
// may itself wait; a thread that finds it taken sleeps instead of spinning.
// Normal kernel APCs are off while it is held (a critical region), so the
// holder cannot be suspended with it.
class KtPassiveLock {
public:
    // IRQL: any.
    void Initialize() { KeInitializeEvent(&m_Free, SynchronizationEvent, TRUE); }
    // IRQL: PASSIVE_LEVEL.
    void Acquire() {
        KeEnterCriticalRegion();
        KeWaitForSingleObject(&m_Free, Executive, KernelMode, FALSE, nullptr);
    }
    // Acquire for a caller's request: waits at most Milliseconds, and ends
    // early when the caller's thread is being terminated (an alertable wait
    // in the caller's mode). IRQL: PASSIVE_LEVEL, caller's thread. Returns
    // STATUS_SUCCESS when acquired, STATUS_DEVICE_BUSY after the time,
    // STATUS_CANCELLED when the thread is ending; only success holds it.
    NTSTATUS AcquireForCaller(ULONG Milliseconds) {
        KeEnterCriticalRegion();
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(Milliseconds) * 10000;  // relative, 100 ns
        const NTSTATUS status = KeWaitForSingleObject(&m_Free, Executive, UserMode, TRUE, &timeout);
        if (status == STATUS_SUCCESS) return status;
        KeLeaveCriticalRegion();
        return status == STATUS_TIMEOUT ? STATUS_DEVICE_BUSY : STATUS_CANCELLED;
    }
    // IRQL: PASSIVE_LEVEL, by the thread that acquired it.
    void Release() {
        KeSetEvent(&m_Free, IO_NO_INCREMENT, FALSE);
        KeLeaveCriticalRegion();
    }

private:
    KEVENT m_Free{};  // signalled while nobody holds the lock
};

// The input and output buffers of a METHOD_NEITHER device control, as arrays
// of 32-bit words at the caller's addresses. Every access to the caller's
// memory goes through Touch: the length is checked first, then the address
// range is checked and secured, and only then is memory read or written,
// by a copy that survives a fault (see Touch).
class KtCallerBuffers {
public:
    explicit KtCallerBuffers(const KtRequest& Request) : m_Request(Request) {}

    // Checks that the input holds at least InputWords words and the output
    // room for OutputWords words, and that both ranges are the caller's and
    // can be brought in (a byte of each page is read; nothing is kept or
    // written). IRQL: PASSIVE_LEVEL, caller's context.
    // Returns STATUS_INVALID_PARAMETER for a short buffer,
    // STATUS_ACCESS_VIOLATION for an address the caller may not use and
    // STATUS_INVALID_USER_BUFFER for memory that faults when touched.
    NTSTATUS Check(ULONG InputWords, ULONG OutputWords) const;
    // Copies the first Count input words. Same IRQL and statuses.
    NTSTATUS Fetch(ULONG* Words, ULONG Count) const;
    // Writes output word i for each bit i set in Mask (i < 32). Same IRQL and statuses.
    NTSTATUS Store(const ULONG* Words, ULONG Mask) const;

private:
    // The one place that touches a caller's address: checks and secures
    // Bytes at Caller and copies them to Kernel (IntoCaller false) or from it
    // (true); Kernel null only checks. IRQL: PASSIVE_LEVEL, caller's context.
    // Returns STATUS_ACCESS_VIOLATION for a range the caller may not use,
    // STATUS_INVALID_USER_BUFFER when the access faulted.
    NTSTATUS Touch(PVOID Caller, PVOID Kernel, SIZE_T Bytes, bool IntoCaller) const;

    const KtRequest& m_Request;
};
