// The command line's costs on the virtual adapter, in process (start-up left
// out). It prints its figures and judges nothing.
//
//   scan ratio = t(kt40 scan of a full crate) / (accesses x t(bare transfer))
//     where accesses is the number of register accesses the scan made (read
//     off the adapter) and t(bare transfer) the time of one port-transfer
//     request sent straight to the service: what the scan adds beside the
//     kernel calls it must make, its output included (to /dev/null). Goal: at
//     most 1.3.
//   kt40 run --cycle: entries per second of a script run by the panel's worker,
//     printed as text and as JSON (to /dev/null), beside the same worker with a
//     display that only takes each view (what the panel's worker can do at
//     most; bench_tervan gives the panel's own figure).
#include <fcntl.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Access.h"
#include "Camproc.h"
#include "Camscript.h"
#include "Cli.h"
#include "camac.h"
#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"

namespace {

using Clock = std::chrono::steady_clock;

kt40sim::Adapter& hw() { return kt40sim::Adapter::instance(); }

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Processor time of this thread: the machine is shared, and wall time would
// count the other programs' turns.
double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Nanoseconds of one port transfer sent straight to the service.
double bareTransferNs() {
    const wdsim::Handle h = wdsim::open(wdsim::kDevicePath);
    uint16_t value = 0;
    camac::TransferRecord t{};
    t.port = camac::kPortBase + 8;
    t.command = camac::kTransferRead16;
    t.bytes = 2;
    t.one = 1;
    t.address = reinterpret_cast<uintptr_t>(&value);
    uint32_t status = 0;
    constexpr int kCount = 100000;
    const double start = cpuSeconds();
    for (int k = 0; k < kCount; ++k) wdsim::deviceControl(h, camac::kIoctlTransfer, &t, sizeof t, &status, sizeof status);
    wdsim::close(h);
    return (cpuSeconds() - start) * 1e9 / kCount;
}

// Sends the standard output and error to /dev/null while it lives (the
// redirection's system calls stay outside what is timed).
class Quiet {
public:
    Quiet() {
        std::fflush(stdout);
        out_ = dup(1);
        err_ = dup(2);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    ~Quiet() {
        std::fflush(stdout);
        dup2(out_, 1);
        dup2(err_, 2);
        close(out_);
        close(err_);
    }

private:
    int out_ = -1, err_ = -1;
};

std::string fullCrate() {
    std::string text = "crate 0\n";
    for (int n = 1; n <= 24; ++n) text += std::to_string(n) + (n % 3 == 0 ? " scaler channels=16\n" : " memory words=16\n");
    return text;
}

class TakeOnly : public TCamDisplay {
public:
    TCamProcessor* worker = nullptr;
    void ViewPending() override { worker->TakeView(); }
};

}  // namespace

int main() {
    setenv("KT40_SIM_STATE", "private", 1);  // never the user's crate
    std::string error;
    if (!hw().loadCrates(fullCrate(), error)) {
        std::fprintf(stderr, "bench_kt40: %s\n", error.c_str());
        return 1;
    }
    hw().setLogging(false);  // the log costs the same on both sides; leave it out
    if (ccinit() != 0) {
        std::fprintf(stderr, "bench_kt40: ccinit failed\n");
        return 1;
    }
    FILE* figures = stdout;
    // Rounds of each in turn, the best of each kept: all see the same load.
    // The same 384 actions without the tool tell the library's and the
    // crate's share from the tool's.
    double bare = 1e30, best = 1e30, accesses = 0, plain = 1e30;
    for (int round = 0; round < 20; ++round) {
        bare = std::min(bare, bareTransferNs());
        const double plainStart = cpuSeconds();
        for (int n = 1; n <= 24; ++n)
            for (int a = 0; a < 16; ++a) {
                int e = 0, data = 0;
                char q = 0;
                cdreg(&e, 16, 0, n, a);
                cssa(0, e, &data, &q);
            }
        plain = std::min(plain, (cpuSeconds() - plainStart) * 1e9);
        const uint64_t before = hw().accessCount();
        int rc = 0;
        double took = 0;
        {
            Quiet quiet;
            const double start = cpuSeconds();
            rc = kt40::dispatch({"scan", "0"}, false);
            std::fflush(stdout);
            took = (cpuSeconds() - start) * 1e9;
        }
        if (rc != 0) return 1;
        best = std::min(best, took);
        accesses = static_cast<double>(hw().accessCount() - before);
    }
    std::fprintf(figures, "bare transfer         %.1f ns (processor time)\n", bare);
    std::fprintf(figures, "kt40 scan (full)      %.3f ms, %.0f register accesses, ratio %.2f (goal <= 1.3)\n",
                 best / 1e6, accesses, best / (accesses * bare));
    std::fprintf(figures, "the same cssa calls   %.3f ms, ratio %.2f (the library and the crate without the tool)\n",
                 plain / 1e6, plain / (accesses * bare));

    // A script of reads and writes over the crate, run by kt40 and by the
    // worker alone.
    const char* script = "bench_kt40.tvs";
    auto program = std::make_unique<TCamProgram>();
    for (int n = 1; n <= 8; ++n) {
        TCamCommand c;
        c.addressed = 1;
        c.mode = 16;
        c.n = n;
        c.f = n % 2 ? 16 : 0;
        c.data = n;
        program->Append(c);
    }
    if (!TCamScript::Save(script, *program).ok()) return 1;
    constexpr long kPasses = 5000;
    for (const bool json : {false, true}) {
        std::vector<std::string> words{"run", script, "--cycle", "--count", std::to_string(kPasses)};
        if (json) words.insert(words.begin(), "--json");
        int rc = 0;
        const auto start = Clock::now();
        {
            Quiet quiet;
            rc = kt40::dispatch(words, false);
        }
        if (rc != 0) return 1;
        std::fprintf(figures, "kt40 run --cycle%s  %.0f entries/s\n", json ? " --json" : "       ",
                     kPasses * program->count / seconds(start));
    }
    {
        TCamProgram copy = *program;
        TakeOnly display;
        TCamProcessor worker(copy, display);
        display.worker = &worker;
        worker.StopAfter = static_cast<std::uint64_t>(kPasses) * static_cast<std::uint64_t>(copy.count);
        const auto start = Clock::now();
        worker.Start(TCamProcessor::Button::Cycle, nullptr);
        while (!worker.Idle()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::fprintf(figures, "worker alone          %.0f entries/s\n", kPasses * copy.count / seconds(start));
    }
    std::remove(script);
    return 0;
}
