// The stand-in kernel's <ntddk.h>: <wdm.h> and the few routines that the
// real kernel declares here rather than there.
#pragma once
#include <wdm.h>

// The x64 processor context of a faulting thread as an exception handler
// sees it: the integer registers (the stand-in leaves out the rest).
typedef struct _CONTEXT {
    ULONG64 Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi;
    ULONG64 R8, R9, R10, R11, R12, R13, R14, R15;
    ULONG64 Rip;
    ULONG EFlags;
} CONTEXT;

KT40K_BEGIN_C

// Secures a range of the current process's user space so that it can be
// neither freed nor made less accessible than ProbeMode (PAGE_READONLY or
// PAGE_READWRITE) until it is unsecured. Returns null, raising nothing, when
// the range is not wholly committed with that access. IRQL: <= APC_LEVEL.
HANDLE MmSecureVirtualMemory(PVOID Address, SIZE_T Size, ULONG ProbeMode);
VOID MmUnsecureVirtualMemory(HANDLE SecureHandle);

KT40K_END_C
