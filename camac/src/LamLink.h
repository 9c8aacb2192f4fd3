// The LAM link: a wait thread that blocks in the kernel service until the
// adapter interrupts, and calls the caller's handler each time. The packed
// path cannot switch the adapter's LAM interrupt on (its port never writes
// CSR): there the thread polls the LAM pattern every kLamPollMs instead.
#pragma once

#include <atomic>

#include "Access.h"

namespace camac {

struct LamThreadContext {
    platform::Handle handle = platform::kInvalidHandle;
    void (*function)(void*) = nullptr;  // called on each interrupt
    void* argument = nullptr;
    InterruptRecord* interrupt = nullptr;
    platform::Thread thread = nullptr;
    std::atomic<bool> stopping{false};  // set before the disable is sent
    AdapterConnection* poll = nullptr;  // packed path: the connection polled
};

inline constexpr unsigned kLamPollMs = 1;

// Starts the packed path's poll thread; 0 or 0x20000005 when memory or the
// thread are lacking.
uint32_t lam_poll_start(LamThreadContext** out, AdapterConnection* conn, void (*function)(void*), void* argument);

// Enables the service's interrupt and starts the wait thread; 0 or the
// service status (0x20000005 when memory or the thread are lacking).
uint32_t int_enable(LamThreadContext** out, platform::Handle h, InterruptRecord* rec, void (*function)(void*),
                    void* argument);
// Disables the interrupt, waits for the thread to end and frees the context;
// the status of the disable request (0x20000001 for a null context).
uint32_t int_disable(LamThreadContext* ctx);

// The wait thread's body.
void int_wait_loop(LamThreadContext* ctx);

// Ends the connection's link: returns once its wait thread, and every one
// left by an unlink from a handler, has ended. Called on a wait thread (from
// the caller's handler), it cannot wait for that thread itself: its own link
// is disabled at once and the thread ends when the handler returns.
void lam_unlink(AdapterConnection* conn);

// The connection-level handler: runs the caller's LAM handler with the
// adapter's interrupt enable off around it.
void lam_dispatch(AdapterConnection* conn, const uint32_t words[3]);

}  // namespace camac
