// Cost of the ESONE routines on the virtual adapter, against the cost of the
// bare service requests they are made of.
//
// For each routine it prints   ratio = t(routine) / (accesses x t(bare transfer))
// where `accesses` is the number of register accesses the routine made (read
// off the adapter) and t(bare transfer) the time of one port-transfer request
// sent straight to the service. A ratio near 1 means the library adds little
// beside the kernel calls that the design requires.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "Access.h"
#include "State.h"
#include "camac.h"
#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"

namespace {

kt40sim::Adapter& hw() { return kt40sim::Adapter::instance(); }

void prepare() {
    static bool ready = false;
    if (ready) return;
    hw().setLogging(false);  // the log costs the same on both sides; leave it out
    if (ccinit() != 0) {
        std::fprintf(stderr, "ccinit failed: %s", camac::error_text());
        std::exit(1);
    }
    ready = true;
}

int address(int n, int b) {
    int e = 0;
    cdreg(&e, b, 0, n, 0);
    return e;
}

// Runs `body` and reports the register accesses it made per iteration.
template <typename Body>
void measure(benchmark::State& state, Body body) {
    prepare();
    const uint64_t before = hw().accessCount();
    for (auto _ : state) body();
    const double accesses = static_cast<double>(hw().accessCount() - before) / static_cast<double>(state.iterations());
    state.counters["accesses"] = accesses;
}

void BM_BareTransfer(benchmark::State& state) {
    prepare();
    const wdsim::Handle h = wdsim::open(wdsim::kDevicePath);
    uint16_t value = 0;
    camac::TransferRecord t{};
    t.port = camac::kPortBase + 8;
    t.command = camac::kTransferRead16;
    t.bytes = 2;
    t.one = 1;
    t.address = reinterpret_cast<uintptr_t>(&value);
    uint32_t status = 0;
    const uint64_t before = hw().accessCount();
    for (auto _ : state) {
        wdsim::deviceControl(h, camac::kIoctlTransfer, &t, sizeof t, &status, sizeof status);
        benchmark::DoNotOptimize(value);
    }
    state.counters["accesses"] =
        static_cast<double>(hw().accessCount() - before) / static_cast<double>(state.iterations());
    wdsim::close(h);
}

void BM_Read16(benchmark::State& state) {
    const int e = address(5, 16);
    measure(state, [&] {
        int data = 0;
        char q = 0;
        benchmark::DoNotOptimize(cssa(0, e, &data, &q));
    });
}

void BM_Read24(benchmark::State& state) {
    const int e = address(5, 24);
    measure(state, [&] {
        int data = 0;
        char q = 0;
        benchmark::DoNotOptimize(cssa(0, e, &data, &q));
    });
}

void BM_Write16(benchmark::State& state) {
    const int e = address(5, 16);
    measure(state, [&] {
        int data = 0x1234;
        char q = 0;
        benchmark::DoNotOptimize(cssa(16, e, &data, &q));
    });
}

void BM_CtglWithLam(benchmark::State& state) {
    prepare();
    hw().raiseLam(0, 3);
    const int e = address(3, 16);
    measure(state, [&] {
        char l = 0;
        benchmark::DoNotOptimize(ctgl(e, &l));
    });
    hw().clearLam(0, 3);
}

BENCHMARK(BM_BareTransfer);
BENCHMARK(BM_Read16);
BENCHMARK(BM_Read24);
BENCHMARK(BM_Write16);
BENCHMARK(BM_CtglWithLam);

// Keeps each run's time per iteration and accesses, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    struct Figure {
        double ns;
        double accesses;
    };
    std::map<std::string, Figure> figures;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) {
            if (r.run_type != Run::RT_Iteration && r.aggregate_name != "median") continue;
            auto it = r.counters.find("accesses");
            figures[r.run_name.function_name] = {r.GetAdjustedRealTime(), it == r.counters.end() ? 0 : it->second.value};
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto bare = reporter.figures.find("BM_BareTransfer");
    if (bare == reporter.figures.end()) return 0;
    std::printf("\none bare transfer: %.1f ns\n", bare->second.ns);
    std::printf("%-16s %10s %9s %7s\n", "routine", "time (ns)", "accesses", "ratio");
    for (const auto& [name, f] : reporter.figures) {
        if (name == "BM_BareTransfer" || f.accesses <= 0) continue;
        std::printf("%-16s %10.1f %9.0f %7.3f\n", name.c_str() + 3, f.ns, f.accesses,
                    f.ns / (f.accesses * bare->second.ns));
    }
    return 0;
}
