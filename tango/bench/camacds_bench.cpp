// CamacDS over loopback, as a remote client sees it:
//   - a CNAF round trip beside a TANGO no-op command (State) in the same run;
//   - ExecList of 100 actions against 100 single CNAF calls;
//   - LAM to event: from sending the F25 that raises the LAM of the LAM
//     source in station 3 to the data-ready event arriving here.
// Usage: camacds_bench DEVICE [rounds]   (TANGO_HOST set, the device ON)
#include <tango.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

Tango::DeviceData longs(std::vector<Tango::DevLong> v) {
    Tango::DeviceData d;
    d << v;
    return d;
}

struct DataReady : public Tango::CallBack {
    std::mutex mu;
    std::condition_variable cv;
    long last = -1;
    Clock::time_point when;
    void push_event(Tango::DataReadyEventData* ev) override {
        if (ev->err) return;
        std::lock_guard lock(mu);
        last = ev->ctr;
        when = Clock::now();
        cv.notify_all();
    }
};

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: camacds_bench DEVICE [rounds]\n");
        return 2;
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 4000;
    try {
        Tango::DeviceProxy dev(argv[1]);
        Tango::DeviceData cnaf = longs({1, 0, 0});

        // Round trips, alternating batches so that both see the same load.
        std::vector<double> noop, single;
        for (int i = 0; i < 200; ++i) dev.command_inout("State"), dev.command_inout("CNAF", cnaf);  // warm up
        for (int batch = 0; batch < 20; ++batch) {
            for (int i = 0; i < rounds / 20; ++i) {
                const auto t0 = Clock::now();
                dev.command_inout("State");
                noop.push_back(us(Clock::now() - t0));
            }
            for (int i = 0; i < rounds / 20; ++i) {
                Tango::DeviceData in = cnaf;
                const auto t0 = Clock::now();
                dev.command_inout("CNAF", in);
                single.push_back(us(Clock::now() - t0));
            }
        }
        const double noopP50 = percentile(noop, 0.5), cnafP50 = percentile(single, 0.5);
        std::printf("no-op command (State) round trip: p50 %.1f us, p99 %.1f us\n", noopP50, percentile(noop, 0.99));
        std::printf("CNAF round trip:                  p50 %.1f us, p99 %.1f us\n", cnafP50, percentile(single, 0.99));
        std::printf("CNAF / no-op (p50):               %.2f (goal at most 1.5)\n", cnafP50 / noopP50);

        // 100 actions: one ExecList against 100 CNAF calls.
        std::vector<Tango::DevLong> list;
        for (int i = 0; i < 100; ++i) list.insert(list.end(), {1, i % 16, i % 2 ? 0 : 16, i, 16});
        Tango::DeviceData listIn = longs(list);
        std::vector<double> lists, singles;
        for (int rep = 0; rep < 30; ++rep) {
            Tango::DeviceData in = listIn;
            auto t0 = Clock::now();
            dev.command_inout("ExecList", in);
            lists.push_back(us(Clock::now() - t0));
            t0 = Clock::now();
            for (int i = 0; i < 100; ++i) {
                Tango::DeviceData one = longs({1, i % 16, i % 2 ? 0 : 16, i, 16});
                dev.command_inout("CNAF", one);
            }
            singles.push_back(us(Clock::now() - t0));
        }
        const double listP50 = percentile(lists, 0.5), singlesP50 = percentile(singles, 0.5);
        std::printf("100 actions: ExecList %.0f us, 100 CNAF calls %.0f us (%.1f times faster)\n", listP50,
                    singlesP50, singlesP50 / listP50);

        // LAM to event.
        DataReady cb;
        const int id = dev.subscribe_event("LamPattern", Tango::DATA_READY_EVENT, &cb);
        Tango::DeviceData fire = longs({3, 0, 25});
        std::vector<double> latency;
        int lost = 0;
        for (int i = 0; i < 2000; ++i) {
            long before;
            {
                std::lock_guard lock(cb.mu);
                before = cb.last;
            }
            Tango::DeviceData in = fire;
            const auto t0 = Clock::now();
            dev.command_inout("CNAF", in);
            std::unique_lock lock(cb.mu);
            if (!cb.cv.wait_for(lock, std::chrono::seconds(2), [&] { return cb.last != before; })) {
                ++lost;
                continue;
            }
            if (i >= 20) latency.push_back(us(cb.when - t0));
        }
        dev.unsubscribe_event(id);
        std::printf("LAM to event (from sending F25): p50 %.0f us, p99 %.0f us over %zu LAMs, %d without event\n",
                    percentile(latency, 0.5), percentile(latency, 0.99), latency.size(), lost);
    } catch (const Tango::DevFailed& e) {
        Tango::Except::print_exception(e);
        return 1;
    }
    return 0;
}
