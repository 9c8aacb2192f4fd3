// kt40copycheck.sys: a test driver, never shipped, that runs kt40drv's
// caller-buffer copy (KtGuardedCopy) under Wine's kernel emulation, where a
// faulting access is dispatched by the same table-based unwinder as on
// Windows: it proves that the unwind data names the handler and that the
// handler resumes the routine. It copies from a good buffer, from the null
// page and into a read-only page, prints the three statuses and loads.
// Only for Wine: on a real kernel a fault on a kernel address is a bug
// check whatever handler is there (only user addresses raise exceptions).
#include <ntddk.h>

#include "KtGuardedCopy.h"

namespace {

const ULONG kReadOnly[4] = {1, 2, 3, 4};  // .rdata: not writable

VOID Unload(PDRIVER_OBJECT) { DbgPrint("kt40copycheck: unloaded\n"); }

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    ULONG from[4] = {0x11, 0x22, 0x33, 0x44};
    ULONG to[4] = {};
    const NTSTATUS good = KtGuardedCopy(to, from, sizeof from);
    const bool same = to[0] == 0x11 && to[3] == 0x44;
    const NTSTATUS nullPage = KtGuardedCopy(to, reinterpret_cast<const VOID*>(ULONG_PTR{0x10}), sizeof to);
    const NTSTATUS readOnly = KtGuardedCopy(const_cast<ULONG*>(kReadOnly), from, sizeof from);
    DbgPrint("kt40copycheck: good copy 0x%08lx (%s), read of the null page 0x%08lx, write to a read-only page 0x%08lx\n",
             good, same ? "same words" : "other words", nullPage, readOnly);
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
