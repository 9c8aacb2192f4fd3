#pragma once

#include "Camdisplay.h"
#include "Camprogram.h"
#include "Panelview.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct CamacStatus;

// The worker: executes the command program with the ESONE routines on a
// thread of its own. The thread is created suspended; Resume() starts a round
// of the loop, and the worker suspends itself when both execution buttons are
// up. The buttons' down states, the program and the status record are shared
// with the panel only under the worker's locks.
class TCamProcessor
{
public:
    enum class Button { OneTime, Cycle };

    // Calls ccinit and, when it succeeds, takes the status record from cdata.
    TCamProcessor(TCamProgram &program, TCamDisplay &display);
    ~TCamProcessor();
    TCamProcessor(const TCamProcessor &) = delete;
    TCamProcessor &operator=(const TCamProcessor &) = delete;

    bool InitOk() const { return m_initOk; }

    // Pauses in ms, read before each pause.
    std::atomic<std::int32_t> CommandDelay = 0;
    std::atomic<std::int32_t> CycleDelay = 0;
    // Which bits of the LAM pattern are valid for display: cleared at the
    // start of every round, so 0 once the worker is idle.
    std::uint32_t LamMask() const { return m_lamMask.load(); }
    // The crate's LAM pattern as the status record holds it now.
    std::uint32_t LamPattern() const;
    // Entries executed since the worker was created.
    std::uint64_t Executed() const { return m_executed.load(std::memory_order_relaxed); }
    // For a run without an operator: once this many entries have been
    // executed (counted as Executed() counts), the worker releases both
    // buttons after the entry, as if the operator had. 0: never.
    std::atomic<std::uint64_t> StopAfter = 0;

    // ---- Panel side ---------------------------------------------------------
    // The operator's button state, mirrored for the worker.
    void SetButton(Button button, bool down);
    bool ButtonDown(Button button) const;
    // Releases both execution buttons and waits until the worker is idle:
    // the current entry done, the temporary entry removed, run position 0.
    // Returns at once when the worker is idle already.
    void StopRun();
    // Starts a run with `button` down: of the program from entry 0 (command
    // null) or of one command, appended as a temporary entry. Stops a run in
    // progress first. Returns false, leaving the button up, when there is
    // nothing to run. Resumes the worker in either case.
    bool Start(Button button, const TCamCommand *command);
    void Resume();
    // The execution target as the operator sets it during a run: the panel
    // command (true) or the program. The worker follows it from its next
    // round. Leaving command mode removes the run's temporary entry at once,
    // so that the program runs as the operator made it; a run left with an
    // empty program ends and releases its button.
    void SetCommandMode(bool command);
    // Asks the thread to end and wakes it; Wait() joins it.
    void Terminate();
    void Wait();
    bool Idle() const;

    // Runs `fn` on the program under the worker's lock. Change the program only
    // after StopRun(): the worker never sees a slot outside 0..count-1, but a
    // temporary entry must stay the last one.
    template <class Fn> decltype(auto) WithProgram(Fn &&fn)
    {
        std::lock_guard lock(m_lock);
        return fn(m_program);
    }

    // A copy of the program as the operator made it, under the worker's lock:
    // the temporary entry of a single command run is left out.
    TCamProgram OperatorProgram() const;

    // The view since the last call; clears every "changed" flag.
    TPanelView TakeView();

    // The words of the status record that the panel reads and writes.
    std::int32_t LastRead() const;
    std::int32_t LastWritten() const;
    void SetLastWritten(std::int32_t value);

    // The thread body.
    void Execute();

private:
    void ExecuteEntry(const TCamCommand &entry);
    void ShowError();
    void ShowR(std::int32_t value);
    void SetIndicators(int x, int q, int l, int i);
    void RepaintLam();
    void ReleaseOneTime();
    void ReleaseCycle();
    // Removes the temporary entry of a command run, if there is one (m_lock held).
    void DropTemporary();
    void Post();
    // Sleeps `ms` unless the run stops or the thread is asked to end; a pause
    // of 0 yields the processor once.
    void Pause(std::unique_lock<std::mutex> &lock, std::int32_t ms);
    bool Running() const { return m_oneTime || m_cycle; }

    TCamProgram &m_program;
    TCamDisplay &m_display;
    bool m_initOk = false;
    CamacStatus *m_status = nullptr;
    std::atomic<std::uint32_t> m_lamMask = 0;
    std::atomic<std::uint64_t> m_executed = 0;

    // Guards the program, the button mirrors and the run bookkeeping.
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_oneTime = false;
    bool m_cycle = false;
    bool m_commandMode = true; // the execution target: the panel command or the program
    bool m_temporary = false;  // a temporary entry is the program's last
    bool m_wake = false;
    bool m_idle = true;
    bool m_terminated = false;

    // Guards the status record: the ESONE calls and the panel's words.
    mutable std::mutex m_statusLock;

    // Guards the view handed to the panel.
    std::mutex m_viewLock;
    TPanelView m_view;
    bool m_viewPending = false;

    std::thread m_thread;
};
