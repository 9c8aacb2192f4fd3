// A fresh library, service and adapter for every test of the worker, and a
// panel stand-in that fetches the worker's view on a thread of its own, as
// the user-interface thread does.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "PowerUp.h"
#include "Camproc.h"
#include "State.h"
#include "camac.h"
#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"

namespace tervan::test {

// Polls `condition` until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()> &condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Collects the worker's view the way the panel does: one fetch per
// notification, on its own thread. `slowness` makes the panel lag behind.
class FakePanel : public TCamDisplay
{
public:
    ~FakePanel() override { stop(); }

    void attach(TCamProcessor &worker)
    {
        m_worker = &worker;
        m_thread = std::thread([this] { run(); });
    }
    void stop()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    void ViewPending() override
    {
        {
            std::lock_guard lock(m_mutex);
            ++m_notifications;
            ++m_outstanding;
            if (m_outstanding > m_maxOutstanding)
                m_maxOutstanding = m_outstanding;
        }
        m_cv.notify_all();
    }

    // The state as shown: each part taken from the latest view that changed it.
    struct Shown
    {
        bool rError = false;
        int r = 0;
        bool rSet = false;
        int x = 2, q = 2, l = 2, i = 2;
        bool indicatorsSet = false;
        std::uint32_t lamMask = 0, lamPattern = 0;
        int oneTimeReleases = 0;
        int cycleReleases = 0;
        std::uint64_t entries = 0;
        int refreshes = 0;
    };
    Shown shown() const
    {
        std::lock_guard lock(m_mutex);
        return m_shown;
    }
    int notifications() const
    {
        std::lock_guard lock(m_mutex);
        return m_notifications;
    }
    int maxOutstanding() const
    {
        std::lock_guard lock(m_mutex);
        return m_maxOutstanding;
    }
    std::chrono::milliseconds slowness{0};

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_cv.wait(lock, [this] { return m_stop || m_outstanding > 0; });
            if (m_outstanding == 0 && m_stop)
                return;
            --m_outstanding;
            lock.unlock();
            std::this_thread::sleep_for(slowness);
            const TPanelView v = m_worker->TakeView();
            lock.lock();
            ++m_shown.refreshes;
            if (v.rChanged) {
                m_shown.rSet = true;
                m_shown.rError = v.rError;
                m_shown.r = v.r;
            }
            if (v.indicatorsChanged) {
                m_shown.indicatorsSet = true;
                m_shown.x = v.x, m_shown.q = v.q, m_shown.l = v.l, m_shown.i = v.i;
            }
            if (v.lamChanged)
                m_shown.lamMask = v.lamMask, m_shown.lamPattern = v.lamPattern;
            if (v.oneTimeReleased)
                ++m_shown.oneTimeReleases;
            if (v.cycleReleased)
                ++m_shown.cycleReleases;
            m_shown.entries += v.entries;
        }
    }

    TCamProcessor *m_worker = nullptr;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stop = false;
    int m_notifications = 0;
    int m_outstanding = 0;
    int m_maxOutstanding = 0;
    Shown m_shown;
    std::thread m_thread;
};

class WorkerTest : public ::testing::Test
{
protected:
    kt40sim::Adapter &hw = kt40sim::Adapter::instance();

    void SetUp() override
    {
        camac::test::powerUp();
    }
    void TearDown() override
    {
        panel.stop();
        worker.reset();
        camac::disconnect();
    }

    // Creates the worker (ccinit happens here) and the panel that watches it.
    void create()
    {
        worker = std::make_unique<TCamProcessor>(program, panel);
        panel.attach(*worker);
        hw.clearLog();
    }

    static TCamCommand addressed(int f, int n, int a, int data = 0, int mode = 16, int crate = 0)
    {
        TCamCommand c;
        c.kind = TCamCommand::kindCamac;
        c.addressed = 1;
        c.mode = mode, c.crate = crate, c.n = n, c.a = a, c.f = f, c.data = data;
        return c;
    }
    static TCamCommand unaddressed(int code, int crate = 0)
    {
        TCamCommand c;
        c.kind = TCamCommand::kindCamac;
        c.crate = crate, c.code = code;
        return c;
    }
    static TCamCommand lamRead(int crate = 0)
    {
        TCamCommand c;
        c.kind = TCamCommand::kindLam;
        c.lamOperation = TCamCommand::lamRead;
        c.mode = 16, c.crate = crate;
        return c;
    }

    bool idle() { return eventually([this] { return worker->Idle(); }); }
    int count() { return worker->WithProgram([](TCamProgram &p) { return p.count; }); }
    int runPosition() { return worker->WithProgram([](TCamProgram &p) { return p.runPosition; }); }

    // Command words (CMD writes) the adapter saw, in order.
    std::vector<uint16_t> commandWords() const
    {
        std::vector<uint16_t> words;
        for (const auto &a : hw.log())
            if (a.dir == kt40sim::Direction::Write && a.offset == kt40sim::kCmd)
                words.push_back(static_cast<uint16_t>(a.value));
        return words;
    }

    TCamProgram program;
    FakePanel panel;
    std::unique_ptr<TCamProcessor> worker;
};

} // namespace tervan::test
