// The stand-in kernel's other processors: the interrupt processor that
// delivers the adapter's PCI line to the connected service routines, and the
// DPC processor that runs queued DPCs. Both are real threads, so a driver's
// interrupt, DPC and dispatch paths race as they do on a multiprocessor.
// Hold points let a test stop a thread at a chosen place.
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "State.h"
#include "kt40sim/Adapter.h"

namespace kt40kernel::detail {

thread_local uint64_t tRequest = 0;
thread_local UCHAR tMajor = 0;

namespace {

constexpr auto kHangLimit = std::chrono::seconds(30);

// ---- Interrupt processor -----------------------------------------------------------

struct InterruptProcessor {
    std::mutex mu;
    std::condition_variable cv;
    std::thread thread;
    bool running = false;
    bool stop = false;
    bool wake = false;         // the line changed, or a routine was connected
    unsigned shared = 0;       // interrupts of another device on the line
    bool otherBusy = false;    // another device asserts the line again and again
    bool servicing = false;    // between taking work and finishing it
    bool calling = false;      // service routines are being called
    bool stuck = false;        // high, and no routine claimed it
    bool listening = false;
    uint64_t claimed = 0;
    uint64_t declined = 0;
};

InterruptProcessor& irq() {
    static InterruptProcessor p;
    return p;
}

// Offers one interrupt to the connected routines in connection order, each
// at its IRQL under its spin lock, until one claims it. Returns whether one
// did; `any` tells whether a routine was connected at all.
bool offer(bool& any) {
    auto& p = irq();
    {
        std::lock_guard lock(p.mu);
        p.calling = true;
    }
    park(HoldPoint::Interrupt);
    std::vector<Interrupt*> list;
    {
        std::lock_guard lock(state().mu);
        list = state().interrupts;
    }
    any = !list.empty();
    bool claimed = false;
    for (Interrupt* i : list) {
        KIRQL saved;
        KeRaiseIrql(i->irql, &saved);
        const auto me = reinterpret_cast<ULONG_PTR>(&tRequest);
        for (;;) {
            ULONG_PTR expected = 0;
            if (__atomic_compare_exchange_n(i->lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
            sched_yield();
        }
        const BOOLEAN mine = i->routine(reinterpret_cast<PKINTERRUPT>(i), i->context);
        __atomic_store_n(i->lock, 0, __ATOMIC_RELEASE);
        if (KeGetCurrentIrql() != i->irql)
            fault("an interrupt service routine returned at IRQL " + std::to_string(KeGetCurrentIrql()));
        KeLowerIrql(saved);
        if (mine) {
            claimed = true;
            break;
        }
    }
    {
        std::lock_guard lock(p.mu);
        p.calling = false;
        if (claimed) ++p.claimed;
        else if (any) ++p.declined;
    }
    p.cv.notify_all();
    return claimed;
}

// The adapter's line; a card gone from the bus drives it no more.
bool lineHigh(kt40sim::Adapter& adapter) {
    {
        std::lock_guard lock(state().mu);
        if (state().cardGone) return false;
    }
    return adapter.pciInterruptLine();
}

void interruptLoop() {
    auto& p = irq();
    auto& adapter = kt40sim::Adapter::instance();
    for (;;) {
        bool shared;
        bool stuck;
        {
            std::unique_lock lock(p.mu);
            auto due = [&] { return p.stop || p.wake || p.shared > 0 || p.otherBusy; };
            // The crate's modules run on the clock: while nothing is due the
            // loop brings them up to time when the next of them is (a trigger,
            // an overflow), and every 20 ms for a bench in another program, so
            // that the LAM they raise comes as an interrupt. The listener sets
            // `wake` when the line rises.
            while (!due()) {
                lock.unlock();
                adapter.tick();
                const int64_t next = adapter.nextEventNs();
                lock.lock();
                if (due()) break;
                constexpr int64_t kTickNs = 20000000;
                const int64_t left = next == kt40sim::kNever ? kTickNs : next - kt40sim::realTimeNs();
                p.cv.wait_for(lock, std::chrono::nanoseconds(std::clamp<int64_t>(left, 0, kTickNs)), due);
            }
            if (p.stop) return;
            p.wake = false;
            shared = p.shared > 0 || p.otherBusy;
            if (p.shared > 0) --p.shared;
            stuck = p.stuck;
            p.servicing = true;
        }
        // Level-triggered: while the line stays high the routines are called
        // again; a line that no routine claims, or that a claiming routine
        // never brings down, would hang a real machine.
        for (unsigned round = 0;; ++round) {
            if (round == 100000) {
                fault("interrupt storm: the adapter's line stays high although a service routine claims it");
                std::lock_guard lock(p.mu);
                p.stuck = true;
                break;
            }
            const bool high = lineHigh(adapter);
            if (!high && !shared) break;
            // A line already reported as stuck is not offered again until it
            // falls or another routine is connected.
            if (stuck && !shared) break;
            bool any;
            const bool claimed = offer(any);
            if (!any) break;  // delivered once a routine is connected
            if (shared) {
                shared = false;
                continue;
            }
            if (!claimed && lineHigh(adapter)) {
                fault("the adapter's interrupt line stays high and no service routine claims it");
                std::lock_guard lock(p.mu);
                p.stuck = true;
                break;
            }
        }
        bool busy;
        {
            std::lock_guard lock(p.mu);
            p.servicing = false;
            busy = p.otherBusy;
        }
        p.cv.notify_all();
        // The other device's own routine took its interrupt; it asserts the
        // line again a little later.
        if (busy) std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

void startInterruptProcessor() {
    auto& p = irq();
    bool listen;
    {
        std::lock_guard lock(p.mu);
        if (p.running) return;
        p.running = true;
        p.stop = false;
        p.wake = true;
        listen = !p.listening;
        p.listening = true;
        p.thread = std::thread(interruptLoop);
    }
    if (listen) {
        // Called with the adapter's lock held: only note the change.
        kt40sim::Adapter::instance().addPciInterruptListener([](bool high) {
            auto& q = irq();
            {
                std::lock_guard lock(q.mu);
                q.wake = true;
                if (!high) q.stuck = false;
            }
            q.cv.notify_all();
        });
    }
}

// ---- DPC processor -----------------------------------------------------------------

std::thread gDpcThread;
bool gDpcStop = false;
bool gDpcRunning = false;

void dpcLoop() {
    auto& s = state();
    std::unique_lock lock(s.mu);
    for (;;) {
        s.dpcChanged.wait(lock, [&] { return gDpcStop || (!s.dpcs.empty() && !s.dpcHeld); });
        if (gDpcStop) return;
        PRKDPC dpc = s.dpcs.front();
        s.dpcs.erase(s.dpcs.begin());
        dpc->DpcData = nullptr;
        s.dpcRunning = dpc;
        const PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
        lock.unlock();
        KIRQL saved;
        KeRaiseIrql(DISPATCH_LEVEL, &saved);
        routine(dpc, context, a1, a2);
        if (KeGetCurrentIrql() != DISPATCH_LEVEL) fault("a DPC routine returned at IRQL " + std::to_string(KeGetCurrentIrql()));
        KeLowerIrql(saved);
        lock.lock();
        s.dpcRunning = nullptr;
        ++s.dpcRuns;
        s.dpcChanged.notify_all();
    }
}

// ---- Hold points -----------------------------------------------------------------------

struct Holds {
    std::mutex mu;
    std::condition_variable cv;
    bool on[4] = {false, false, false, false};
    unsigned waiting[4] = {0, 0, 0, 0};
};

Holds& holds() {
    static Holds h;
    return h;
}

size_t indexOf(HoldPoint point) { return static_cast<size_t>(point); }

}  // namespace

void wakeDpcThread() {
    if (!gDpcRunning) {
        gDpcRunning = true;
        gDpcStop = false;
        gDpcThread = std::thread(dpcLoop);
    }
    state().dpcChanged.notify_all();
}

void connectInterrupt(Interrupt* i) {
    startInterruptProcessor();
    {
        std::lock_guard lock(state().mu);
        state().interrupts.push_back(i);
    }
    auto& p = irq();
    {
        std::lock_guard lock(p.mu);
        p.wake = true;  // a line already high is delivered now
        p.stuck = false;
    }
    p.cv.notify_all();
}

bool disconnectInterrupt(Interrupt* i) {
    auto& p = irq();
    std::unique_lock lock(p.mu);
    // A busy other device interrupts once more just before the routine goes:
    // the worst moment for a driver that gives its registers back first.
    if (p.otherBusy && p.running) {
        ++p.shared;
        p.cv.notify_all();
        p.cv.wait_for(lock, kHangLimit, [&] { return p.shared == 0 && !p.servicing; });
    }
    // A routine being called finishes first; afterwards it is not offered again.
    if (p.calling) {
        {
            std::lock_guard tables(state().mu);
            ++state().waiters;
        }
        p.cv.wait(lock, [&] { return !p.calling; });
        std::lock_guard tables(state().mu);
        --state().waiters;
    }
    std::lock_guard tables(state().mu);
    auto& v = state().interrupts;
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (*it == i) {
            v.erase(it);
            return true;
        }
    }
    return false;
}

void stopThreads() {
    auto& p = irq();
    std::thread t;
    {
        std::lock_guard lock(p.mu);
        if (p.running) {
            p.stop = true;
            p.running = false;
            t = std::move(p.thread);
        }
        p.shared = 0;
        p.otherBusy = false;
        p.stuck = false;
        p.claimed = p.declined = 0;
    }
    p.cv.notify_all();
    if (t.joinable()) t.join();
    {
        std::lock_guard lock(state().mu);
        state().dpcHeld = false;
        if (gDpcRunning) {
            gDpcStop = true;
            gDpcRunning = false;
            t = std::move(gDpcThread);
        }
    }
    state().dpcChanged.notify_all();
    if (t.joinable()) t.join();
    auto& h = holds();
    std::lock_guard lock(h.mu);
    for (auto& on : h.on) on = false;
    h.cv.notify_all();
}

void keepSharedLineBusy(bool on) {
    startInterruptProcessor();
    auto& p = irq();
    {
        std::lock_guard lock(p.mu);
        p.otherBusy = on;
    }
    p.cv.notify_all();
}

void raiseShared() {
    startInterruptProcessor();
    auto& p = irq();
    {
        std::lock_guard lock(p.mu);
        ++p.shared;
    }
    p.cv.notify_all();
}

uint64_t interruptsClaimed() {
    std::lock_guard lock(irq().mu);
    return irq().claimed;
}

uint64_t interruptsDeclined() {
    std::lock_guard lock(irq().mu);
    return irq().declined;
}

void settle() {
    auto& p = irq();
    auto& s = state();
    const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
    auto interruptsIdle = [&] {
        const bool high = lineHigh(kt40sim::Adapter::instance());
        bool connected;
        {
            std::lock_guard lock(s.mu);
            connected = !s.interrupts.empty();
        }
        std::lock_guard lock(p.mu);
        if (!p.running) return true;
        return !p.wake && p.shared == 0 && !p.servicing && (!high || !connected || p.stuck);
    };
    auto dpcsIdle = [&] {
        std::lock_guard lock(s.mu);
        return s.dpcRunning == nullptr && (s.dpcs.empty() || s.dpcHeld);
    };
    while (!(interruptsIdle() && dpcsIdle() && interruptsIdle())) {
        if (std::chrono::steady_clock::now() > deadline) {
            fault("settle: interrupts or DPCs still busy after 30 s");
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void park(HoldPoint point) {
    auto& h = holds();
    const size_t i = indexOf(point);
    std::unique_lock lock(h.mu);
    if (!h.on[i]) return;
    ++h.waiting[i];
    h.cv.notify_all();
    h.cv.wait(lock, [&] { return !h.on[i]; });
    --h.waiting[i];
}

void setHold(HoldPoint point, bool on) {
    if (point == HoldPoint::Dpc) {
        std::lock_guard lock(state().mu);
        state().dpcHeld = on;
        state().dpcChanged.notify_all();
        return;
    }
    auto& h = holds();
    std::lock_guard lock(h.mu);
    h.on[indexOf(point)] = on;
    h.cv.notify_all();
}

bool waitHeld(HoldPoint point, unsigned threads) {
    if (point == HoldPoint::Dpc) {
        std::unique_lock lock(state().mu);
        return state().dpcChanged.wait_for(lock, kHangLimit,
                                           [&] { return state().dpcs.size() >= threads && !state().dpcRunning; });
    }
    auto& h = holds();
    const size_t i = indexOf(point);
    std::unique_lock lock(h.mu);
    return h.cv.wait_for(lock, kHangLimit, [&] { return h.waiting[i] >= threads; });
}

}  // namespace kt40kernel::detail
