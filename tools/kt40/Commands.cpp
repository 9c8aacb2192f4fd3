// The one-shot subcommands: single actions, unaddressed commands, status,
// the crate scan and the LAM watch.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "Cli.h"
#include "camac758.h"

namespace kt40 {

namespace {

std::string hex(long v, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*lX", digits, v);
    return text;
}

int extOf(int c, int n, int a, bool wide = false) {
    int e = 0;
    cdreg(&e, wide ? 24 : 16, c, n, a);
    return e;
}

// One failed routine: the message and exit code 1.
int failed(const std::string& what) {
    std::fprintf(stderr, "kt40: %s: %s\n", what.c_str(), waitFailure(cdata()->error).c_str());
    return kFailed;
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
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long>(us % 1000000));
    return text;
}

// Sleeps `ms` unless Ctrl+C comes first.
void pause(long ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!g_interrupted && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::min(std::chrono::milliseconds(20),
                                             std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 until - std::chrono::steady_clock::now())));
}

}  // namespace

// kt40 cnaf C N A F [DATA] [--24] [--repeat K] [--delay MS]
int cmdCnaf(Args& args, const Out& out) {
    const bool wide = args.flag("--24");
    const long repeat = args.option("--repeat", 1, 1000000, "repeat count").value_or(1);
    const long delay = args.option("--delay", 0, 3600000, "delay (ms)").value_or(0);
    const int c = static_cast<int>(args.number(0, 3, "crate C"));
    const int n = static_cast<int>(args.number(1, 24, "station N"));
    const int a = static_cast<int>(args.number(0, 15, "subaddress A"));
    const int f = static_cast<int>(args.number(0, 31, "function F"));
    const bool write = f >= 16 && f <= 23;
    const long most = wide ? 0xFFFFFF : 0xFFFF;
    const auto given = args.optionalNumber(0, most, wide ? "24-bit data" : "16-bit data (--24 for 24 bits)");
    args.done();
    if (write && !given) args.fail("F" + std::to_string(f) + " writes: give the DATA to write");
    if (!write && given) args.fail("F" + std::to_string(f) + " is not a write: it takes no DATA");
    if (!connect()) return kFailed;

    const std::string where = "C" + std::to_string(c) + " N" + std::to_string(n) + " A" + std::to_string(a) + " F" + std::to_string(f);
    const bool read = f <= 7;
    for (long k = 0; k < repeat; ++k) {
        if (g_interrupted) return kInterrupted;
        if (k > 0 && delay > 0) pause(delay);
        if (g_interrupted) return kInterrupted;
        int data = write ? static_cast<int>(*given) : 0;
        int q = 0;
        const int rc = wide ? cfsa(f, extOf(c, n, a), &data, &q)
                            : [&] {
                                  char qc = 0;
                                  const int r = cssa(f, extOf(c, n, a), &data, &qc);
                                  q = qc;
                                  return r;
                              }();
        if (rc != 0) return failed(where);
        const CamacStatus& s = *cdata();
        Out::Record r;
        r.num("c", c).num("n", n).num("a", a).num("f", f);
        std::string human = where;
        if (read || write) {
            r.num("data", data);
            human += "  data " + std::to_string(data) + " (" + hex(data, wide ? 6 : 4) + ")";
        } else {
            r.null("data");
        }
        r.num("q", q).num("x", s.x).str("status", "ok");
        human += "  Q" + std::to_string(q) + " X" + std::to_string(s.x) + "  ok";
        out.emit(r, human);
    }
    return kDone;
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
    Out::Record r;
    r.str("command", z ? "Z" : "C").num("c", c).num("x", s.x).num("i", s.i).str("status", "ok");
    out.emit(r, std::string(z ? "Z" : "C") + " crate " + std::to_string(c) + "  X" + std::to_string(s.x) + " I" +
                    std::to_string(s.i) + "  ok");
    return kDone;
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
    Out::Record r;
    r.str("command", "inhibit").num("c", c).num("i", s.i).str("status", "ok");
    out.emit(r, "inhibit crate " + std::to_string(c) + " " + how + "  I" + std::to_string(s.i) + "  ok");
    return kDone;
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
    Out::Record r;
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
    if (f >= 16 && f <= 23) args.fail("F" + std::to_string(f) + " writes: a scan sends no data (use F 0-15 or 24-31)");
    if (!connect()) return kFailed;
    Out out = live;
    out.live = false;
    struct Flush {
        ~Flush() { std::fflush(stdout); }
    } flushAtEnd;

    char head[128];
    std::snprintf(head, sizeof head, "crate %d, F%d: Q = X and Q, x = X without Q, . = no X", c, f);
    out.text(head);
    std::string columns = "     ";
    for (int a = 0; a < 16; ++a) {
        char cell[8];
        std::snprintf(cell, sizeof cell, "%3d", a);
        columns += cell;
    }
    out.text(columns);
    int answering = 0;
    for (int n = 1; n <= 24; ++n) {
        int xs[16], qs[16];
        char line[8 + 3 * 16] = {};
        std::snprintf(line, sizeof line, "N%02d: ", n);
        char* cell = line + 5;
        for (int a = 0; a < 16; ++a, cell += 3) {
            int data = 0;
            char q = 0;
            if (cssa(f, extOf(c, n, a), &data, &q) != 0)
                return failed("scan at C" + std::to_string(c) + " N" + std::to_string(n) + " A" + std::to_string(a));
            const int x = cdata()->x;
            xs[a] = x;
            qs[a] = q ? 1 : 0;
            answering += x;
            cell[0] = cell[1] = ' ';
            cell[2] = x ? (q ? 'Q' : 'x') : '.';
        }
        if (out.json) {
            Out::Record r;
            r.num("c", c).num("n", n).num("f", f).list("x", {xs, xs + 16}).list("q", {qs, qs + 16});
            out.emit(r, line);
        } else {
            out.text(line);
        }
    }
    char tail[64];
    std::snprintf(tail, sizeof tail, "%d of 384 addresses answered with X", answering);
    out.text(tail);
    return kDone;
}

// kt40 lam [C] [--count K] [--timeout S]
namespace {

struct LamWatch {
    std::mutex mu;
    std::condition_variable cv;
    int crate = 0;
    uint32_t shown = 0;  // the pattern last reported
    long events = 0;
    bool failed = false;
    const Out* out = nullptr;
};
LamWatch* g_watch = nullptr;

// Reports a pattern that differs from the one shown last. Called by the LAM
// thread for each interrupt and by the watcher while a LAM stays set.
void look() {
    LamWatch& w = *g_watch;
    char l = 0;
    uint32_t pattern = 0;
    {
        std::lock_guard lock(w.mu);  // also keeps the pattern ours until it is read
        const int rc = ctgl(extOf(w.crate, 1, 0), &l);
        pattern = rc == 0 && l ? cdata()->lamPattern : 0;
        if (rc != 0) {
            w.failed = true;
            w.cv.notify_all();
            return;
        }
        if (pattern == w.shown) return;
        w.shown = pattern;
        if (!pattern) return;  // cleared: the next LAM is news again
        ++w.events;
        Out::Record r;
        const std::string when = stamp();
        r.str("time", when).num("c", w.crate).num("lam_pattern", pattern).list("lam_stations", stationList(pattern));
        w.out->emit(r, when + "  crate " + std::to_string(w.crate) + "  LAM " + hex(pattern, 6) + "  stations: " + stations(pattern));
    }
    w.cv.notify_all();
    // A LAM that stays set raises the interrupt again as soon as the handler
    // returns: pause so that it does not spin.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void onLam() { look(); }

}  // namespace

int cmdLam(Args& args, const Out& out) {
    const long count = args.option("--count", 1, 1000000000, "event count").value_or(0);
    const long timeout = args.option("--timeout", 1, 86400 * 365, "timeout (s)").value_or(0);
    const int c = static_cast<int>(args.optionalNumber(0, 3, "crate C").value_or(0));
    args.done();
    if (!connect()) return kFailed;
    LamWatch watch;
    watch.crate = c;
    watch.out = &out;
    g_watch = &watch;
    out.text("watching crate " + std::to_string(c) + " for LAMs (Ctrl+C ends)");
    if (cclnk(onLam) != 0) {
        g_watch = nullptr;
        return failed("linking the LAM handler");
    }
    look();  // a LAM that is there already
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
    int rc = kDone;
    {
        std::unique_lock lock(watch.mu);
        while (!g_interrupted && !watch.failed && (count == 0 || watch.events < count) &&
               (timeout == 0 || std::chrono::steady_clock::now() < until)) {
            watch.cv.wait_for(lock, std::chrono::milliseconds(50));
            if (watch.shown != 0) {  // a LAM that stays, or cleared without an interrupt
                lock.unlock();
                look();
                lock.lock();
            }
        }
        if (watch.failed) rc = kFailed;
    }
    cculnk();
    g_watch = nullptr;
    if (rc == kFailed) return failed("reading the LAM pattern");
    return kDone;
}

}  // namespace kt40
