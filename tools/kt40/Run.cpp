// Script files: kt40 show lists one, kt40 run executes it with the panel's
// own worker, headless.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "Camgrid.h"
#include "Camproc.h"
#include "Camscript.h"
#include "Cli.h"

namespace kt40 {

namespace {

std::string loadFailure(const TCamScript::Outcome& o) {
    std::string why;
    switch (o.status) {
    case TCamScript::Status::Incompatible: why = "not a script file, or a damaged one"; break;
    case TCamScript::Status::OpenFailed: why = "cannot open it"; break;
    case TCamScript::Status::ReadFailed: why = "cannot read it"; break;
    default: why = "cannot load it"; break;
    }
    if (o.error) why += " (" + o.error.message() + ")";
    return why;
}

// Loads `path` before anything touches the crate; false with a message.
bool load(const std::string& path, TCamProgram& program) {
    program.Reset();
    const auto outcome = TCamScript::Load(path, program);
    if (outcome.ok()) return true;
    report(kFailed, path + ": " + loadFailure(outcome));
    return false;
}

// What of an entry lies outside the ranges its fields have (a file written
// by another program, or damaged): the panel masks such fields to their
// bits, so N 37 addresses station 5. Empty when the entry is sound.
std::string outOfRange(const TCamCommand& e) {
    std::string what;
    auto add = [&](const char* name, long v) { what += (what.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(v); };
    if (e.crate < 0 || e.crate > 3) add("crate", e.crate);
    if (e.kind == TCamCommand::kindLam) {
        if (e.lamOperation != TCamCommand::lamRead) add("LAM operation", e.lamOperation);
    } else if (e.kind != TCamCommand::kindCamac) {
        add("kind", e.kind);
    } else if (e.addressed > 1) {
        add("addressed", e.addressed);
    } else if (e.addressed) {
        if (e.n < 1 || e.n > 24) add("station N", e.n);
        if (e.a < 0 || e.a > 15) add("subaddress A", e.a);
        if (e.f < 0 || e.f > 31) add("function F", e.f);
        if (e.mode != 16 && e.mode != 24) add("width", e.mode);
        else if (e.data < 0 || e.data > (e.mode == 24 ? 0xFFFFFF : 0xFFFF)) add("data", e.data);
    } else if (e.code != 1 && e.code != 2 && e.code != 4 && e.code != 8) {
        add("command code", e.code);
    }
    return what;
}

// The fields of an entry, for a JSON record: what kind of entry it is and
// the fields that kind uses, as the file holds them.
void describe(Out::Record& r, const TCamCommand& e) {
    if (e.kind == TCamCommand::kindLam) {
        r.str("kind", "read_lam").num("c", e.crate).num("bits", e.mode);
    } else if (e.kind != TCamCommand::kindCamac) {
        r.str("kind", "unknown");
    } else if (e.addressed == 1) {
        r.str("kind", "action").num("c", e.crate).num("n", e.n).num("a", e.a).num("f", e.f).num("bits", e.mode);
        if (e.f >= 16 && e.f <= 23) r.num("data", e.data);
        else r.null("data");
    } else if (e.addressed == 0) {
        const char* name = e.code == 1 ? "C" : e.code == 2 ? "Z" : e.code == 4 ? "I" : e.code == 8 ? "NI" : nullptr;
        r.str("kind", "crate_command").num("c", e.crate);
        if (name) r.str("command", name);
        else r.null("command");
    } else {
        r.str("kind", "unknown");
    }
    const std::string bad = outOfRange(e);
    if (bad.empty()) r.null("out_of_range");
    else r.str("out_of_range", bad);
}

std::string indicator(int state) { return state == 0 ? "0" : state == 1 ? "1" : "-"; }

// The worker's display: each entry's view is taken at once, on the worker's
// thread, so that every entry is printed with what it showed.
class HeadlessDisplay : public TCamDisplay {
public:
    HeadlessDisplay(const Out& out, const TCamProgram& program) : out_(out), program_(program) {}
    TCamProcessor* worker = nullptr;

    void ViewPending() override {
        const TPanelView view = worker->TakeView();
        if (view.entries == 0) return;  // the release of a button alone
        // The worker posts under its lock with the run position still at the
        // entry it executed.
        const int index = program_.runPosition;
        if (index <= last_) ++pass_;
        last_ = index;
        const TCamCommand& entry = program_.entries[static_cast<size_t>(index)];
        Out::Record r("run_entry");
        r.num("pass", pass_).num("entry", index + 1).str("text", TCamGrid::RowText(entry));
        std::string r_text = "-";
        if (view.rChanged && view.rError) {
            r.null("r").num("error", 1);
            r_text = "ERROR";
            std::lock_guard lock(mu_);
            ++errors_;
        } else if (view.rChanged) {
            r.num("r", view.r).num("error", 0);
            r_text = std::to_string(view.r);
        } else {
            r.null("r").num("error", 0);
        }
        r.flag("x", view.x).flag("q", view.q).flag("l", view.l).flag("i", view.i);
        std::string lam;
        if (view.lamMask) {
            r.num("lam_pattern", view.lamPattern & view.lamMask);
            char text[24];
            std::snprintf(text, sizeof text, "  LAM 0x%06X", view.lamPattern & view.lamMask);
            lam = text;
        } else {
            r.null("lam_pattern");
        }
        char line[160];
        std::snprintf(line, sizeof line, "%6ld %5d  %-28s R %-9s X %s Q %s L %s I %s%s", pass_, index + 1,
                      TCamGrid::RowText(entry).c_str(), r_text.c_str(), indicator(view.x).c_str(),
                      indicator(view.q).c_str(), indicator(view.l).c_str(), indicator(view.i).c_str(), lam.c_str());
        out_.emit(r, line);
        std::lock_guard lock(mu_);
        ++entries_;
    }
    long Errors() {
        std::lock_guard lock(mu_);
        return errors_;
    }
    long Entries() {
        std::lock_guard lock(mu_);
        return entries_;
    }

private:
    const Out& out_;
    const TCamProgram& program_;
    long pass_ = 1;  // the worker's thread alone
    int last_ = -1;
    std::mutex mu_;
    long errors_ = 0;
    long entries_ = 0;
};

}  // namespace

// kt40 show FILE.tvs
int cmdShow(Args& args, const Out& out) {
    const std::string path = args.word("FILE.tvs");
    args.done();
    TCamProgram program;
    if (!load(path, program)) return kFailed;
    out.text(path + ": " + std::to_string(program.count) + (program.count == 1 ? " entry" : " entries"));
    for (int k = 0; k < program.count; ++k) {
        const TCamCommand& e = program.entries[static_cast<size_t>(k)];
        Out::Record r("script_entry");
        r.num("entry", k + 1).str("text", TCamGrid::RowText(e));
        describe(r, e);
        const std::string bad = outOfRange(e);
        char line[64];
        std::snprintf(line, sizeof line, "%3d  %s", k + 1, TCamGrid::RowText(e).c_str());
        out.emit(r, bad.empty() ? std::string(line) : std::string(line) + "  <- out of range: " + bad);
    }
    return kDone;
}

// kt40 run FILE.tvs [--cycle] [--count K] [--command-delay MS] [--cycle-delay MS]
int cmdRun(Args& args, const Out& out) {
    const bool cycle = args.flag("--cycle");
    const bool asPanel = args.flag("--as-panel");
    const auto passes = args.option("--count", 1, 1000000000, "count of passes");
    const long commandDelay = args.option("--command-delay", 0, 3600000, "delay (ms)").value_or(0);
    const long cycleDelay = args.option("--cycle-delay", 0, 3600000, "delay (ms)").value_or(0);
    const std::string path = args.word("FILE.tvs");
    args.done();
    if (passes && !cycle) args.fail("--count counts the passes of --cycle; a run without it makes one pass");
    auto program = std::make_unique<TCamProgram>();
    if (!load(path, *program)) return kFailed;
    if (program->count == 0) {
        return report(kFailed, path + ": the program is empty");
    }
    if (!asPanel) {
        // Refused before the first action: the panel would run these at
        // another address (their fields masked to their bits).
        int bad = 0;
        std::string which;
        for (int k = 0; k < program->count; ++k) {
            const std::string what = outOfRange(program->entries[static_cast<size_t>(k)]);
            if (what.empty()) continue;
            if (bad++ < 10) which += "  entry " + std::to_string(k + 1) + ": " + what + "\n";
        }
        if (bad > 10) which += "  and " + std::to_string(bad - 10) + " more\n";
        if (bad)
            return report(kFailed,
                          path + ": " + std::to_string(bad) + (bad == 1 ? " entry is" : " entries are") +
                              " out of range; nothing was run (--as-panel runs " + (bad == 1 ? "it" : "them") +
                              " as the front panel does, fields masked to their bits)",
                          which);
    }
    if (!connect()) return kFailed;

    const int count = program->count;
    // The worker prints each entry; this thread flushes what it printed at
    // least every 20 ms, so that a pipe sees the run live without a write
    // for every entry.
    Out entries = out;
    entries.live = false;
    HeadlessDisplay display(entries, *program);
    TCamProcessor worker(*program, display);
    display.worker = &worker;
    if (!worker.InitOk()) {
        return report(kFailed, "the worker found no connection to the adapter");
    }
    worker.CommandDelay = static_cast<std::int32_t>(commandDelay);
    worker.CycleDelay = static_cast<std::int32_t>(cycleDelay);
    if (passes) worker.StopAfter = static_cast<std::uint64_t>(*passes) * static_cast<std::uint64_t>(count);
    out.text("  pass entry  command                        R           X   Q   L   I");
    const auto started = std::chrono::steady_clock::now();
    worker.Start(cycle ? TCamProcessor::Button::Cycle : TCamProcessor::Button::OneTime, nullptr);
    bool interrupted = false;
    while (!worker.Idle()) {
        if (g_interrupted && !interrupted) {
            interrupted = true;
            worker.StopRun();  // the entry in progress ends first
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::fflush(stdout);
    }
    worker.StopRun();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    worker.Terminate();
    worker.Wait();
    std::fflush(stdout);
    const long executed = display.Entries();
    char tail[160];
    std::snprintf(tail, sizeof tail, "%s after %ld entries in %.3f s (%.0f entries/s), %ld with ERROR",
                  interrupted ? "interrupted" : "done", executed, seconds, seconds > 0 ? executed / seconds : 0.0,
                  display.Errors());
    if (out.json) {
        Out::Record r("run_end");
        r.str("end", interrupted ? "interrupted" : "done").num("entries", executed).num("errors", display.Errors());
        out.emit(r, "");
    } else {
        std::fprintf(stderr, "kt40: %s\n", tail);
    }
    if (interrupted) return kInterrupted;
    return display.Errors() ? kFailed : kDone;
}

}  // namespace kt40
