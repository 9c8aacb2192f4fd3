// The copy that may fault: the one routine through which the driver reads
// and writes a caller's memory (KtCallerBuffers::Touch). It is written in
// assembly with its own exception handler (KtGuardedCopy.S,
// KtGuardedCopyHandler.cpp), because GCC has no __try.
#pragma once

#include <ntddk.h>

extern "C" {

// Copies Bytes from Source to Destination. Returns STATUS_SUCCESS, or
// STATUS_INVALID_USER_BUFFER when an access faulted (then the destination
// holds an undefined part of the data); the fault goes no further.
// IRQL: any at which both ranges may be touched (a caller's pageable
// memory: PASSIVE_LEVEL or APC_LEVEL, in the caller's context).
NTSTATUS __attribute__((ms_abi)) KtGuardedCopy(PVOID Destination, const VOID* Source, SIZE_T Bytes);

// The language-specific handler named in KtGuardedCopy's unwind data; the
// exception dispatcher calls it, nobody else does.
EXCEPTION_DISPOSITION __attribute__((ms_abi))
KtGuardedCopyHandler(PEXCEPTION_RECORD ExceptionRecord, PVOID EstablisherFrame, PCONTEXT ContextRecord,
                     PVOID DispatcherContext);

}
