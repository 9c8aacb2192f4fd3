// The LAM link end to end: a module raises a LAM, the adapter interrupts,
// the service ends the wait, and the linked handler runs on the wait thread.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "Fixture.h"
#include "LamLink.h"
#include "Platform.h"

namespace camac::test {
namespace {

using namespace std::chrono_literals;

template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::atomic<int> g_calls{0};
std::atomic<int> g_otherCalls{0};
std::atomic<bool> g_lineDuringCall{true};
std::thread::id g_callThread;
std::atomic<int> g_clearResult{-1};

constexpr int kLamStation = 3;  // the default crate's LAM source

void countingHandler() {
    g_callThread = std::this_thread::get_id();
    g_lineDuringCall = kt40sim::Adapter::instance().interruptLine();
    // A handler usually services the module: clear its LAM (F10).
    int e = 0, data = 0;
    char q = 0;
    cdreg(&e, 16, 0, kLamStation, 0);
    g_clearResult = cssa(10, e, &data, &q);
    ++g_calls;
}

void otherHandler() {
    int e = 0, data = 0;
    char q = 0;
    cdreg(&e, 16, 0, kLamStation, 0);
    cssa(10, e, &data, &q);
    ++g_otherCalls;
}

// Through the public routines, as a caller's handler would: F25 makes the
// LAM source raise its LAM, F10 clears it.
int lamSource(int f) {
    int e = 0, data = 0;
    char q = 0;
    cdreg(&e, 16, 0, kLamStation, 0);
    return cssa(f, e, &data, &q);
}

std::atomic<bool> g_inHandler{false};
std::atomic<int> g_linkFromHandler{-1};
std::atomic<int> g_unlinkFromHandler{-1};
std::atomic<bool> g_relinkInHandler{false};

// Links again while another thread's cculnk is ending this very link.
void relinkingHandler() {
    lamSource(10);
    g_inHandler = true;
    waitFor([] { return wdsim::controls().requestCount(wdsim::kIntDisable) >= 1; });
    g_linkFromHandler = cclnk(relinkingHandler);
}

// Unlinks its own link, and links anew when asked.
void unlinkingHandler() {
    lamSource(10);
    g_callThread = std::this_thread::get_id();
    g_unlinkFromHandler = cculnk();
    if (g_relinkInHandler) g_linkFromHandler = cclnk(otherHandler);
    ++g_calls;
}

class LamLinkTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        camac::platform::refuseThreadStarts(false);
        g_calls = 0;
        g_otherCalls = 0;
        g_lineDuringCall = true;
        g_clearResult = -1;
        g_inHandler = false;
        g_linkFromHandler = -1;
        g_unlinkFromHandler = -1;
        g_relinkInHandler = false;
    }
    void TearDown() override {
        camac::platform::refuseThreadStarts(false);
        cculnk();
        LibraryTest::TearDown();
    }

    // No link left: no thread waits, the service's interrupt and the adapter's
    // enable are off, and only the connection's own handle is open.
    void expectUnlinked() {
        EXPECT_EQ(service.waitsInProgress(), 0);
        EXPECT_FALSE(service.interruptEnabled());
        EXPECT_EQ(camac::g_connection.load()->lamThread, nullptr);
        EXPECT_FALSE(enableBitSet());
        EXPECT_EQ(service.openHandles(), 1);
    }

    bool enableBitSet() { return hw.isaRead(kt40sim::kCsr) & 0x100; }
};

TEST_F(LamLinkTest, UnlinkWithoutLinkOnlyClearsTheEnableBit) {
    open();
    hw.isaWrite(kt40sim::kCsr, 4);  // enable on, crate 0
    hw.clearLog();
    EXPECT_EQ(cculnk(), 0);
    EXPECT_TRUE(service.requests().empty());
    EXPECT_EQ(seen(), (std::vector<Access>{R(8, 0x0100), W(8, 0x0000), R(8, 0x0000)})) << describe(seen());
}

TEST_F(LamLinkTest, LinkEnablesTheServiceInterruptAndTheAdapter) {
    open();
    ASSERT_EQ(cclnk(countingHandler), 0);
    EXPECT_EQ(seen(), (std::vector<Access>{R(8, 0x0000), W(8, 0x0004), R(8, 0x0100)})) << describe(seen());
    EXPECT_TRUE(service.interruptEnabled());
    EXPECT_TRUE(waitFor([&] { return service.waitsInProgress() == 1; }));
    EXPECT_EQ(service.openHandles(), 2) << "the wait goes over a handle of its own";

    // The enable request carried the interrupt handle that registration gave.
    auto requests = service.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].code, wdsim::kIntEnable);
    ASSERT_EQ(requests[0].record.size(), 48u);
    uint32_t handle = 0;
    std::memcpy(&handle, requests[0].record.data(), 4);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(handle, camac::g_connection.load()->card.items[1].handle);
}

TEST_F(LamLinkTest, ModuleLamRunsTheHandlerOnTheWaitThreadWithTheInterruptOff) {
    open();
    ASSERT_EQ(cclnk(countingHandler), 0);
    ASSERT_TRUE(waitFor([&] { return service.waitsInProgress() == 1; }));
    hw.clearLog();

    hw.raiseLam(0, kLamStation);
    ASSERT_TRUE(waitFor([] { return g_calls.load() == 1; }));
    ASSERT_TRUE(waitFor([&] {
        const auto l = seen();
        return !l.empty() && l.back() == W(8, 0x0004);
    }));

    EXPECT_NE(g_callThread, std::this_thread::get_id());
    EXPECT_FALSE(g_lineDuringCall.load()) << "the interrupt must be off while the handler runs";
    EXPECT_EQ(g_clearResult.load(), 0) << "the handler's own CAMAC call must go through";
    EXPECT_EQ(hw.lamPattern(0), 0u);

    // Interrupt off, the handler's F10, interrupt on: in that order, whole.
    const auto log = seen();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0], R(8, 0x0100));
    EXPECT_EQ(log[1], W(8, 0x0000));
    EXPECT_EQ(log[log.size() - 2].dir, Direction::Read);
    EXPECT_EQ(log.back(), W(8, 0x0004)) << describe(log);
    bool sawClear = false;
    for (const auto& a : log) sawClear = sawClear || (a.dir == Direction::Write && a.offset == 0 && a.value == ((3 << 9) | 10));
    EXPECT_TRUE(sawClear) << describe(log);

    // Exactly one call: the LAM was cleared, so no further interrupt comes.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(g_calls.load(), 1);
}

TEST_F(LamLinkTest, SecondLinkKeepsOneThreadAndSwitchesHandler) {
    open();
    ASSERT_EQ(cclnk(countingHandler), 0);
    ASSERT_EQ(cclnk(otherHandler), 0);
    EXPECT_EQ(service.requestCount(wdsim::kIntEnable), 1u);
    ASSERT_TRUE(waitFor([&] { return service.waitsInProgress() == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(service.waitsInProgress(), 1);

    hw.raiseLam(0, kLamStation);
    ASSERT_TRUE(waitFor([] { return g_otherCalls.load() == 1; }));
    EXPECT_EQ(g_calls.load(), 0);
}

TEST_F(LamLinkTest, UnlinkEndsTheThreadAndClearsTheBit) {
    open();
    ASSERT_EQ(cclnk(countingHandler), 0);
    ASSERT_TRUE(waitFor([&] { return service.waitsInProgress() == 1; }));
    EXPECT_EQ(cculnk(), 0);
    // cculnk returns only after the wait thread has ended.
    EXPECT_EQ(service.waitsInProgress(), 0);
    EXPECT_FALSE(service.interruptEnabled());
    EXPECT_EQ(camac::g_connection.load()->lamThread, nullptr);
    EXPECT_FALSE(enableBitSet());
    EXPECT_EQ(service.openHandles(), 1);

    // No handler runs for a LAM now.
    hw.raiseLam(0, kLamStation);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(g_calls.load(), 0);

    // Linking again works, and the new link reaches the LAM already waiting.
    ASSERT_EQ(cclnk(otherHandler), 0);
    ASSERT_TRUE(waitFor([] { return g_otherCalls.load() == 1; }));
}

TEST_F(LamLinkTest, WaitEndingWithoutInterruptCallsNoHandler) {
    open();
    ASSERT_EQ(cclnk(countingHandler), 0);
    ASSERT_TRUE(waitFor([&] { return service.waitsInProgress() == 1; }));
    service.endWait(2);
    ASSERT_TRUE(waitFor([&] { return service.requestCount(wdsim::kIntWait) >= 2 && service.waitsInProgress() == 1; }));
    EXPECT_EQ(g_calls.load(), 0);

    service.fireInterrupt();  // any other ending is an interrupt
    ASSERT_TRUE(waitFor([] { return g_calls.load() == 1; }));
}

TEST_F(LamLinkTest, WaitEndingDisabledEndsTheThread) {
    open();
    ASSERT_EQ(cclnk(countingHandler), 0);
    ASSERT_TRUE(waitFor([&] { return service.waitsInProgress() == 1; }));
    service.endWait(1);
    ASSERT_TRUE(waitFor([&] { return service.waitsInProgress() == 0; }));
    std::this_thread::sleep_for(20ms);  // a thread that went on would wait again by now
    EXPECT_EQ(service.waitsInProgress(), 0);
    EXPECT_EQ(service.requestCount(wdsim::kIntWait), 1u);
    EXPECT_EQ(cculnk(), 0);  // joins a thread that has already ended
}

TEST_F(LamLinkTest, RefusedEnableRecordsTheTextAndStillSwitchesTheAdapter) {
    open();
    service.refuseInterruptEnable(0x2000000C);
    EXPECT_EQ(cclnk(countingHandler), 0);
    EXPECT_STREQ(camac::error_text(), "InterruptEnable() failed with status 0x2000000c - Failed enabling interrupt\n");
    EXPECT_EQ(camac::g_connection.load()->lamThread, nullptr);
    EXPECT_EQ(service.waitsInProgress(), 0);
    EXPECT_TRUE(enableBitSet());
}

TEST_F(LamLinkTest, FailedThreadStartDisablesTheInterruptAgain) {
    open();
    camac::platform::refuseThreadStarts(true);
    EXPECT_EQ(cclnk(countingHandler), 0);
    camac::platform::refuseThreadStarts(false);
    EXPECT_STREQ(camac::error_text(), "InterruptEnable() failed with status 0x20000005 - Insufficient resources\n");
    EXPECT_EQ(camac::g_connection.load()->lamThread, nullptr);
    EXPECT_FALSE(service.interruptEnabled());
    EXPECT_TRUE(enableBitSet());

    // The next link finds the service as it was before.
    ASSERT_EQ(cclnk(countingHandler), 0);
    ASSERT_TRUE(waitFor([&] { return service.waitsInProgress() == 1; }));
    ASSERT_EQ(lamSource(25), 0);
    EXPECT_TRUE(waitFor([] { return g_calls.load() == 1; }));
}

// A handler links again while another thread's cculnk is ending its link:
// both return, and the unlink, which ends last, leaves no link behind.
TEST_F(LamLinkTest, HandlerLinkingWhileAnotherThreadUnlinksDoesNotDeadlock) {
    open();
    ASSERT_EQ(cclnk(relinkingHandler), 0);
    ASSERT_TRUE(waitFor([&] { return service.waitsInProgress() == 1; }));
    ASSERT_EQ(lamSource(25), 0);
    ASSERT_TRUE(waitFor([] { return g_inHandler.load(); }));

    std::atomic<int> unlinked{-1};
    std::thread unlinker([&] { unlinked = cculnk(); });
    if (!waitFor([&] { return unlinked.load() != -1; }, 10s)) {
        unlinker.detach();
        ADD_FAILURE() << "cculnk and the handler's cclnk wait for each other";
        std::_Exit(1);  // both threads hang: nothing can be torn down
    }
    unlinker.join();
    EXPECT_EQ(unlinked.load(), 0);
    EXPECT_EQ(g_linkFromHandler.load(), 0);
    EXPECT_EQ(service.requestCount(wdsim::kIntEnable), 1u);
    expectUnlinked();

    ASSERT_EQ(cclnk(countingHandler), 0);
    ASSERT_EQ(lamSource(25), 0);
    EXPECT_TRUE(waitFor([] { return g_calls.load() == 1; }));
}

TEST_F(LamLinkTest, HandlerUnlinkingItsOwnLinkReturnsAndEndsTheLink) {
    open();
    ASSERT_EQ(cclnk(unlinkingHandler), 0);
    ASSERT_TRUE(waitFor([&] { return service.waitsInProgress() == 1; }));
    ASSERT_EQ(lamSource(25), 0);
    ASSERT_TRUE(waitFor([] { return g_calls.load() == 1; }));
    EXPECT_EQ(g_unlinkFromHandler.load(), 0);
    EXPECT_FALSE(service.interruptEnabled());
    EXPECT_EQ(camac::g_connection.load()->lamThread, nullptr);

    // Closing joins the thread: it must not have switched the adapter's
    // interrupt on again after its handler.
    camac::disconnect();
    EXPECT_EQ(service.waitsInProgress(), 0);
    EXPECT_FALSE(enableBitSet());
    EXPECT_EQ(service.openHandles(), 0);
    EXPECT_EQ(g_calls.load(), 1);
}

TEST_F(LamLinkTest, HandlerUnlinkingAndLinkingAgainGetsANewWaitThread) {
    open();
    g_relinkInHandler = true;
    ASSERT_EQ(cclnk(unlinkingHandler), 0);
    ASSERT_EQ(lamSource(25), 0);
    ASSERT_TRUE(waitFor([] { return g_calls.load() == 1; }));
    EXPECT_EQ(g_unlinkFromHandler.load(), 0);
    EXPECT_EQ(g_linkFromHandler.load(), 0);
    const auto firstThread = g_callThread;
    EXPECT_EQ(service.requestCount(wdsim::kIntEnable), 2u);
    ASSERT_TRUE(waitFor([&] { return service.waitsInProgress() == 1; }));
    EXPECT_TRUE(enableBitSet());

    ASSERT_EQ(lamSource(25), 0);
    ASSERT_TRUE(waitFor([] { return g_otherCalls.load() == 1; }));
    EXPECT_EQ(g_calls.load(), 1);
    EXPECT_EQ(cculnk(), 0);
    expectUnlinked();
    EXPECT_NE(firstThread, std::thread::id{});
}

// Links, unlinks and LAMs from several threads and from the handler itself:
// every call returns, and the last unlink leaves nothing running.
TEST_F(LamLinkTest, LinkingAndUnlinkingFromEveryThreadSettles) {
    open();
    static std::atomic<int> churnCalls{0};
    churnCalls = 0;
    void (*churn)() = [] {
        lamSource(10);
        const int n = ++churnCalls;
        if (n % 3 == 0) cculnk();
        if (n % 2 == 0) cclnk(countingHandler);
    };
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t)
        callers.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                EXPECT_EQ(cclnk(churn), 0);
                lamSource(25);
                if ((i + t) % 2 == 0) {
                    EXPECT_EQ(cculnk(), 0);
                }
            }
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(cculnk(), 0);
    expectUnlinked();
    EXPECT_EQ(service.requestCount(wdsim::kIntEnable), service.requestCount(wdsim::kIntDisable));
}

TEST_F(LamLinkTest, BusyAdapterFailsLinkAndUnlinkWithBusyCode) {
    open();
    hw.setFault(kt40sim::Fault::BusyStuck);
    EXPECT_EQ(cclnk(countingHandler), 1);
    EXPECT_EQ(cdata()->error, 0x0500);
    EXPECT_EQ(cculnk(), 1);
    EXPECT_EQ(cdata()->error, 0x0500);
    EXPECT_EQ(service.waitsInProgress(), 0);
}

TEST_F(LamLinkTest, FailingWaitsDoNotSpinAndUnlinkStillEnds) {
    open();
    service.setUnanswered(wdsim::kIntWait, true);
    ASSERT_EQ(cclnk(countingHandler), 0);
    std::this_thread::sleep_for(500ms);
    const auto attempts = service.requestCount(wdsim::kIntWait);
    EXPECT_GE(attempts, 2u);
    EXPECT_LT(attempts, 60u) << "the wait thread must pause between failed waits";
    EXPECT_EQ(g_calls.load(), 0);

    // The service goes away entirely: unlinking must not hang.
    service.setPresent(false);
    const auto start = std::chrono::steady_clock::now();
    cculnk();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(camac::g_connection.load()->lamThread, nullptr);
}

TEST_F(LamLinkTest, WithoutConnectionNothingIsSent) {
    EXPECT_EQ(cclnk(countingHandler), 1);
    EXPECT_EQ(cdata()->error, 0x0100);
    EXPECT_EQ(cculnk(), 1);
    EXPECT_TRUE(service.requests().empty());
    EXPECT_EQ(hw.accessCount(), 0u);
}

// CAMAC actions on one thread and the handler's CSR writes on the wait thread
// never interleave inside a register sequence.
TEST_F(LamLinkTest, HandlerAndActionsOnOtherThreadsDoNotInterleave) {
    open();
    ASSERT_EQ(cclnk(countingHandler), 0);
    const int reg = ext(0, 5, 0);
    int value = 0x2A5A;
    char q = 0;
    ASSERT_EQ(cssa(16, reg, &value, &q), 0);
    hw.clearLog();

    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!stop) {
            int data = 0;
            char qq = 0;
            if (cssa(0, reg, &data, &qq) != 0 || data != 0x2A5A) ++bad;
        }
    });
    for (int i = 0; i < 50; ++i) {
        const int before = g_calls.load();
        hw.raiseLam(0, kLamStation);
        ASSERT_TRUE(waitFor([&] { return g_calls.load() > before; }));
    }
    stop = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);

    // Inside every read sequence (W CMD ... R CMD) only CSR polls may appear.
    const auto log = seen();
    const uint16_t readCmd = (5 << 9) | 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (!(log[i].dir == Direction::Write && log[i].offset == 0 && log[i].value == readCmd)) continue;
        size_t j = i + 1;
        while (j < log.size() && log[j].dir == Direction::Read && log[j].offset == 8) ++j;
        ASSERT_LT(j, log.size());
        ASSERT_EQ(log[j].dir, Direction::Read) << "at " << j << "\n" << describe({log.begin() + static_cast<long>(i), log.begin() + static_cast<long>(j + 1)});
        ASSERT_EQ(log[j].offset, 0) << "at " << j;
    }
}

}  // namespace
}  // namespace camac::test
