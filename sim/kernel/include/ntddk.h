// The stand-in kernel's <ntddk.h>: <wdm.h> and the few routines that the
// real kernel declares here rather than there.
#pragma once
#include <wdm.h>

KT40K_BEGIN_C

// Secures a range of the current process's user space so that it can be
// neither freed nor made less accessible than ProbeMode (PAGE_READONLY or
// PAGE_READWRITE) until it is unsecured. Returns null, raising nothing, when
// the range is not wholly committed with that access. IRQL: <= APC_LEVEL.
HANDLE MmSecureVirtualMemory(PVOID Address, SIZE_T Size, ULONG ProbeMode);
VOID MmUnsecureVirtualMemory(HANDLE SecureHandle);

KT40K_END_C
