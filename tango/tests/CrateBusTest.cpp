// The core of CamacDS on the virtual adapter: argument checks, actions,
// blocks, lists, adapter failures and the LAM service.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>

#include "CrateBus.h"
#include "camac758.h"
#include "kt40sim/Adapter.h"

using namespace camacds;

namespace {

kt40sim::Adapter& adapter() { return kt40sim::Adapter::instance(); }

// A module that delivers the words it holds with Q = 1, then Q = 0 (a FIFO);
// with `gaps`, every other read has Q = 0 and delivers nothing.
class Fifo : public kt40sim::Module {
public:
    Fifo(std::deque<uint32_t> words, bool gaps) : Module("fifo"), words_(std::move(words)), gaps_(gaps) {}
    kt40sim::Response cycle(int, int f, uint32_t& data) override {
        if (f != 0) return {false, false};
        if (gaps_ && (odd_ = !odd_)) return {true, false};
        if (words_.empty()) return {true, false};
        data = words_.front();
        words_.pop_front();
        return {true, true};
    }

private:
    std::deque<uint32_t> words_;
    bool gaps_;
    bool odd_ = false;
};

// A module whose LAM F10 cannot clear (F25 raises it, F24/F26 mask it).
class StuckLam : public kt40sim::Module {
public:
    StuckLam() : Module("stuck") {}
    kt40sim::Response cycle(int, int f, uint32_t&) override {
        kt40sim::Response r;
        if (f == 10) return {true, true};
        if (lamFunction(f, r)) return r;
        if (f == 25) raiseLam();
        return {true, f == 25};
    }
};

class CrateBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        Bus::instance().close();
        adapter().reset();
        std::string why;
        ASSERT_TRUE(Bus::instance().open(why)) << why;
    }
    void TearDown() override {
        for (int id : listeners_) Bus::instance().removeListener(id);
        Bus::instance().close();
    }

    // Collects the LAM events of a crate.
    void listen(int crate) {
        listeners_.push_back(Bus::instance().addListener(crate, [this](const LamEvent& ev) {
            std::lock_guard lock(mu_);
            events_.push_back(ev);
            cv_.notify_all();
        }));
    }
    std::vector<LamEvent> waitEvents(size_t n) {
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, std::chrono::seconds(5), [&] { return events_.size() >= n; });
        return events_;
    }

    Bus& bus = Bus::instance();
    std::vector<int> listeners_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<LamEvent> events_;
};

std::string argumentError(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ArgumentError& e) {
        return e.what();
    }
    return "(accepted)";
}

}  // namespace

TEST(CrateBusArguments, BadInputNamesTheValueAndTheRange) {
    const struct {
        std::vector<int32_t> in;
        const char* says;
    } cnaf[] = {
        {{1, 0}, "not 2 numbers"},
        {{1, 0, 0, 0, 16, 9}, "not 6 numbers"},
        {{0, 0, 0}, "station N must be 1..24, not 0"},
        {{25, 0, 0}, "station N must be 1..24, not 25"},
        {{-1, 0, 0}, "station N must be 1..24, not -1"},
        {{1, 16, 0}, "subaddress A must be 0..15, not 16"},
        {{1, 0, 32}, "function F must be 0..31, not 32"},
        {{1, 0, 16, 0x10000}, "data for 16-bit F16 must be 0..65535, not 65536"},
        {{1, 0, 16, -1, 24}, "data for 24-bit F16 must be 0..16777215, not -1"},
        {{1, 0, 16, 0x1000000, 24}, "data for 24-bit F16 must be 0..16777215, not 16777216"},
        {{1, 0, 16, 5, 32}, "bits must be 16 or 24, not 32"},
        {{1, 0, 16}, "F16 writes: give the data word"},
        {{1, 0, 0, 5}, "F0 does not write: data must be 0, not 5"},
        {{1, 0, 25, 1, 24}, "F25 does not write: data must be 0, not 1"},
    };
    for (const auto& c : cnaf) EXPECT_NE(argumentError([&] { parseCnaf(c.in); }).find(c.says), std::string::npos) << c.says;

    EXPECT_NE(argumentError([] { parseList({1, 0, 16, 5, 16, 1, 0, 16, 70000, 16}); })
                  .find("action 2: data for 16-bit F16 must be 0..65535, not 70000"),
              std::string::npos);
    EXPECT_NE(argumentError([] { parseList({1, 0, 16, 5}); }).find("4 numbers is not a whole number"),
              std::string::npos);
    EXPECT_NE(argumentError([] { parseList({}); }).find("0 numbers"), std::string::npos);
    EXPECT_NE(argumentError([] { parseList(std::vector<int32_t>(5 * (kMaxListActions + 1), 16)); })
                  .find("at most 4096 actions"),
              std::string::npos);

    EXPECT_NE(argumentError([] { parseList({1, 0, 8, 3, 16}); }).find("action 1: F8 does not write: data must be 0"),
              std::string::npos);
    EXPECT_NE(argumentError([] { parseBlock({1, 0, 0, 4}, {"fast"}); })
                  .find("mode must be 'qstop', 'qrepeat', 'count' or 'countq', not 'fast'"),
              std::string::npos);
    EXPECT_NE(argumentError([] { parseBlock({1, 0, 0, 0}, {"count"}); }).find("count must be 1..65536, not 0"),
              std::string::npos);
    EXPECT_NE(argumentError([] { parseBlock({25, 0, 0, 1}, {"count"}); }).find("station N must be 1..24, not 25"),
              std::string::npos);
    EXPECT_NE(argumentError([] { parseBlock({1, 0, 16, 3, 1, 2}, {"count"}); }).find("needs 3 data words, not 2"),
              std::string::npos);
    EXPECT_NE(argumentError([] { parseBlock({1, 0, 0, 2, 7}, {"count"}); }).find("F0 does not write: data must be none, not 1 words"),
              std::string::npos);
    EXPECT_NE(argumentError([] { parseBlock({1, 0, 16, 2, 1, 0x10000}, {"count", "16"}); })
                  .find("word 2: data for 16-bit F16 must be 0..65535, not 65536"),
              std::string::npos);
    EXPECT_NE(argumentError([] { parseBlock({1, 0, 0, 2}, {"count", "32"}); }).find("bits must be 16 or 24, not '32'"),
              std::string::npos);

    for (const char* bad : {"", "4", "-1", "0x4", "1 ", "one"})
        EXPECT_NE(argumentError([&] { parseCrate(bad); }).find("must be a crate number 0-3"), std::string::npos)
            << bad;
    EXPECT_EQ(parseCrate("3"), 3);
    EXPECT_EQ(parseCrate("0x1"), 1);  // numbers as every face reads them
    for (const char* bad : {"", "16", "-1", "F10", "10 "})
        EXPECT_NE(argumentError([&] { parseLamAcknowledge(bad); }).find("must be a read or control function 0-15"),
                  std::string::npos)
            << bad;
    EXPECT_EQ(parseLamAcknowledge("2"), 2);
}

TEST(CrateBusArguments, GoodInputKeepsEveryField) {
    const Action a = parseCnaf({5, 2, 16, 0xABCDEF, 24});
    EXPECT_EQ(a.n, 5);
    EXPECT_EQ(a.a, 2);
    EXPECT_EQ(a.f, 16);
    EXPECT_EQ(a.data, 0xABCDEF);
    EXPECT_TRUE(a.wide);
    EXPECT_FALSE(parseCnaf({1, 0, 0}).wide);
    const auto list = parseList({1, 3, 16, 7, 16, 2, 0, 0, 0, 24});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].n, 2);
    EXPECT_TRUE(list[1].wide);
    const BlockRequest b = parseBlock({1, 4, 16, 2, 10, 20}, {"qrepeat", "24"});
    EXPECT_EQ(b.mode, BlockMode::QRepeat);
    EXPECT_TRUE(b.action.wide);
    EXPECT_EQ(b.data, (std::vector<int32_t>{10, 20}));
}

TEST_F(CrateBusTest, ActionsReachTheCrateOfTheDeviceWithTheirWidth) {
    adapter().setCrateOnline(1, true);
    adapter().install(1, 7, std::make_unique<kt40sim::RegisterModule>(4));
    bus.cnaf(1, {7, 2, 16, 0xABCDEF, true});
    const Result r24 = bus.cnaf(1, {7, 2, 0, 0, true});
    EXPECT_EQ(r24.data, 0xABCDEF);
    EXPECT_TRUE(r24.q);
    EXPECT_TRUE(r24.x);
    EXPECT_EQ(bus.cnaf(1, {7, 2, 0, 0, false}).data, 0xCDEF);
    // Crate 0 station 7 is empty: X = 0 there.
    EXPECT_FALSE(bus.cnaf(0, {7, 2, 0, 0, false}).x);
    EXPECT_FALSE(bus.lastAction(0).x);
    EXPECT_TRUE(bus.lastAction(1).x);
    EXPECT_EQ(bus.lastStatus(1).lastRead, 0xCDEF);

    bus.setInhibit(1, true);
    EXPECT_TRUE(adapter().inhibit(1));
    EXPECT_FALSE(adapter().inhibit(0));
    EXPECT_TRUE(bus.inhibit(1));
    bus.setInhibit(1, false);
    EXPECT_FALSE(bus.inhibit(1));
    bus.cnaf(1, {7, 0, 16, 99, false});
    bus.clear(1);
    EXPECT_EQ(bus.cnaf(1, {7, 0, 0, 0, false}).data, 0);
    bus.initialise(1);
    EXPECT_TRUE(adapter().inhibit(1));  // Z sets the inhibit
}

TEST_F(CrateBusTest, ListRunsEveryActionAndAFailedWaitNamesTheAction) {
    const auto results = bus.execList(0, parseList({1, 0, 16, 11, 16, 1, 1, 16, 22, 16, 1, 1, 0, 0, 16, 9, 0, 0, 0, 16}));
    ASSERT_EQ(results.size(), 4u);
    EXPECT_EQ(results[2].data, 22);
    EXPECT_TRUE(results[2].q);
    EXPECT_FALSE(results[3].x);

    adapter().setFault(kt40sim::Fault::DoneNever);
    try {
        bus.execList(0, parseList({1, 0, 0, 0, 16, 1, 1, 0, 0, 16}));
        FAIL() << "no error";
    } catch (const AdapterError& e) {
        EXPECT_EQ(e.error(), CAMAC_ERR_DONE_TIMEOUT);
        EXPECT_STREQ(e.what(), "action 1 of 2 (N1 A0 F0 failed: the adapter did not report the action done in time (error 0x0100)); "
                               "the actions before it were carried out");
    }
    adapter().setFault(kt40sim::Fault::BusyStuck);
    EXPECT_THROW(bus.cnaf(0, {1, 0, 16, 1, false}), AdapterError);
    EXPECT_EQ(bus.lastStatus(0).error, CAMAC_ERR_BUSY_TIMEOUT);
    adapter().setFault(kt40sim::Fault::ErrorBit);
    try {
        bus.initialise(0);
        FAIL() << "no error";
    } catch (const AdapterError& e) {
        EXPECT_STREQ(e.what(), "Z failed: the adapter ended the action with its error bit (error 0x0200)");
    }
}

TEST_F(CrateBusTest, BlockModesStopRepeatAndCount) {
    adapter().install(0, 9, std::make_unique<Fifo>(std::deque<uint32_t>{1, 2, 3}, false));
    EXPECT_EQ(bus.block(0, parseBlock({9, 0, 0, 10}, {"qstop"})), (std::vector<int32_t>{1, 2, 3}));
    adapter().install(0, 9, std::make_unique<Fifo>(std::deque<uint32_t>{4, 5, 6}, true));
    EXPECT_EQ(bus.block(0, parseBlock({9, 0, 0, 3}, {"qrepeat"})), (std::vector<int32_t>{4, 5, 6}));
    adapter().install(0, 9, std::make_unique<Fifo>(std::deque<uint32_t>{7}, false));
    EXPECT_EQ(bus.block(0, parseBlock({9, 0, 0, 3}, {"count"})), (std::vector<int32_t>{7, 0, 0}));
    // countq says which words came with Q.
    adapter().install(0, 9, std::make_unique<Fifo>(std::deque<uint32_t>{7, 8}, true));
    EXPECT_EQ(bus.block(0, parseBlock({9, 0, 0, 3}, {"countq"})), (std::vector<int32_t>{0, 7, 0, 0, 1, 0}));
    // An empty station fails count mode too: no X is not a word without Q.
    try {
        bus.block(0, parseBlock({20, 0, 0, 2}, {"count"}));
        FAIL() << "no error";
    } catch (const AdapterError& e) {
        EXPECT_EQ(e.error(), CAMAC_ERR_NO_X);
    }
    // 24-bit blocks keep the high byte, 16-bit ones do not reach it.
    adapter().install(0, 9, std::make_unique<Fifo>(std::deque<uint32_t>{0xABCDEF, 0x123456}, false));
    EXPECT_EQ(bus.block(0, parseBlock({9, 0, 0, 1}, {"qstop", "24"})), (std::vector<int32_t>{0xABCDEF}));
    EXPECT_EQ(bus.block(0, parseBlock({9, 0, 0, 1}, {"qstop", "16"})), (std::vector<int32_t>{0x3456}));
    // Writes return the words the module took.
    EXPECT_EQ(bus.block(0, parseBlock({1, 5, 16, 2, 8, 9}, {"count"})), (std::vector<int32_t>{8, 9}));
    EXPECT_EQ(bus.cnaf(0, {1, 5, 0, 0, false}).data, 9);
    EXPECT_EQ(bus.block(0, parseBlock({1, 6, 16, 1, 0xFEDCBA}, {"qstop", "24"})), (std::vector<int32_t>{0xFEDCBA}));
    EXPECT_EQ(bus.cnaf(0, {1, 6, 0, 0, true}).data, 0xFEDCBA);
    // Q-repeat fails, rather than retrying for nothing or for ever, on an
    // empty station and on a module that never gives Q.
    try {
        bus.block(0, parseBlock({20, 0, 0, 4}, {"qrepeat"}));
        FAIL() << "no error";
    } catch (const AdapterError& e) {
        EXPECT_STREQ(e.what(), "Q-repeat block at N20 A0 F0 failed after 0 of 4 words: the module did not answer with X (error 0x0A00)");
    }
    adapter().install(0, 9, std::make_unique<Fifo>(std::deque<uint32_t>{}, false));
    EXPECT_THROW(bus.block(0, parseBlock({9, 0, 0, 1}, {"qrepeat"})), AdapterError);
}

TEST_F(CrateBusTest, EachLamIsDeliveredOnceWithItsSequenceAndAcknowledged) {
    listen(0);
    adapter().setCrateOnline(2, true);
    adapter().install(2, 3, std::make_unique<kt40sim::LamSource>());
    listen(2);
    for (int i = 1; i <= 50; ++i) {
        bus.cnaf(0, {3, 0, 25, 0, false});
        ASSERT_EQ(waitEvents(static_cast<size_t>(i)).size(), static_cast<size_t>(i));
    }
    bus.cnaf(2, {3, 0, 25, 0, false});
    const auto events = waitEvents(51);
    ASSERT_EQ(events.size(), 51u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(events[i].crate, 0);
        EXPECT_EQ(events[i].pattern, 1u << 2);
        EXPECT_EQ(events[i].sequence, static_cast<uint64_t>(i + 1));
    }
    EXPECT_EQ(events[50].crate, 2);
    EXPECT_EQ(events[50].sequence, 1u);
    EXPECT_EQ(adapter().lamPattern(0), 0u);  // acknowledged with F10
    EXPECT_EQ(adapter().lamPattern(2), 0u);
    EXPECT_EQ(bus.maskedStations(0), 0u);
}

TEST_F(CrateBusTest, ALamThatF10CannotClearIsMaskedOnce) {
    adapter().install(0, 12, std::make_unique<StuckLam>());
    listen(0);
    bus.cnaf(0, {12, 0, 25, 0, false});
    ASSERT_EQ(waitEvents(1).size(), 1u);
    EXPECT_EQ(bus.maskedStations(0), 1u << 11);
    EXPECT_EQ(adapter().lamPattern(0), 0u);
    // Unmasked again, the LAM comes back once and is masked again; no storm.
    bus.cnaf(0, {12, 0, 26, 0, false});
    EXPECT_EQ(waitEvents(2).size(), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(waitEvents(2).size(), 2u);
}

TEST_F(CrateBusTest, AFailingAdapterLeavesTheLamPendingAndSaysWhy) {
    listen(0);
    adapter().setFault(kt40sim::Fault::DoneNever);
    adapter().raiseLam(0, 3);
    for (int i = 0; i < 500 && bus.lamError().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(bus.lamError(),
              "reading the LAM pattern of crate 0 failed: the adapter did not report the action done in time (error 0x0100)");
    // Once the adapter answers again the pending LAM is served after all.
    adapter().setFault(kt40sim::Fault::None);
    const auto events = waitEvents(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].pattern, 1u << 2);
    EXPECT_EQ(bus.lamError(), "");
}

TEST_F(CrateBusTest, ARemovedListenerIsNotCalled) {
    std::atomic<int> calls{0};
    const int id = bus.addListener(0, [&](const LamEvent&) { ++calls; });
    listen(0);
    bus.cnaf(0, {3, 0, 25, 0, false});
    waitEvents(1);
    bus.removeListener(id);
    bus.cnaf(0, {3, 0, 25, 0, false});
    waitEvents(2);
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(CrateBusTest, LastWordsArePerCrate) {
    adapter().setCrateOnline(1, true);
    adapter().install(1, 7, std::make_unique<kt40sim::RegisterModule>(4));
    bus.cnaf(0, {1, 0, 16, 111, false});
    bus.cnaf(1, {7, 0, 16, 222, false});
    bus.cnaf(1, {7, 0, 0, 0, false});
    bus.initialise(0);  // crate 0's record, after another crate's write and read
    EXPECT_EQ(bus.lastStatus(0).lastWritten, 111);
    EXPECT_EQ(bus.lastStatus(0).lastRead, 0);
    EXPECT_EQ(bus.lastStatus(1).lastWritten, 222);
    EXPECT_EQ(bus.lastStatus(1).lastRead, 222);
}

// State as the device shows it, through each transition and back.
TEST_F(CrateBusTest, HealthFollowsTheCrateAndTheAdapter) {
    const auto state = [&](int crate) { return judge(crate, bus.health(crate)); };
    EXPECT_EQ(state(0).state, CrateState::On);
    EXPECT_EQ(state(0).status, "Crate 0 ready.");
    EXPECT_EQ(state(1).state, CrateState::Off);  // not described: off-line
    EXPECT_NE(state(1).status.find("Crate 1 is off-line"), std::string::npos);
    adapter().setCrateOnline(0, false);
    EXPECT_EQ(state(0).state, CrateState::Off);
    adapter().setCrateOnline(0, true);
    EXPECT_EQ(state(0).state, CrateState::On);

    adapter().setFault(kt40sim::Fault::Dead);
    const Judgement dead = state(0);
    EXPECT_EQ(dead.state, CrateState::Fault);
    EXPECT_EQ(dead.status, "Crate 0: testing the crate failed: the adapter did not report the action done in time (error 0x0100). "
                           "The server tests it again until it answers.");
    adapter().setFault(kt40sim::Fault::None);
    EXPECT_EQ(state(0).state, CrateState::On);

    // A station the acknowledgement does not clear (the LAM source has no
    // F9) is masked: ALARM until a client unmasks it with F26.
    listen(0);
    bus.setLamAcknowledge(0, 9);
    bus.cnaf(0, {3, 0, 25, 0, false});
    const auto events = waitEvents(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].pattern, 1u << 2);
    EXPECT_EQ(events[0].after, 0u);  // masked, so no longer requesting
    const Judgement alarm = state(0);
    EXPECT_EQ(alarm.state, CrateState::Alarm);
    EXPECT_EQ(alarm.status, "Crate 0 on-line, but LAM masked (F24) at station 3: the acknowledgement did not "
                            "clear it; unmask with F26.");
    bus.setLamAcknowledge(0, 10);
    bus.cnaf(0, {3, 0, 10, 0, false});
    bus.cnaf(0, {3, 0, 26, 0, false});
    EXPECT_EQ(state(0).state, CrateState::On);
    EXPECT_EQ(bus.lamCount(0), 1u);

    CrateHealth h;
    h.lamError = "reading the LAM pattern of crate 2 failed";
    h.masked = (1u << 4) | (1u << 6);
    EXPECT_EQ(judge(2, h).status, "Crate 2 on-line, but LAM masked (F24) at stations 5 7: the acknowledgement did "
                                  "not clear it; unmask with F26; LAMs are not served: reading the LAM pattern of "
                                  "crate 2 failed.");
}

TEST(CrateBusArguments, ChannelLines) {
    const Channel scaler = parseChannel("counts: 2 0 0 24 counts per s");
    EXPECT_EQ(scaler.name, "counts");
    EXPECT_EQ(scaler.n, 2);
    EXPECT_EQ(scaler.fRead, 0);
    EXPECT_EQ(scaler.fWrite, -1);
    EXPECT_TRUE(scaler.wide);
    EXPECT_EQ(scaler.unit, "counts per s");
    const Channel level = parseChannel("  level_2 :5 3 1 17 16");
    EXPECT_EQ(level.name, "level_2");
    EXPECT_EQ(level.a, 3);
    EXPECT_EQ(level.fRead, 1);
    EXPECT_EQ(level.fWrite, 17);
    EXPECT_FALSE(level.wide);
    EXPECT_EQ(level.unit, "");
    const struct {
        const char* line;
        const char* says;
    } bad[] = {
        {"counts 2 0 0 24", "a channel is 'NAME: N A F-READ [F-WRITE] BITS [UNIT]'"},
        {"2x: 2 0 0 24", "'2x' is not an attribute name"},
        {"a-b: 2 0 0 24", "'a-b' is not an attribute name"},
        {"c: 2 0 0", "a channel is"},
        {"c: 0 0 0 16", "station N must be 1..24, not 0"},
        {"c: 2 16 0 16", "subaddress A must be 0..15, not 16"},
        {"c: 2 0 16 16", "F-READ must be a read 0..7, not 16"},
        {"c: 2 0 0 9 16", "F-WRITE must be a write 16..23, not 9"},
        {"c: 2 0 0 12 V", "bits must be 16 or 24, not 12"},
    };
    for (const auto& c : bad)
        EXPECT_NE(argumentError([&] { parseChannel(c.line); }).find(c.says), std::string::npos) << c.line;
}
