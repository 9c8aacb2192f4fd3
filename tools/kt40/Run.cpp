// Script files: kt40 show lists one, kt40 run executes it with the panel's
// own worker, headless (both through camactools, as the Python package).
#include <cstdio>
#include <memory>
#include <chrono>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "Cli.h"
#include "camactools.h"

namespace kt40 {

namespace {

// Loads `path` before anything touches the crate; false with a message.
bool load(const std::string& path, ct_script& script) {
    char why[300];
    if (ct_script_load(path.c_str(), &script, why, sizeof why) == CT_SCRIPT_OK) return true;
    report(kFailed, path + ": " + why);
    return false;
}

std::string outOfRange(const ct_entry& e) {
    char why[200];
    ct_entry_check(&e, why, sizeof why);
    return why;
}

std::string rowText(const ct_entry& e) {
    char text[64];
    ct_entry_text(&e, text, sizeof text);
    return text;
}

// The fields of an entry, for a JSON record: what kind of entry it is and
// the fields that kind uses, as the file holds them.
void describe(Out::Record& r, const ct_entry& e) {
    if (e.kind == 1) {
        r.str("kind", "read_lam").num("c", e.crate).num("bits", e.mode);
    } else if (e.kind != 0) {
        r.str("kind", "unknown");
    } else if (e.addressed == 1) {
        r.str("kind", "action").num("c", e.crate).num("n", e.n).num("a", e.a).num("f", e.f).num("bits", e.mode);
        if (ct_function_kind(e.f) == CT_WRITE) r.num("data", e.data);
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

// Prints each step on the worker's thread, as it comes.
struct Printer {
    const Out* out;
    const ct_script* script;
};

void CT_CALL printStep(const ct_run_step* step, void* user) {
    const Printer& p = *static_cast<const Printer*>(user);
    const ct_entry& entry = p.script->entries[step->entry - 1];
    const std::string text = rowText(entry);
    Out::Record r("run_entry");
    r.num("pass", step->pass).num("entry", step->entry).str("text", text);
    std::string rText = "-";
    if (step->r_error) {
        r.null("r").num("error", 1);
        rText = "ERROR";
    } else if (step->r_shown) {
        r.num("r", step->r).num("error", 0);
        rText = std::to_string(step->r);
    } else {
        r.null("r").num("error", 0);
    }
    r.flag("x", step->x).flag("q", step->q).flag("l", step->l).flag("i", step->i);
    std::string lam;
    if (step->lam_shown) {
        r.num("lam_pattern", step->lam_pattern);
        lam = fmt::format("  LAM 0x{:06X}", step->lam_pattern);
    } else {
        r.null("lam_pattern");
    }
    p.out->emit(r, fmt::format("{:6} {:5}  {:<28} R {:<9} X {} Q {} L {} I {}{}", static_cast<long long>(step->pass),
                               step->entry, text, rText, indicator(step->x), indicator(step->q), indicator(step->l),
                               indicator(step->i), lam));
}

}  // namespace

// kt40 show FILE.tvs
int cmdShow(Args& args, const Out& out) {
    const std::string path = args.word("FILE.tvs");
    args.done();
    auto script = std::make_unique<ct_script>();
    if (!load(path, *script)) return kFailed;
    out.text(path + ": " + std::to_string(script->count) + (script->count == 1 ? " entry" : " entries"));
    for (int k = 0; k < script->count; ++k) {
        const ct_entry& e = script->entries[k];
        Out::Record r("script_entry");
        r.num("entry", k + 1).str("text", rowText(e));
        describe(r, e);
        const std::string bad = outOfRange(e);
        const std::string line = fmt::format("{:3}  {}", k + 1, rowText(e));
        out.emit(r, bad.empty() ? line : line + "  <- out of range: " + bad);
    }
    return kDone;
}

// kt40 run FILE.tvs [--cycle] [--count K] [--command-delay MS] [--cycle-delay MS] [--as-panel]
int cmdRun(Args& args, const Out& out) {
    const bool cycle = args.flag("--cycle");
    const bool asPanel = args.flag("--as-panel");
    const auto passes = args.option("--count", 1, 1000000000, "count of passes");
    const long commandDelay = args.option("--command-delay", 0, 3600000, "delay (ms)").value_or(0);
    const long cycleDelay = args.option("--cycle-delay", 0, 3600000, "delay (ms)").value_or(0);
    const std::string path = args.word("FILE.tvs");
    args.done();
    if (passes && !cycle) args.fail("--count counts the passes of --cycle; a run without it makes one pass");
    auto script = std::make_unique<ct_script>();
    if (!load(path, *script)) return kFailed;
    if (script->count == 0) return report(kFailed, path + ": the program is empty");
    // Out-of-range entries are refused before the crate is opened.
    char refusal[1200];
    if (!asPanel && ct_script_check(script.get(), refusal, sizeof refusal) >= 0) {
        const std::string text = refusal;
        const auto cut = text.find('\n');
        const std::string first = text.substr(0, cut);
        const std::string more = cut == std::string::npos ? "" : text.substr(cut + 1) + "\n";
        const bool one = first.rfind("1 entry ", 0) == 0;
        return report(kFailed,
                      path + ": " + first + " (--as-panel runs " + (one ? "it" : "them") +
                          " as the front panel does, fields masked to their bits)",
                      more);
    }
    if (!connect()) return kFailed;

    // The worker prints each entry; this thread flushes what it printed at
    // least every 20 ms, so that a pipe sees the run live without a write
    // for every entry.
    Out entries = out;
    entries.live = false;
    Printer printer{&entries, script.get()};
    ct_run_options options{};
    options.cycle = cycle;
    options.passes = passes ? static_cast<std::uint64_t>(*passes) : 0;
    options.command_delay = static_cast<std::int32_t>(commandDelay);
    options.cycle_delay = static_cast<std::int32_t>(cycleDelay);
    options.as_panel = 1;  // checked above
    std::int32_t stop = 0;  // read and written atomically (the library polls it)
    options.stop = &stop;
    auto stopNow = [&] { __atomic_store_n(&stop, 1, __ATOMIC_RELEASE); };
    out.text("  pass entry  command                        R           X   Q   L   I");
    ct_run_result result{};
    char why[300];
    int rc = CT_RUN_DONE;
    std::thread run([&] { rc = ct_run_script(script.get(), &options, printStep, &printer, &result, why, sizeof why); });
    std::thread flusher([&] {
        while (!__atomic_load_n(&stop, __ATOMIC_ACQUIRE)) {
            if (g_interrupted) stopNow();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::fflush(stdout);
        }
    });
    run.join();
    stopNow();
    flusher.join();
    std::fflush(stdout);
    if (rc == CT_RUN_NO_CONNECTION) return report(kFailed, std::string("the worker found no connection to the adapter: ") + why);
    const bool interrupted = result.stopped != 0;
    const double seconds = result.seconds;
    const std::string tail = fmt::format("{} after {} entries in {:.3f} s ({:.0f} entries/s), {} with ERROR",
                                         interrupted ? "interrupted" : "done",
                                         static_cast<unsigned long long>(result.entries), seconds,
                                         seconds > 0 ? static_cast<double>(result.entries) / seconds : 0.0,
                                         static_cast<unsigned long long>(result.errors));
    if (out.json) {
        Out::Record r("run_end");
        r.str("end", interrupted ? "interrupted" : "done")
            .num("entries", static_cast<long long>(result.entries))
            .num("errors", static_cast<long long>(result.errors));
        out.emit(r, "");
    } else {
        std::fprintf(stderr, "kt40: %s\n", tail.c_str());
    }
    if (interrupted) return kInterrupted;
    return result.errors ? kFailed : kDone;
}

}  // namespace kt40
