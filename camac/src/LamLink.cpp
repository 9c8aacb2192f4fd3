#include "LamLink.h"

#include <algorithm>
#include <new>

#include "Protocol.h"
#include "State.h"
#include "camac.h"

namespace camac {

namespace {

std::atomic<void (*)(void)> g_lamHandler{nullptr};

// Serialises linking and unlinking.
std::mutex& link_lock() {
    static std::mutex m;
    return m;
}

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

void thread_main(void* ctx) { int_wait_loop(static_cast<LamThreadContext*>(ctx)); }

int switch_lam_interrupt(AdapterConnection* conn, bool on) {
    std::lock_guard lock(bus_lock());
    write_lam_enable(conn, on);
    return wait_ready(conn) ? 0 : 1;
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

uint32_t int_disable(LamThreadContext* ctx) {
    if (!ctx) return kStatusInvalidHandle;
    ctx->stopping.store(true);
    const uint32_t status = wd_call(kIoctlIntDisable, ctx->handle, ctx->interrupt, sizeof *ctx->interrupt, false);
    platform::joinThread(ctx->thread);
    delete ctx;
    return status;
}

void int_wait_loop(LamThreadContext* ctx) {
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
    {
        std::lock_guard lock(bus_lock());
        write_lam_enable(conn, false);
    }
    if (auto handler = g_lamHandler.load()) handler();
    {
        std::lock_guard lock(bus_lock());
        write_lam_enable(conn, true);
    }
}

}  // namespace camac

using namespace camac;

extern "C" {

CAMAC_API int CAMAC_CALL cclnk(void (*handler)(void)) {
    g_lamHandler.store(handler);
    AdapterConnection* conn = current_connection();
    if (!conn) return 1;
    {
        std::lock_guard lock(link_lock());
        if (!conn->lamThread) {
            conn->intHandler = lam_dispatch;
            const uint32_t status = int_enable(&conn->lamThread, conn->handle, &conn->interrupt, trampoline, conn);
            if (status != 0)
                set_error_text("InterruptEnable() failed with status 0x%lx - %s\n",
                               static_cast<unsigned long>(status), status_text(status));
        }
    }
    return switch_lam_interrupt(conn, true);
}

CAMAC_API int CAMAC_CALL cculnk(void) {
    AdapterConnection* conn = current_connection();
    if (!conn) return 1;
    {
        std::lock_guard lock(link_lock());
        if (conn->lamThread) {
            int_disable(conn->lamThread);
            conn->lamThread = nullptr;
        }
    }
    return switch_lam_interrupt(conn, false);
}

}  // extern "C"
