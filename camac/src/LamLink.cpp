#include "LamLink.h"

#include <algorithm>
#include <condition_variable>
#include <new>
#include <utility>
#include <vector>

#include "Packed.h"
#include "Protocol.h"
#include "State.h"
#include "camac.h"

namespace camac {

namespace {

std::atomic<void (*)(void)> g_lamHandler{nullptr};

// Linking and unlinking. The lock guards the connection's context pointer and
// the fields below. It is never held while a wait thread is joined: the
// caller's handler runs on that thread and may itself link or unlink.
//
// A wait thread never waits for another caller's unlink to finish (that
// caller may be joining it), and cannot join itself: unlinked from its own
// handler, its link is disabled at once and the thread is retired, to be
// joined by the next link step or unlink made on another thread.
struct Links {
    std::mutex mu;
    std::condition_variable settled;  // `ending` fell
    int ending = 0;                   // wait threads being joined outside the lock
    std::vector<LamThreadContext*> retired;
};

Links& links() {
    static Links l;
    return l;
}

// On a wait thread, the link it serves; null on every other thread.
thread_local LamThreadContext* t_ownLink = nullptr;

// Longest pause between interrupt waits that the service failed to answer.
constexpr unsigned kMaxRetryPauseMs = 100;

// The function the wait thread calls for each interrupt: hands words 9-11
// of the interrupt record to the connection's handler.
void trampoline(void* arg) {
    auto* conn = static_cast<AdapterConnection*>(arg);
    const uint32_t words[3] = {conn->interrupt.words[9], conn->interrupt.words[10], conn->interrupt.words[11]};
    conn->intHandler(conn, words);
}

// The open connection; without one, the failure is recorded as for the
// other routines.
AdapterConnection* current_connection() {
    std::lock_guard lock(bus_lock());
    AdapterConnection* conn = g_connection.load();
    if (!conn) g_status.error = CAMAC_ERR_DONE_TIMEOUT;
    return conn;
}

void thread_main(void* ctx) {
    t_ownLink = static_cast<LamThreadContext*>(ctx);
    int_wait_loop(t_ownLink);
}

int switch_lam_interrupt(AdapterConnection* conn, bool on) {
    if (conn->packed) return 0;  // nothing to switch: the poll stands in for it
    std::lock_guard lock(bus_lock());
    write_lam_enable(conn, on);
    return wait_ready(conn) ? 0 : 1;
}

// Ends the wait loop: it stops before its next wait, and the disable ends
// the wait in progress. Returns the status of the disable request.
uint32_t stop(LamThreadContext* ctx) {
    ctx->stopping.store(true);
    if (ctx->poll) return 0;  // it sees the flag within one poll interval
    return wd_call(kIoctlIntDisable, ctx->handle, ctx->interrupt, sizeof *ctx->interrupt, false);
}

// Waits until the stopped thread has ended and frees its context.
void finish(LamThreadContext* ctx) {
    platform::joinThread(ctx->thread);
    delete ctx;
}

// Joins the given contexts outside the lock, `stop` first for those not yet
// stopped; other threads' link steps see the count meanwhile.
void join_unlocked(std::unique_lock<std::mutex>& lock, LamThreadContext* link,
                   std::vector<LamThreadContext*> stopped) {
    Links& l = links();
    const int n = static_cast<int>(stopped.size()) + (link ? 1 : 0);
    if (n == 0) return;
    l.ending += n;
    lock.unlock();
    if (link) int_disable(link);
    for (auto* ctx : stopped) finish(ctx);
    lock.lock();
    l.ending -= n;
    l.settled.notify_all();
}

// Link step of cclnk.
void link(AdapterConnection* conn) {
    Links& l = links();
    std::unique_lock lock(l.mu);
    if (t_ownLink) {
        // From a handler: the link there is (even one that another caller is
        // ending right now) is kept. Without one, retired threads do not
        // stand in the way: they never wait in the service again.
        if (conn->lamThread || l.ending > 0) return;
    } else {
        for (;;) {
            l.settled.wait(lock, [&] { return l.ending == 0; });
            if (l.retired.empty()) break;
            join_unlocked(lock, nullptr, std::exchange(l.retired, {}));
        }
        if (conn->lamThread) return;
    }
    conn->intHandler = lam_dispatch;
    const uint32_t status = conn->packed ? lam_poll_start(&conn->lamThread, conn, trampoline, conn)
                                         : int_enable(&conn->lamThread, conn->handle, &conn->interrupt, trampoline, conn);
    if (status != 0)
        set_error_text("InterruptEnable() failed with status 0x%lx - %s\n", static_cast<unsigned long>(status),
                       status_text(status));
}

}  // namespace

uint32_t int_enable(LamThreadContext** out, platform::Handle h, InterruptRecord* rec, void (*function)(void*),
                    void* argument) {
    *out = nullptr;
    auto* ctx = new (std::nothrow) LamThreadContext;
    if (!ctx) return kStatusInsufficientResources;
    const uint32_t status = wd_call(kIoctlIntEnable, h, rec, sizeof *rec, false);
    if (status != 0) {
        delete ctx;
        return status;
    }
    ctx->handle = h;
    ctx->function = function;
    ctx->argument = argument;
    ctx->interrupt = rec;
    ctx->thread = platform::startThread(thread_main, ctx);
    if (!ctx->thread) {
        wd_call(kIoctlIntDisable, h, rec, sizeof *rec, false);
        delete ctx;
        return kStatusInsufficientResources;
    }
    *out = ctx;
    return 0;
}

uint32_t lam_poll_start(LamThreadContext** out, AdapterConnection* conn, void (*function)(void*), void* argument) {
    *out = nullptr;
    auto* ctx = new (std::nothrow) LamThreadContext;
    if (!ctx) return kStatusInsufficientResources;
    ctx->function = function;
    ctx->argument = argument;
    ctx->poll = conn;
    ctx->thread = platform::startThread(thread_main, ctx);
    if (!ctx->thread) {
        delete ctx;
        return kStatusInsufficientResources;
    }
    *out = ctx;
    return 0;
}

uint32_t int_disable(LamThreadContext* ctx) {
    if (!ctx) return kStatusInvalidHandle;
    const uint32_t status = stop(ctx);
    finish(ctx);
    return status;
}

void int_wait_loop(LamThreadContext* ctx) {
    if (ctx->poll) {
        // As the interrupt would: the handler again after each poll that
        // finds a LAM, until the link is undone.
        while (!ctx->stopping.load()) {
            bool present;
            {
                std::lock_guard lock(bus_lock());
                present = packed_lam_present(ctx->poll);
            }
            if (present && !ctx->stopping.load()) ctx->function(ctx->argument);
            platform::sleepMs(kLamPollMs);
        }
        return;
    }
    unsigned pause = 0;
    while (!ctx->stopping.load()) {
        const uint32_t status = wd_call(kIoctlIntWait, ctx->handle, ctx->interrupt, sizeof *ctx->interrupt, true);
        if (status != 0) {
            // The service did not take the wait (it is gone, or refused it):
            // word 11 says nothing, so wait a little and try again rather
            // than spin, until the link is undone.
            pause = std::clamp(pause * 2, 1u, kMaxRetryPauseMs);
            platform::sleepMs(pause);
            continue;
        }
        pause = 0;
        const uint32_t how = ctx->interrupt->words[11];
        if (how == kWaitDisabled) return;
        if (how == kWaitNothing) continue;
        ctx->function(ctx->argument);
    }
}

void lam_dispatch(AdapterConnection* conn, const uint32_t*) {
    if (!conn->packed) {
        std::lock_guard lock(bus_lock());
        write_lam_enable(conn, false);
    }
    if (auto handler = g_lamHandler.load()) handler();
    // A handler that unlinked (or that another caller is unlinking) leaves
    // the interrupt off.
    bool linked;
    {
        std::lock_guard lock(links().mu);
        linked = t_ownLink && conn->lamThread == t_ownLink;
    }
    if (linked && !conn->packed) {
        std::lock_guard lock(bus_lock());
        write_lam_enable(conn, true);
    }
}

void lam_unlink(AdapterConnection* conn) {
    Links& l = links();
    std::unique_lock lock(l.mu);
    LamThreadContext* ctx = conn->lamThread;
    if (t_ownLink) {
        // From a handler: never wait for an unlink in progress elsewhere.
        if (!ctx) return;
        conn->lamThread = nullptr;
        if (ctx == t_ownLink) {
            // Its own link: the thread cannot wait for itself to end.
            stop(ctx);
            l.retired.push_back(ctx);
            return;
        }
        join_unlocked(lock, ctx, {});
        return;
    }
    // Whoever else is ending a link: its thread has ended before we return.
    l.settled.wait(lock, [&] { return l.ending == 0; });
    ctx = std::exchange(conn->lamThread, nullptr);
    join_unlocked(lock, ctx, std::exchange(l.retired, {}));
}

}  // namespace camac

using namespace camac;

extern "C" {

CAMAC_API int CAMAC_CALL cclnk(void (*handler)(void)) {
    g_lamHandler.store(handler);
    AdapterConnection* conn = current_connection();
    if (!conn) return 1;
    link(conn);
    return switch_lam_interrupt(conn, true);
}

CAMAC_API int CAMAC_CALL cculnk(void) {
    AdapterConnection* conn = current_connection();
    if (!conn) return 1;
    lam_unlink(conn);
    return switch_lam_interrupt(conn, false);
}

}  // extern "C"
