// The exception handler of KtGuardedCopy (see KtGuardedCopy.S for how the
// two work together).
#include "KtGuardedCopy.h"

#ifndef EXCEPTION_UNWIND
#define EXCEPTION_UNWIND 0x66  // EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND | ...: an unwind, not a dispatch
#endif

extern "C" {
// Labels inside KtGuardedCopy: its one memory access and where it resumes.
extern const char KtGuardedCopyAccess[];
extern const char KtGuardedCopyResume[];
}

// Takes an exception raised by the copy instruction itself (an access
// violation, an in-page error, a guard page: whatever the access raised)
// and resumes the routine at its epilogue with STATUS_INVALID_USER_BUFFER
// as its result. Everything else is left to the frames above.
// IRQL: that of the faulting copy.
EXCEPTION_DISPOSITION __attribute__((ms_abi))
KtGuardedCopyHandler(PEXCEPTION_RECORD ExceptionRecord, PVOID, PCONTEXT ContextRecord, PVOID) {
    if (ExceptionRecord->ExceptionFlags & (EXCEPTION_UNWIND | EXCEPTION_NONCONTINUABLE))
        return ExceptionContinueSearch;
    if (ExceptionRecord->ExceptionAddress != static_cast<const void*>(KtGuardedCopyAccess) ||
        ContextRecord->Rip != reinterpret_cast<ULONG64>(KtGuardedCopyAccess))
        return ExceptionContinueSearch;
    ContextRecord->Rip = reinterpret_cast<ULONG64>(KtGuardedCopyResume);
    ContextRecord->Rax = static_cast<ULONG>(STATUS_INVALID_USER_BUFFER);
    return ExceptionContinueExecution;
}
