// Running a script with the front panel's worker, headless: each entry's
// view is taken at once, on the worker's thread, and handed to the caller
// as one step.
#include "camactools.h"

#include "Text.h"

#include "Camproc.h"
#include "Camprogram.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

using camactools::put;

namespace camactools {
std::unique_ptr<TCamProgram> program(const ct_script &script);
}

namespace {

class StepDisplay : public TCamDisplay
{
public:
    StepDisplay(const TCamProgram &program, ct_run_callback callback, void *user)
        : m_program(program), m_callback(callback), m_user(user)
    {
    }
    TCamProcessor *worker = nullptr;

    void ViewPending() override
    {
        const TPanelView view = worker->TakeView();
        if (view.entries == 0)
            return; // the release of a button alone
        // The worker posts under its lock with the run position still at
        // the entry it executed.
        const int index = m_program.runPosition;
        if (index <= m_last)
            ++m_pass;
        m_last = index;
        ct_run_step step{};
        step.pass = m_pass;
        step.entry = index + 1;
        step.r_shown = view.rChanged;
        step.r_error = view.rChanged && view.rError;
        step.r = view.rChanged && !view.rError ? view.r : 0;
        step.x = view.x;
        step.q = view.q;
        step.l = view.l;
        step.i = view.i;
        step.lam_shown = view.lamMask != 0;
        step.lam_pattern = view.lamPattern & view.lamMask;
        {
            std::lock_guard lock(m_mutex);
            ++m_entries;
            if (step.r_error)
                ++m_errors;
        }
        if (m_callback)
            m_callback(&step, m_user);
    }
    void Counts(std::uint64_t &entries, std::uint64_t &errors)
    {
        std::lock_guard lock(m_mutex);
        entries = m_entries;
        errors = m_errors;
    }

private:
    const TCamProgram &m_program;
    ct_run_callback m_callback;
    void *m_user;
    std::int64_t m_pass = 1; // the worker's thread alone
    int m_last = -1;
    std::mutex m_mutex;
    std::uint64_t m_entries = 0;
    std::uint64_t m_errors = 0;
};

} // namespace

extern "C" int CT_CALL ct_script_check(const ct_script *script, char *why, std::size_t size)
{
    // The panel would run these at another address, their fields masked to
    // their bits.
    const int count = std::clamp(script->count, 0, CT_SCRIPT_MAX_ENTRIES);
    int first = -1, bad = 0;
    std::string which;
    for (int k = 0; k < count; ++k) {
        char what[160];
        if (!ct_entry_check(&script->entries[k], what, sizeof what))
            continue;
        if (first < 0)
            first = k;
        if (bad++ < 10)
            which += "\n  entry " + std::to_string(k + 1) + ": " + what;
    }
    if (bad > 10)
        which += "\n  and " + std::to_string(bad - 10) + " more";
    put(bad ? std::to_string(bad) + (bad == 1 ? " entry is" : " entries are") + " out of range; nothing was run" +
                  which
            : std::string(),
        why, size);
    return first;
}

extern "C" int CT_CALL ct_run_script(const ct_script *script, const ct_run_options *options,
                                     ct_run_callback callback, void *user, ct_run_result *result, char *why,
                                     std::size_t size)
{
    const ct_run_options plain{};
    const ct_run_options &o = options ? *options : plain;
    ct_run_result outcome{};
    auto finish = [&](int rc) {
        if (result)
            *result = outcome;
        return rc;
    };
    put("", why, size);
    if (script->count <= 0 || script->count > CT_SCRIPT_MAX_ENTRIES) {
        put(script->count <= 0 ? "the program is empty"
                               : "a script holds at most 255 entries, not " + std::to_string(script->count),
            why, size);
        return finish(CT_RUN_EMPTY);
    }
    // Refused before the first action.
    if (!o.as_panel && ct_script_check(script, why, size) >= 0)
        return finish(CT_RUN_OUT_OF_RANGE);

    const auto program = camactools::program(*script);
    StepDisplay display(*program, callback, user);
    TCamProcessor worker(*program, display);
    display.worker = &worker;
    if (!worker.InitOk()) {
        ct_connect_failure(why, size);
        worker.Terminate();
        worker.Wait();
        return finish(CT_RUN_NO_CONNECTION);
    }
    worker.CommandDelay = o.command_delay;
    worker.CycleDelay = o.cycle_delay;
    if (o.cycle && o.passes)
        worker.StopAfter = o.passes * static_cast<std::uint64_t>(script->count);
    const auto started = std::chrono::steady_clock::now();
    worker.Start(o.cycle ? TCamProcessor::Button::Cycle : TCamProcessor::Button::OneTime, nullptr);
    while (!worker.Idle()) {
        if (o.stop && __atomic_load_n(o.stop, __ATOMIC_ACQUIRE)) {
            outcome.stopped = 1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    worker.StopRun(); // the entry in progress ends first
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    worker.Terminate();
    worker.Wait();
    display.Counts(outcome.entries, outcome.errors);
    return finish(CT_RUN_DONE);
}
