// Structured exceptions, as far as a driver can meet them here: a fault
// inside a routine that carries an exception handler is dispatched to that
// handler, as the kernel's dispatcher does from the image's unwind data; a
// fault anywhere else is what it would be on a real machine, a crash (the
// signal goes on to whoever had it before: the sanitizer's report, or the
// default action).
//
// A driver's ELF build lists such routines in the section kt40_pdata
// (start, end, handler: see kt40drv's KtGuardedCopy.S). The dispatcher here
// looks up the faulting instruction there, builds the exception and context
// records from the signal, calls the handler and, when it answers
// ExceptionContinueExecution, resumes the context the handler left.
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <vector>

#include <ntddk.h>

#include "State.h"

namespace {

using Handler = EXCEPTION_DISPOSITION __attribute__((ms_abi)) (*)(PEXCEPTION_RECORD, PVOID, PCONTEXT, PVOID);

struct FunctionEntry {
    uintptr_t begin;
    uintptr_t end;
    Handler handler;
};

}  // namespace

extern "C" {
extern const FunctionEntry __start_kt40_pdata[] __attribute__((weak));
extern const FunctionEntry __stop_kt40_pdata[] __attribute__((weak));
}

namespace kt40kernel::detail {
namespace {

struct sigaction previousSegv, previousBus;

// The context registers, between the signal's view and the handler's.
constexpr int kRegisters[][2] = {
    {offsetof(CONTEXT, Rax), REG_RAX}, {offsetof(CONTEXT, Rcx), REG_RCX}, {offsetof(CONTEXT, Rdx), REG_RDX},
    {offsetof(CONTEXT, Rbx), REG_RBX}, {offsetof(CONTEXT, Rsp), REG_RSP}, {offsetof(CONTEXT, Rbp), REG_RBP},
    {offsetof(CONTEXT, Rsi), REG_RSI}, {offsetof(CONTEXT, Rdi), REG_RDI}, {offsetof(CONTEXT, R8), REG_R8},
    {offsetof(CONTEXT, R9), REG_R9},   {offsetof(CONTEXT, R10), REG_R10}, {offsetof(CONTEXT, R11), REG_R11},
    {offsetof(CONTEXT, R12), REG_R12}, {offsetof(CONTEXT, R13), REG_R13}, {offsetof(CONTEXT, R14), REG_R14},
    {offsetof(CONTEXT, R15), REG_R15}, {offsetof(CONTEXT, Rip), REG_RIP},
};

ULONG64& reg(CONTEXT& c, int offset) { return *reinterpret_cast<ULONG64*>(reinterpret_cast<char*>(&c) + offset); }

// Only async-signal-safe work: a table walk, the driver's handler, and
// register copies.
bool dispatch(int sig, siginfo_t* info, ucontext_t* uc) {
    greg_t* g = uc->uc_mcontext.gregs;
    const auto rip = static_cast<uintptr_t>(g[REG_RIP]);
    if (!__start_kt40_pdata) return false;
    for (const FunctionEntry* e = __start_kt40_pdata; e < __stop_kt40_pdata; ++e) {
        if (rip < e->begin || rip >= e->end) continue;
        EXCEPTION_RECORD record{};
        // A page that could not be brought in is an in-page error, with the
        // I/O status as the third parameter; anything else an access violation.
        record.ExceptionCode = sig == SIGBUS ? STATUS_IN_PAGE_ERROR : STATUS_ACCESS_VIOLATION;
        record.ExceptionAddress = reinterpret_cast<PVOID>(rip);
        record.NumberParameters = sig == SIGBUS ? 3 : 2;
        record.ExceptionInformation[0] = (g[REG_ERR] & 2) ? 1 : 0;  // page-fault error code: a write
        record.ExceptionInformation[1] = reinterpret_cast<ULONG_PTR>(info->si_addr);
        record.ExceptionInformation[2] = static_cast<ULONG>(STATUS_DEVICE_DOES_NOT_EXIST);
        CONTEXT context{};
        for (auto [offset, index] : kRegisters) reg(context, offset) = static_cast<ULONG64>(g[index]);
        context.EFlags = static_cast<ULONG>(g[REG_EFL]);
        if (e->handler(&record, reinterpret_cast<PVOID>(g[REG_RSP]), &context, nullptr) != ExceptionContinueExecution)
            return false;
        for (auto [offset, index] : kRegisters) g[index] = static_cast<greg_t>(reg(context, offset));
        return true;
    }
    return false;
}

void onFault(int sig, siginfo_t* info, void* uc) {
    if (dispatch(sig, info, static_cast<ucontext_t*>(uc))) return;
    // Unhandled: a bug check on a real machine. The fault is raised again on
    // return, now to the handler that was there before.
    const struct sigaction& before = sig == SIGBUS ? previousBus : previousSegv;
    if ((before.sa_flags & SA_SIGINFO) && before.sa_sigaction) {
        before.sa_sigaction(sig, info, uc);
        return;
    }
    if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
        before.sa_handler(sig);
        return;
    }
    signal(sig, SIG_DFL);
}

std::mutex rangesMu;
struct Range {
    uintptr_t start;
    size_t size;
};
std::vector<Range> inPageErrorRanges;

}  // namespace

void installExceptionDispatch() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = onFault;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, &previousSegv);
        sigaction(SIGBUS, &sa, &previousBus);
    });
}

bool inPageErrorCovers(uintptr_t start, size_t size) {
    std::lock_guard lock(rangesMu);
    for (const Range& r : inPageErrorRanges)
        if (start >= r.start && start + size <= r.start + r.size) return true;
    return false;
}

void releaseInPageErrorRanges() {
    std::lock_guard lock(rangesMu);
    for (const Range& r : inPageErrorRanges) munmap(reinterpret_cast<void*>(r.start), r.size);
    inPageErrorRanges.clear();
}

}  // namespace kt40kernel::detail

namespace kt40kernel {

// The pages are replaced by a shared mapping of a file that is then cut to
// nothing: every access to them raises SIGBUS, as a page of a file whose
// storage has gone away does.
bool Kernel::markInPageError(void* at, size_t bytes) {
    detail::installExceptionDispatch();
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<uintptr_t>(at);
    if (start % page || bytes == 0) return false;
    const size_t size = (bytes + page - 1) / page * page;
    const int fd = memfd_create("kt40kernel-in-page-error", MFD_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0 &&
              mmap(at, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) == at && ftruncate(fd, 0) == 0;
    close(fd);
    if (!ok) return false;
    std::lock_guard lock(detail::rangesMu);
    detail::inPageErrorRanges.push_back({start, size});
    return true;
}

}  // namespace kt40kernel
