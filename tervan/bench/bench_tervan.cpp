// The front panel running a cycle at 0 ms delay on the virtual crate, with
// the real main window on the offscreen platform, for a fixed time:
//  - entries per second the worker executes and the window takes in;
//  - the delay of events posted to the user-interface thread while it runs
//    (a probe thread posts one every 2 ms; the event records when it was
//    posted), as p50, p99 and maximum;
//  - resident memory (VmRSS) once a second.
//
// bench_tervan [seconds] [--no-log]
// By default the virtual adapter keeps its access log on, as the panel
// program does; --no-log turns it off to show what the log costs.
#include "Cshell.h"
#include "Speedbutton1.h"
#include "camac.h"
#include "kt40sim/Adapter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// A probe event: carries the time it was posted.
class ProbeEvent : public QEvent
{
public:
    static QEvent::Type type()
    {
        static const auto t = static_cast<QEvent::Type>(QEvent::registerEventType());
        return t;
    }
    ProbeEvent() : QEvent(type()), posted(Clock::now()) {}
    Clock::time_point posted;
};

// Keeps the delays in storage touched before the run, so that recording
// them does not show as growth of resident memory.
class ProbeReceiver : public QObject
{
public:
    explicit ProbeReceiver(std::size_t capacity) : m_delays(capacity, 0.0), m_at(capacity, 0.0) {}
    std::vector<double> delaysMs() const { return {m_delays.begin(), m_delays.begin() + static_cast<long>(m_count)}; }
    // The seconds into the run at which the longest delay happened.
    double worstAt() const
    {
        const auto worst = std::max_element(m_delays.begin(), m_delays.begin() + static_cast<long>(m_count));
        return m_count ? m_at[static_cast<std::size_t>(worst - m_delays.begin())] : 0.0;
    }
    bool recording = false;
    Clock::time_point start;

protected:
    bool event(QEvent *e) override
    {
        if (e->type() != ProbeEvent::type())
            return QObject::event(e);
        if (recording && m_count < m_delays.size()) {
            const auto now = Clock::now();
            const auto d = now - static_cast<ProbeEvent *>(e)->posted;
            m_delays[m_count] = std::chrono::duration<double, std::milli>(d).count();
            m_at[m_count] = std::chrono::duration<double>(now - start).count();
            ++m_count;
        }
        return true;
    }

private:
    std::vector<double> m_delays, m_at;
    std::size_t m_count = 0;
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
}

} // namespace

int main(int argc, char **argv)
{
    int seconds = 10;
    bool log = true;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--no-log") == 0)
            log = false;
        else
            seconds = std::max(1, std::atoi(argv[k]));
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    QApplication app(argc, argv);

    kt40sim::Adapter::instance().setLogging(log);
    const long rssBeforeWindow = residentKiB();
    TfrmCamac form;
    if (!form.Start()) {
        std::fprintf(stderr, "bench_tervan: the panel could not reach the virtual adapter\n");
        return 1;
    }
    if (!QTest::qWaitForWindowExposed(&form)) {
        std::fprintf(stderr, "bench_tervan: the window was never exposed\n");
        return 1;
    }

    // The operator's clicks: crate 0, N2 A0 F0 (a read of the scaler, so
    // every entry also shows R), then "Циклически" with the delays at 0 ms.
    QTest::mouseClick(form.btnCreate0, Qt::LeftButton);
    QTest::mouseClick(form.btnN[2], Qt::LeftButton);
    QTest::mouseClick(form.btnA[0], Qt::LeftButton);
    QTest::mouseClick(form.btnF[0], Qt::LeftButton);
    form.Worker().CommandDelay = 0;
    form.Worker().CycleDelay = 0;

    ProbeReceiver receiver(static_cast<std::size_t>(seconds) * 1000);
    std::atomic<bool> probing = true;
    std::thread prober([&] {
        while (probing) {
            QCoreApplication::postEvent(&receiver, new ProbeEvent);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    const std::uint64_t executed0 = form.Worker().Executed();
    const std::uint64_t shown0 = form.EntriesShown();
    const std::uint64_t accesses0 = kt40sim::Adapter::instance().accessCount();
    std::vector<long> rss{residentKiB()};
    receiver.start = Clock::now();
    receiver.recording = true;
    QElapsedTimer run;
    run.start();
    QTest::mouseClick(form.btnCycle, Qt::LeftButton);
    if (!form.btnCycle->down()) {
        std::fprintf(stderr, "bench_tervan: the cycle did not start\n");
        probing = false;
        prober.join();
        return 1;
    }
    {
        // The user-interface thread runs its event loop as the program does,
        // blocking while there is nothing to do; a timer samples memory.
        QEventLoop loop;
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, &loop, [&] {
            rss.push_back(residentKiB());
            if (static_cast<int>(rss.size()) > seconds)
                loop.quit();
        });
        sampler.start(1000);
        loop.exec();
    }
    const double elapsed = static_cast<double>(run.nsecsElapsed()) / 1e9;
    const std::uint64_t executed = form.Worker().Executed() - executed0;
    const std::uint64_t accesses = kt40sim::Adapter::instance().accessCount() - accesses0;

    // Stop as the operator does and let the window catch up.
    receiver.recording = false;
    QTest::mouseClick(form.btnCycle, Qt::LeftButton);
    probing = false;
    prober.join();
    form.Worker().StopRun();
    const std::uint64_t total = form.Worker().Executed() - executed0;
    const bool caughtUp = QTest::qWaitFor([&] { return form.EntriesShown() - shown0 == total; }, 2000);

    std::printf("bench_tervan: %d s cycle at 0 ms on the virtual crate, N2 A0 F0, access log %s\n", seconds,
                log ? "on (as the panel runs)" : "off");
    std::printf("entries/s          %.0f  (%llu entries, %.0f register accesses/s)\n",
                static_cast<double>(executed) / elapsed, static_cast<unsigned long long>(executed),
                static_cast<double>(accesses) / elapsed);
    const std::vector<double> delays = receiver.delaysMs();
    std::printf("event latency ms   p50 %.3f  p99 %.3f  max %.3f at %.2f s  (%zu probes)\n", percentile(delays, 0.50),
                percentile(delays, 0.99), delays.empty() ? 0.0 : *std::max_element(delays.begin(), delays.end()),
                receiver.worstAt(), delays.size());
    std::printf("VmRSS KiB          before window %ld, at start %ld, at end %ld\n", rssBeforeWindow, rss.front(),
                rss.back());
    std::printf("VmRSS each second ");
    for (long r : rss)
        std::printf(" %ld", r);
    std::printf("\n");
    std::printf("window caught up   %s (%llu of %llu entries shown), R = %s\n", caughtUp ? "yes" : "NO",
                static_cast<unsigned long long>(form.EntriesShown() - shown0),
                static_cast<unsigned long long>(total), qPrintable(form.RMonitor->text()));
    form.close();
    return 0;
}
