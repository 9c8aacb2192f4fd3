// KtGuardedCopy: the one routine that reads or writes a caller's memory.
//
//   NTSTATUS KtGuardedCopy(PVOID Destination, const VOID* Source, SIZE_T Bytes)
//   (Microsoft x64 calling convention on every build: rcx, rdx, r8)
//
// Returns STATUS_SUCCESS, or STATUS_INVALID_USER_BUFFER when the copy
// faulted (an access violation, an in-page error of a paged-out page whose
// backing store fails, a guard page). How much of the destination was
// written before a fault is not defined.
//
// GCC has no __try/__except, so the exception handling that a driver built
// with Microsoft's compiler gets from __try is written out here:
//  - The routine has unwind data (.pdata/.xdata, made by the assembler from
//    the .seh_ directives) naming a language-specific handler for
//    exceptions, KtGuardedCopyHandler (KtGuardedCopyHandler.cpp). When an
//    instruction inside the routine faults, the kernel's exception
//    dispatcher walks the stack by that data, finds this frame first and
//    calls the handler.
//  - The only instruction that touches memory is the `rep movsb` at
//    KtGuardedCopyAccess. The handler accepts an exception at exactly that
//    address, sets the faulting context's RIP to KtGuardedCopyResume and
//    its RAX to STATUS_INVALID_USER_BUFFER, and returns
//    ExceptionContinueExecution: the dispatcher resumes that context. The
//    stack pointer is still the routine's own (the prologue has run, and
//    `rep movsb` does not move it), so the epilogue pops what the prologue
//    pushed and returns to the caller, as __except's recovery would.
//  - Any other exception address, an unwind, or a non-continuable exception
//    is passed on (ExceptionContinueSearch).
// RSI and RDI are callee-saved in the Microsoft convention and are used by
// `rep movsb`, so the prologue saves them; the direction flag is clear on
// entry by that convention too.
//
// On Linux the same instructions run under the stand-in kernel, which has
// no unwind tables to search: the routine's range and handler go in the
// section kt40_pdata instead, where the stand-in's fault handler finds
// them and calls the same handler with the same records.

#if !defined(__x86_64__)
#error "KtGuardedCopy is written for x86-64"
#endif

        .text
        .globl  KtGuardedCopy
        .globl  KtGuardedCopyAccess
        .globl  KtGuardedCopyResume
#if defined(_WIN64)
        .def    KtGuardedCopy; .scl 2; .type 32; .endef
        .seh_proc KtGuardedCopy
        .seh_handler KtGuardedCopyHandler, @except
#else
        .type   KtGuardedCopy, @function
#endif
        .p2align 4
KtGuardedCopy:
        pushq   %rsi
#if defined(_WIN64)
        .seh_pushreg %rsi
#endif
        pushq   %rdi
#if defined(_WIN64)
        .seh_pushreg %rdi
        .seh_endprologue
#endif
        movq    %rcx, %rdi              // destination
        movq    %rdx, %rsi              // source
        movq    %r8, %rcx               // bytes
        xorl    %eax, %eax              // STATUS_SUCCESS
KtGuardedCopyAccess:
        rep movsb
KtGuardedCopyResume:
        popq    %rdi
        popq    %rsi
        ret
KtGuardedCopyEnd:
#if defined(_WIN64)
        .seh_endproc
#else
        .size   KtGuardedCopy, KtGuardedCopyEnd - KtGuardedCopy

        // Start, end and handler, for the stand-in kernel.
        .section kt40_pdata, "aw", @progbits
        .p2align 3
        .quad   KtGuardedCopy, KtGuardedCopyEnd, KtGuardedCopyHandler

        .section .note.GNU-stack, "", @progbits
#endif
