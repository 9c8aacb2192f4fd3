#include "KtSupport.h"

#include <ntddk.h>

#include "KtGuardedCopy.h"
#include "KtPool.h"

// ---- KtUnitName -------------------------------------------------------------------

KtUnitName::KtUnitName(PCWSTR Prefix, PCWSTR Base, ULONG Unit) {
    m_String.Buffer = m_Buffer;
    m_String.Length = 0;
    m_String.MaximumLength = sizeof(m_Buffer);
    m_Buffer[0] = 0;
    Append(Prefix);
    Append(Base);
    UNICODE_STRING number;
    WCHAR digits[12];
    number.Buffer = digits;
    number.Length = 0;
    number.MaximumLength = sizeof(digits);
    if (NT_SUCCESS(RtlIntegerToUnicodeString(Unit, 10, &number))) RtlAppendUnicodeStringToString(&m_String, &number);
}

void KtUnitName::Append(PCWSTR Text) { RtlAppendUnicodeToString(&m_String, Text); }

// ---- KtRegistryKey -------------------------------------------------------------------

NTSTATUS KtRegistryKey::Open(PCUNICODE_STRING Parent, PCWSTR Subkey) {
    PAGED_CODE();
    Close();
    UNICODE_STRING sub;
    RtlInitUnicodeString(&sub, Subkey);
    const USHORT bytes = static_cast<USHORT>(Parent->Length + sizeof(WCHAR) + sub.Length + sizeof(WCHAR));
    UNICODE_STRING path;
    path.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, KT_POOL_TAG));
    if (!path.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
    path.Length = 0;
    path.MaximumLength = bytes;
    RtlAppendUnicodeStringToString(&path, Parent);
    RtlAppendUnicodeToString(&path, L"\\");
    RtlAppendUnicodeStringToString(&path, &sub);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    const NTSTATUS status = ZwOpenKey(&m_Handle, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) m_Handle = nullptr;
    ExFreePoolWithTag(path.Buffer, KT_POOL_TAG);
    return status;
}

NTSTATUS KtRegistryKey::QueryValue(PCWSTR Name, ULONG& Value) {
    PAGED_CODE();
    if (!m_Handle) return STATUS_INVALID_PARAMETER;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    union {
        KEY_VALUE_PARTIAL_INFORMATION Info;
        UCHAR Bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    } buffer;
    ULONG length = 0;
    const NTSTATUS status =
        ZwQueryValueKey(m_Handle, &name, KeyValuePartialInformation, &buffer, sizeof(buffer), &length);
    if (!NT_SUCCESS(status)) return status;
    if (buffer.Info.DataLength != sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(&Value, buffer.Info.Data, sizeof(ULONG));
    return STATUS_SUCCESS;
}

void KtRegistryKey::Close() {
    if (!m_Handle) return;
    ZwClose(m_Handle);
    m_Handle = nullptr;
}

// ---- KtLowerDevice ---------------------------------------------------------------------

NTSTATUS KtLowerDevice::Initialize(PDEVICE_OBJECT Self, PDEVICE_OBJECT PhysicalDevice) {
    PAGED_CODE();
    m_Lower = IoAttachDeviceToDeviceStack(Self, PhysicalDevice);
    return m_Lower ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

void KtLowerDevice::Detach() {
    if (!m_Lower) return;
    IoDetachDevice(m_Lower);
    m_Lower = nullptr;
}

namespace {

NTSTATUS OnLowerDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PRKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS KtLowerDevice::CallAndWait(PIRP Irp) {
    PAGED_CODE();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnLowerDone, &done, TRUE, TRUE, TRUE);
    if (Call(Irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

// ---- KtRequestCount -------------------------------------------------------------------

void KtRequestCount::Initialize() {
    InterlockedExchange(&m_Count, 1);
    InterlockedExchange(&m_WaitLevel, -1);
    KeInitializeEvent(&m_Event, NotificationEvent, FALSE);
}

void KtRequestCount::Release() {
    const LONG count = InterlockedDecrement(&m_Count);
    NT_ASSERT(count >= 0);
    if (count <= InterlockedCompareExchange(&m_WaitLevel, 0, 0)) KeSetEvent(&m_Event, IO_NO_INCREMENT, FALSE);
}

void KtRequestCount::WaitUntilAtMost(LONG Level) {
    PAGED_CODE();
    InterlockedExchange(&m_WaitLevel, Level);
    for (;;) {
        KeClearEvent(&m_Event);
        if (Count() <= Level) break;
        KeWaitForSingleObject(&m_Event, Executive, KernelMode, FALSE, nullptr);
    }
    InterlockedExchange(&m_WaitLevel, -1);
}

// ---- KtCallerBuffers -------------------------------------------------------------------

// For a request from user mode:
//  1. the range is checked as ProbeForRead/ProbeForWrite check it (they
//     report a bad range only by raising, so they are not used): it must not
//     start at null, wrap around, or reach MmUserProbeAddress (system space);
//  2. MmSecureVirtualMemory secures it, read-only access for input and
//     read-write for output. It fails, and so do we, unless every page of the
//     range is committed with that access; while the range is secured no
//     other thread of the caller can free it or take the access away;
//  3. the words are copied by KtGuardedCopy, and the range is unsecured at
//     once. What securing cannot rule out is a fault at the copy itself: an
//     in-page error of a page whose backing store fails (a mapped file on a
//     failing network share, a cloud placeholder whose provider refuses, a
//     bad block of the paging file). KtGuardedCopy catches it and gives
//     STATUS_INVALID_USER_BUFFER instead of a bug check.
// A check without a copy reads one byte of every page of the range, so that
// a page that cannot be brought in fails the request at its check, before
// the controller cycle. All of it runs at PASSIVE_LEVEL in the caller's own
// thread (the dispatch routine of a METHOD_NEITHER request; this driver is
// the top of its stack), never with a spin lock held: the handlers check and
// fetch before the cycle and store after it. A kernel-mode caller's buffers
// are its own responsibility; they are not secured (a null one is refused),
// but are copied through the same routine.
NTSTATUS KtCallerBuffers::Touch(PVOID Caller, PVOID Kernel, SIZE_T Bytes, bool IntoCaller) const {
    PAGED_CODE();
    if (Bytes == 0) return STATUS_SUCCESS;
    HANDLE secured = nullptr;
    if (m_Request.FromUserMode()) {
        const ULONG_PTR start = reinterpret_cast<ULONG_PTR>(Caller);
        if (start == 0 || start + Bytes < start || start + Bytes > MM_USER_PROBE_ADDRESS)
            return STATUS_ACCESS_VIOLATION;
        secured = MmSecureVirtualMemory(Caller, Bytes, IntoCaller ? PAGE_READWRITE : PAGE_READONLY);
        if (!secured) return STATUS_ACCESS_VIOLATION;
    } else if (!Caller) {
        return STATUS_ACCESS_VIOLATION;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (Kernel) {
        status = IntoCaller ? KtGuardedCopy(Caller, Kernel, Bytes) : KtGuardedCopy(Kernel, Caller, Bytes);
    } else {
        constexpr ULONG_PTR kPage = 4096;  // the smallest page of x64 and x86
        const ULONG_PTR start = reinterpret_cast<ULONG_PTR>(Caller);
        UCHAR probe;
        for (ULONG_PTR at = start; NT_SUCCESS(status) && at < start + Bytes; at = (at & ~(kPage - 1)) + kPage)
            status = KtGuardedCopy(&probe, reinterpret_cast<PVOID>(at), 1);
    }
    if (secured) MmUnsecureVirtualMemory(secured);
    return status;
}

NTSTATUS KtCallerBuffers::Check(ULONG InputWords, ULONG OutputWords) const {
    PAGED_CODE();
    if (m_Request.InputLength() / sizeof(ULONG) < InputWords) return STATUS_INVALID_PARAMETER;
    if (m_Request.OutputLength() / sizeof(ULONG) < OutputWords) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = Touch(m_Request.Type3InputBuffer(), nullptr, InputWords * sizeof(ULONG), false);
    if (NT_SUCCESS(status)) status = Touch(m_Request.UserBuffer(), nullptr, OutputWords * sizeof(ULONG), true);
    return status;
}

NTSTATUS KtCallerBuffers::Fetch(ULONG* Words, ULONG Count) const {
    const NTSTATUS status = Check(Count, 0);
    if (!NT_SUCCESS(status)) return status;
    return Touch(m_Request.Type3InputBuffer(), Words, Count * sizeof(ULONG), false);
}

NTSTATUS KtCallerBuffers::Store(const ULONG* Words, ULONG Mask) const {
    ULONG count = 0;
    for (ULONG m = Mask; m; m >>= 1) ++count;
    NTSTATUS status = Check(0, count);
    auto* out = static_cast<PUCHAR>(m_Request.UserBuffer());
    for (ULONG i = 0; NT_SUCCESS(status) && i < count; ++i)
        if (Mask & (1u << i))
            status = Touch(out + i * sizeof(ULONG), const_cast<ULONG*>(&Words[i]), sizeof(ULONG), true);
    return status;
}
