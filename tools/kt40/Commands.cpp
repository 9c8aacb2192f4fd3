// The one-shot subcommands: single actions, unaddressed commands, status,
// the crate scan and the LAM watch.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "Cli.h"
#include "camac758.h"
#include "camactools.h"

namespace kt40 {

namespace {

std::string hex(long v, int digits) {
    return fmt::format("0x{:0{}X}", static_cast<unsigned long>(v), digits);
}

int extOf(int c, int n, int a, bool wide = false) {
    int e = 0;
    cdreg(&e, wide ? 24 : 16, c, n, a);
    return e;
}

// One failed routine: the message and exit code 1.
int failed(const std::string& what) {
    return report(kFailed, what + ": " + waitFailure(cdata()->error));
}

std::string stations(uint32_t pattern) {
    std::string s;
    for (int n = 1; n <= 24; ++n)
        if (pattern & (1u << (n - 1))) s += (s.empty() ? "" : " ") + std::to_string(n);
    return s.empty() ? "none" : s;
}

std::vector<long long> stationList(uint32_t pattern) {
    std::vector<long long> v;
    for (int n = 1; n <= 24; ++n)
        if (pattern & (1u << (n - 1))) v.push_back(n);
    return v;
}

// Now as 2026-12-08T09:10:11.123456Z.
std::string stamp() {
    const auto now = std::chrono::system_clock::now();
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(us / 1000000);
    std::tm tm{};
#ifdef _WIN32
    tm = *std::gmtime(&secs);  // the run time keeps the result per thread
#else
    gmtime_r(&secs, &tm);
#endif
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long>(us % 1000000));
}

// Sleeps `ms` unless Ctrl+C comes first.
void pause(long ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!g_interrupted && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::min(std::chrono::milliseconds(20),
                                             std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 until - std::chrono::steady_clock::now())));
}

// " (0x04D2)", " (0o2322)", " (0b10011010010)" or "" for decimal: the data
// word again in the radix asked for.
std::string inRadix(int v, const std::string& radix, bool wide) {
    if (radix == "dec") return "";
    if (radix == "hex") return " (" + hex(v, wide ? 6 : 4) + ")";
    const int shift = radix == "oct" ? 3 : 1;
    std::string digits;
    for (unsigned u = static_cast<unsigned>(v); u || digits.empty(); u >>= shift)
        digits.insert(digits.begin(), static_cast<char>('0' + (u & ((1u << shift) - 1))));
    return std::string(" (0") + (shift == 3 ? "o" : "b") + digits + ")";
}

// Whether crate c answers as on-line (the status word's bit 10, read by
// ctci); asked only after an action without X, to tell an empty station
// from a crate that is off.
bool online(int c) {
    char i = 0;
    return ctci(extOf(c, 1, 0), &i) == 0 && cdata()->bit10;
}

}  // namespace

// kt40 cnaf C N A F [DATA] [--24] [--repeat K] [--delay MS] [--allow-no-x]
int cmdCnaf(Args& args, const Out& out) {
    const bool wide = args.flag("--24");
    const bool allowNoX = args.flag("--allow-no-x");
    const long repeat = args.option("--repeat", 1, 1000000, "repeat count").value_or(1);
    const long delay = args.option("--delay", 0, 3600000, "delay (ms)").value_or(0);
    const bool untilNoQ = args.flag("--until-no-q") | args.flag("--while-q");
    const bool untilQ = args.flag("--until-q");
    const bool timing = args.flag("--timing");
    const auto radix = args.text("--radix", "hex, dec, oct or bin");
    const Address at = takeAddress(args);
    const int c = at.c, n = at.n, a = at.a, f = at.f;
    const bool write = ct_function_kind(f) == CT_WRITE;
    // Any number is taken here (the shared rules judge it); what is no
    // number is refused with the width's range.
    std::optional<long long> given;  // (long is 32 bits on Windows)
    if (const auto word = args.optionalWord()) {
        given = parseNumber(*word, 0, 0xFFFFFFFFLL);
        if (!given)
            args.fail(std::string("bad ") + (wide ? "24-bit data '" : "16-bit data (--24 for 24 bits) '") + *word +
                      "' (0-" + std::to_string(wide ? 0xFFFFFF : 0xFFFF) + ")");
    }
    args.done();
    checkAction(args, at, wide ? 24 : 16, given.has_value(), given.value_or(0));
    if (untilNoQ && untilQ) args.fail("--until-q and --until-no-q (--while-q) exclude each other");
    if (radix && *radix != "hex" && *radix != "dec" && *radix != "oct" && *radix != "bin")
        args.fail("--radix is hex, dec, oct or bin, not '" + *radix + "'");
    if (!connect()) return kFailed;
    const std::string shown = radix.value_or("hex");
    std::vector<double> times;  // microseconds, with --timing

    const std::string where = "C" + std::to_string(c) + " N" + std::to_string(n) + " A" + std::to_string(a) + " F" + std::to_string(f);
    const bool read = f <= 7;
    int rcAll = kDone;
    for (long k = 0; k < repeat; ++k) {
        if (g_interrupted) return kInterrupted;
        if (k > 0 && delay > 0) pause(delay);
        if (g_interrupted) return kInterrupted;
        int data = write ? static_cast<int>(*given) : 0;
        int q = 0;
        const auto began = std::chrono::steady_clock::now();
        const int rc = wide ? cfsa(f, extOf(c, n, a), &data, &q)
                            : [&] {
                                  char qc = 0;
                                  const int r = cssa(f, extOf(c, n, a), &data, &qc);
                                  q = qc;
                                  return r;
                              }();
        if (timing)
            times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - began).count());
        if (rc != 0) return failed(where);
        const CamacStatus& s = *cdata();
        Out::Record r("action");
        r.num("c", c).num("n", n).num("a", a).num("f", f).num("bits", wide ? 24 : 16);
        std::string human = where;
        if (read || write) {
            r.num("data", data);
            human += "  data " + std::to_string(data) + inRadix(data, shown, wide);
        } else {
            r.null("data");
        }
        const int x = s.x;
        r.num("q", q).num("x", x);
        human += "  Q" + std::to_string(q) + " X" + std::to_string(x);
        if (x) {
            r.str("status", "ok");
            human += "  ok";
        } else {
            // No module took the command: an empty station, or the whole crate off.
            const bool on = online(c);
            r.str("status", on ? "no_x" : "offline");
            human += on ? "  no X" : "  no X: crate " + std::to_string(c) + " is off-line";
            if (!allowNoX) rcAll = kFailed;
        }
        out.emit(r, human);
        if ((untilNoQ && !q) || (untilQ && q)) break;  // the repeat ends on the Q asked for
    }
    if (timing && !times.empty()) {
        std::vector<double> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        const double median = sorted.size() % 2 ? sorted[sorted.size() / 2]
                                                : (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2;
        Out::Record t("timing");
        t.num("actions", static_cast<long long>(sorted.size()))
            .num("min_ns", static_cast<long long>(sorted.front() * 1000))
            .num("median_ns", static_cast<long long>(median * 1000))
            .num("max_ns", static_cast<long long>(sorted.back() * 1000));
        out.emit(t, fmt::format("{} actions: min {:.1f} us, median {:.1f} us, max {:.1f} us", sorted.size(),
                                sorted.front(), median, sorted.back()));
    }
    return rcAll;
}

// kt40 z C, kt40 c C
int cmdUnaddressed(Args& args, const Out& out) {
    const int c = static_cast<int>(args.number(0, 3, "crate C"));
    args.done();
    if (!connect()) return kFailed;
    const bool z = args.command() == "z";
    const int ext = extOf(c, 1, 0);
    if ((z ? cccz(ext) : cccc(ext)) != 0) return failed(std::string(z ? "Z" : "C") + " on crate " + std::to_string(c));
    const CamacStatus& s = *cdata();
    Out::Record r("crate_command");
    const int x = s.x, i = s.i;
    const bool on = online(c);
    r.str("command", z ? "Z" : "C").num("c", c).num("x", x).num("i", i).str("status", on ? "ok" : "offline");
    out.emit(r, std::string(z ? "Z" : "C") + " crate " + std::to_string(c) + "  X" + std::to_string(x) + " I" +
                    std::to_string(i) + (on ? "  ok" : "  crate " + std::to_string(c) + " is off-line"));
    return on ? kDone : kFailed;
}

// kt40 inhibit C on|off
int cmdInhibit(Args& args, const Out& out) {
    const int c = static_cast<int>(args.number(0, 3, "crate C"));
    const std::string how = args.word("on or off");
    args.done();
    if (how != "on" && how != "off") args.fail("expected on or off, got '" + how + "'");
    if (!connect()) return kFailed;
    if (ccci(extOf(c, 1, 0), how == "on" ? 1 : 0) != 0) return failed("inhibit " + how + " on crate " + std::to_string(c));
    const CamacStatus& s = *cdata();
    Out::Record r("crate_command");
    const int i = s.i;
    const bool on = online(c);
    r.str("command", how == "on" ? "I" : "NI").num("c", c).num("i", i).str("status", on ? "ok" : "offline");
    out.emit(r, "inhibit crate " + std::to_string(c) + " " + how + "  I" + std::to_string(i) +
                    (on ? "  ok" : "  crate " + std::to_string(c) + " is off-line"));
    return on ? kDone : kFailed;
}

// kt40 status C
int cmdStatus(Args& args, const Out& out) {
    const int c = static_cast<int>(args.number(0, 3, "crate C"));
    args.done();
    if (!connect()) return kFailed;
    const int ext = extOf(c, 1, 0);
    char i = 0, l = 0;
    if (ctci(ext, &i) != 0) return failed("status of crate " + std::to_string(c));
    if (ctgl(ext, &l) != 0) return failed("LAMs of crate " + std::to_string(c));
    const CamacStatus& s = *cdata();
    const uint32_t pattern = l ? s.lamPattern : 0;
    Out::Record r("crate_status");
    r.num("c", c).num("online", s.bit10).num("i", i).num("l", l).num("lam_pattern", pattern).list("lam_stations",
                                                                                                   stationList(pattern));
    out.emit(r, "crate " + std::to_string(c) + (s.bit10 ? " on-line" : " off-line") + "  I" + std::to_string(i) + " L" +
                    std::to_string(l) + "  LAM " + hex(pattern, 6) + " (stations: " + stations(pattern) + ")");
    return kDone;
}

// kt40 scan [C] [--f F]
int cmdScan(Args& args, const Out& live) {
    const int f = static_cast<int>(args.option("--f", 0, 31, "function F").value_or(0));
    const int c = static_cast<int>(args.optionalNumber(0, 3, "crate C").value_or(0));
    args.done();
    if (ct_function_kind(f) == CT_WRITE) args.fail("F" + std::to_string(f) + " writes: a scan sends no data (use F 0-15 or 24-31)");
    if (!connect()) return kFailed;
    Out out = live;
    out.live = false;
    struct Flush {
        ~Flush() { std::fflush(stdout); }
    } flushAtEnd;

    out.text(fmt::format("crate {}, F{}: Q = X and Q, x = X without Q, . = no X", c, f));
    std::string columns = "     ";
    for (int a = 0; a < 16; ++a) fmt::format_to(std::back_inserter(columns), "{:3}", a);
    out.text(columns);
    int answering = 0;
    for (int n = 1; n <= 24; ++n) {
        int xs[16], qs[16];
        std::string line = fmt::format("N{:02}: ", n);
        for (int a = 0; a < 16; ++a) {
            int data = 0;
            char q = 0;
            if (cssa(f, extOf(c, n, a), &data, &q) != 0)
                return failed("scan at C" + std::to_string(c) + " N" + std::to_string(n) + " A" + std::to_string(a));
            const int x = cdata()->x;
            xs[a] = x;
            qs[a] = q ? 1 : 0;
            answering += x;
            line += "  ";
            line += x ? (q ? 'Q' : 'x') : '.';
        }
        if (out.json) {
            Out::Record r("scan_row");
            r.num("c", c).num("n", n).num("f", f).list("x", {xs, xs + 16}).list("q", {qs, qs + 16});
            out.emit(r, line);
        } else {
            out.text(line);
        }
    }
    const std::string tail = fmt::format("{} of 384 addresses answered with X", answering);
    const bool on = answering > 0 || online(c);
    Out::Record r("scan_end");
    r.num("c", c).num("f", f).num("answered", answering).num("online", on ? 1 : 0);
    out.emit(r, tail + (on ? "" : "\ncrate " + std::to_string(c) + " is off-line"));
    return kDone;
}

// kt40 lam [C] [--count K] [--timeout S] [--mask PATTERN] [--ack] [--ack-function F]
namespace {

struct LamWatch {
    std::mutex mu;
    std::condition_variable cv;
    int crate = 0;
    uint32_t mask = 0xFFFFFF;  // stations watched
    int ack = -1;              // function that clears a reported LAM, or -1
    uint32_t shown = 0;        // the pattern last reported
    long events = 0;
    bool failed = false;
    std::string failure;
    const Out* out = nullptr;
};
LamWatch* g_watch = nullptr;

// Reports a pattern (of the watched stations) that differs from the one
// shown last and, with --ack, clears the LAM of each of its stations.
// Called by the LAM thread for each interrupt and by the watcher now and
// then. Returns whether something was reported.
bool look() {
    LamWatch& w = *g_watch;
    char l = 0;
    uint32_t pattern = 0;
    std::lock_guard lock(w.mu);  // also keeps the pattern ours until it is read
    if (w.failed) return false;
    const int rc = ctgl(extOf(w.crate, 1, 0), &l);
    if (rc != 0) {
        w.failed = true;
        w.failure = "reading the LAM pattern";
        w.cv.notify_all();
        return false;
    }
    pattern = l ? cdata()->lamPattern & w.mask : 0;
    if (pattern == w.shown) return false;
    w.shown = pattern;
    if (!pattern) return false;  // cleared: the next LAM is news again
    ++w.events;
    Out::Record r("lam");
    const std::string when = stamp();
    r.str("time", when).num("c", w.crate).num("lam_pattern", pattern).list("lam_stations", stationList(pattern));
    std::string human = when + "  crate " + std::to_string(w.crate) + "  LAM " + hex(pattern, 6) + "  stations: " +
                        stations(pattern);
    if (w.ack >= 0) {
        for (int n = 1; n <= 24; ++n) {
            if (!(pattern & (1u << (n - 1)))) continue;
            int data = 0;
            char q = 0;
            if (cssa(w.ack, extOf(w.crate, n, 0), &data, &q) != 0) {
                w.failed = true;
                w.failure = "acknowledging the LAM of station " + std::to_string(n) + " with F" + std::to_string(w.ack);
                break;
            }
        }
        // Acknowledged: what is left set (a function that did not clear it)
        // is not news; a LAM of these stations that comes again is.
        char still = 0;
        w.shown = ctgl(extOf(w.crate, 1, 0), &still) == 0 && still ? cdata()->lamPattern & w.mask : 0;
        r.num("ack_f", w.ack);
        human += "  (acknowledged, F" + std::to_string(w.ack) + ")";
    }
    w.out->emit(r, human);
    w.cv.notify_all();
    return true;
}

// The library calls this for each LAM interrupt; a LAM that stays set (not
// acknowledged) interrupts again as soon as it returns, so it waits a little
// after each call: the watch takes a few hundredths of a second to see a
// change of a standing LAM, and no processor time.
void onLam() {
    look();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

int cmdLam(Args& args, const Out& out) {
    const long count = args.option("--count", 1, 1000000000, "event count").value_or(0);
    const long timeout = args.option("--timeout", 1, 86400 * 365, "timeout (s)").value_or(0);
    const long mask = args.option("--mask", 1, 0xFFFFFF, "LAM mask (bit k: station k+1)").value_or(0xFFFFFF);
    const bool ackAsked = args.flag("--ack");
    const auto ackFunction = args.option("--ack-function", 0, 31, "acknowledging function");
    const int c = static_cast<int>(args.optionalNumber(0, 3, "crate C").value_or(0));
    args.done();
    if (ackFunction && ct_function_kind(static_cast<int>(*ackFunction)) == CT_WRITE)
        args.fail("F" + std::to_string(*ackFunction) + " writes: an acknowledgement sends no data (F10 clears a LAM)");
    if (!connect()) return kFailed;
    LamWatch watch;
    watch.crate = c;
    watch.mask = static_cast<uint32_t>(mask);
    watch.ack = ackAsked || ackFunction ? static_cast<int>(ackFunction.value_or(10)) : -1;
    watch.out = &out;
    g_watch = &watch;
    out.text("watching crate " + std::to_string(c) + " for LAMs (Ctrl+C ends)");
    if (cclnk(onLam) != 0) {
        g_watch = nullptr;
        return failed("linking the LAM handler");
    }
    look();  // a LAM that is there already
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
    bool timedOut = false;
    {
        std::unique_lock lock(watch.mu);
        while (!g_interrupted && !watch.failed && (count == 0 || watch.events < count)) {
            if (timeout != 0 && std::chrono::steady_clock::now() >= until) {
                timedOut = true;
                break;
            }
            watch.cv.wait_for(lock, std::chrono::milliseconds(50));
            if (watch.shown != 0) {  // a LAM that stays, or cleared without an interrupt
                lock.unlock();
                look();
                lock.lock();
            }
        }
    }
    cculnk();
    g_watch = nullptr;
    if (watch.failed) return failed(watch.failure);
    // How it ended: the count reached (or the watch ran its time with none
    // asked), the time-out first, or Ctrl+C.
    const int rc = g_interrupted ? kInterrupted : (timedOut && count != 0) ? kFailed : kDone;
    const char* why = g_interrupted ? "interrupted" : timedOut ? "timeout" : "count";
    Out::Record r("lam_end");
    r.str("end", why).num("c", c).num("lams", watch.events);
    if (count) r.num("count", count);
    out.emit(r, std::to_string(watch.events) + (watch.events == 1 ? " LAM" : " LAMs") + " came" +
                    (count ? " of " + std::to_string(count) + " asked" : std::string()) +
                    (g_interrupted ? " (interrupted)" : timedOut ? " (time-out)" : ""));
    return rc;
}

}  // namespace kt40
