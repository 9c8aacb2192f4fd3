// Modules on the clock and the modules of a lab's shelf: converters that a
// gate fills from a seeded spectrum, input and output registers, a scaler
// bank and a trigger that run in real time, and what the bench does to them.
// Time is handed to the modules explicitly where it can be; where the real
// clock runs, the tests bound what they see by the time that passed.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include "kt40sim/Adapter.h"
#include "kt40sim/Module.h"

namespace {

using kt40sim::Module;
using kt40sim::Response;

constexpr int64_t kSecond = 1000000000;

struct Cycle {
    int xq;
    uint32_t data;
};
Cycle cycle(Module& m, int a, int f, uint32_t data = 0) {
    const Response r = m.cycle(a, f, data);
    return {(r.x ? 2 : 0) | (r.q ? 1 : 0), data};
}

std::unique_ptr<Module> make(const std::string& description) {
    std::string error;
    auto m = kt40sim::makeModule(description, error);
    EXPECT_TRUE(m) << description << ": " << error;
    return m;
}

class ClockTest : public ::testing::Test {
protected:
    void SetUp() override { hw.reset(); }
    kt40sim::Adapter& hw = kt40sim::Adapter::instance();
};

// ---- ADC and TDC ----------------------------------------------------------------

TEST_F(ClockTest, AnAdcConvertsOnAGateRaisesItsLamAndIsReadAndClearedChannelByChannel) {
    auto adc = make("adc channels=4 peak=1000 width=50 noise=0 seed=3");
    EXPECT_EQ(cycle(*adc, 0, 0).xq, 2) << "no data before a gate: Q = 0";
    EXPECT_FALSE(adc->lamPending());
    ASSERT_TRUE(adc->gate(0));
    EXPECT_TRUE(adc->lam());
    uint32_t first[4];
    for (int a = 0; a < 4; ++a) {
        const Cycle c = cycle(*adc, a, 0);
        EXPECT_EQ(c.xq, 3);
        EXPECT_LE(c.data, 4095u);
        first[a] = c.data;
    }
    EXPECT_FALSE(adc->gate(0)) << "a busy converter takes no second gate";
    EXPECT_EQ(cycle(*adc, 0, 0).data, first[0]) << "the lost gate changed the data";
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(cycle(*adc, a, 2).data, first[a]);
        EXPECT_TRUE(adc->lamPending()) << "cleared before the last channel";
    }
    EXPECT_EQ(cycle(*adc, 3, 2).data, first[3]);
    EXPECT_FALSE(adc->lamPending()) << "F2 of the last channel clears the module";
    EXPECT_EQ(cycle(*adc, 0, 0).xq, 2);
    EXPECT_EQ(cycle(*adc, 4, 0).xq, 2) << "no channel 4";
    EXPECT_EQ(cycle(*adc, 0, 25).xq, 3);  // test gate
    EXPECT_TRUE(adc->lamPending());
    EXPECT_EQ(cycle(*adc, 0, 9).xq, 3);
    EXPECT_FALSE(adc->lamPending());
    EXPECT_EQ(cycle(*adc, 0, 0).xq, 2) << "F9 clears the data";
}

TEST_F(ClockTest, TheSpectrumIsSeededAndHasItsPeakAndNoise) {
    auto draw = [](const std::string& description, int events) {
        auto m = make(description);
        std::vector<uint32_t> v;
        for (int e = 0; e < events; ++e) {
            m->gate(0);
            uint32_t d = 0;
            m->cycle(0, 2, d);
            v.push_back(d);
        }
        return v;
    };
    EXPECT_EQ(draw("adc channels=1 seed=7", 50), draw("adc channels=1 seed=7", 50)) << "a seed repeats";
    EXPECT_NE(draw("adc channels=1 seed=7", 50), draw("adc channels=1 seed=8", 50));

    const auto peak = draw("adc channels=1 peak=1000 width=50 noise=0 seed=1", 4000);
    double sum = 0, squares = 0;
    for (uint32_t v : peak) sum += v, squares += double(v) * v;
    const double mean = sum / 4000, sigma = std::sqrt(squares / 4000 - mean * mean);
    EXPECT_NEAR(mean, 1000, 5);
    EXPECT_NEAR(sigma, 50, 5);

    const auto noise = draw("adc channels=1 peak=1000 width=10 noise=1 seed=1", 4000);
    int low = 0, high = 0;
    for (uint32_t v : noise) {
        EXPECT_LE(v, 4095u);
        low += v < 1024;
        high += v >= 3072;
    }
    EXPECT_GT(low, 800) << "noise fills the whole range";
    EXPECT_GT(high, 800);

    const auto tdc = draw("tdc channels=1 noise=0", 2000);
    double tsum = 0;
    for (uint32_t v : tdc) tsum += v;
    EXPECT_NEAR(tsum / 2000, 2000, 20) << "the TDC's own default peak";
}

// ---- Input and output registers ---------------------------------------------------

TEST_F(ClockTest, AnInputRegisterRaisesItsLamOnAChangeInItsMask) {
    auto in = make("input");
    EXPECT_EQ(cycle(*in, 1, 0).data, 0xFFFFFFu) << "every input in the mask at power-up";
    EXPECT_EQ(cycle(*in, 1, 16, 0x00000F).xq, 3);
    ASSERT_TRUE(in->setInputs(0x000030));
    EXPECT_FALSE(in->lamPending()) << "a change outside the mask";
    EXPECT_EQ(cycle(*in, 0, 0).data, 0x30u);
    in->setInputs(0x000031);
    EXPECT_TRUE(in->lam());
    EXPECT_EQ(cycle(*in, 0, 2).data, 0x31u) << "the inputs that changed since the last F2";
    EXPECT_EQ(cycle(*in, 0, 2).data, 0u);
    in->setInputs(0x000031);
    EXPECT_EQ(cycle(*in, 0, 2).data, 0u) << "the same inputs again are no change";
    EXPECT_FALSE(make("output")->setInputs(1)) << "an output register has no inputs";
}

TEST_F(ClockTest, AnOutputRegisterReadsBackAndSetsAndClearsBits) {
    auto out = make("output");
    EXPECT_EQ(cycle(*out, 0, 16, 0xF0F0F0).xq, 3);
    EXPECT_EQ(cycle(*out, 0, 0).data, 0xF0F0F0u);
    cycle(*out, 0, 18, 0x00000F);
    EXPECT_EQ(cycle(*out, 0, 0).data, 0xF0F0FFu);
    cycle(*out, 0, 21, 0xF00000);
    EXPECT_EQ(cycle(*out, 0, 0).data, 0x00F0FFu);
    EXPECT_EQ(cycle(*out, 1, 16, 1).xq, 0) << "A0 only";
    cycle(*out, 0, 9);
    EXPECT_EQ(cycle(*out, 0, 0).data, 0u);
}

// ---- On the clock -----------------------------------------------------------------

TEST_F(ClockTest, AScalerBankCountsEachChannelAtItsRateAndRaisesItsLamWhenItWraps) {
    auto bank = make("scalerbank channels=3 rate=10 rate1=1000 rate2=0.5");
    const int64_t t0 = bank->image().clockNs;
    bank->advance(t0 + 3 * kSecond + kSecond / 2);
    EXPECT_EQ(cycle(*bank, 0, 2).data, 35u);  // the real clock is still behind the time handed in
    const uint32_t fast = bank->image().words[1];
    EXPECT_GE(fast, 3500u);
    EXPECT_EQ(bank->image().words[2], 1u) << "half a count a second";

    auto wrap = make("scalerbank channels=2 rate=0 rate1=100");
    const int64_t t1 = wrap->image().clockNs;
    wrap->image().words[1] = 0xFFFFFF - 9;  // ten counts to go: a tenth of a second
    const int64_t due = wrap->nextEventNs();
    EXPECT_NEAR(static_cast<double>(due - t1), 0.1 * kSecond, 1e6);
    wrap->advance(due - kSecond / 50);
    EXPECT_FALSE(wrap->lamPending()) << "LAM before the wrap";
    wrap->advance(due);
    EXPECT_TRUE(wrap->lamPending()) << "no LAM at the wrap";
    EXPECT_LT(wrap->image().words[1], 2u);
}

TEST_F(ClockTest, ATriggerFiresAtItsRateWhileItRuns) {
    auto trigger = make("trigger rate=20 run=1");
    auto* t = dynamic_cast<kt40sim::Trigger*>(trigger.get());
    ASSERT_NE(t, nullptr);
    const int64_t t0 = t->image().clockNs;
    EXPECT_EQ(t->advance(t0 + kSecond), 20u);
    EXPECT_EQ(t->advance(t0 + kSecond + kSecond / 40), 0u) << "half a period: nothing yet";
    EXPECT_EQ(t->advance(t0 + kSecond + kSecond / 20), 1u);
    t->setRate(20, false, t0 + 2 * kSecond);
    EXPECT_EQ(t->advance(t0 + 10 * kSecond), 0u) << "a stopped trigger fires";
    EXPECT_EQ(t->nextEventNs(), kt40sim::kNever);
    EXPECT_EQ(cycle(*t, 0, 25).xq, 3);
    EXPECT_EQ(t->advance(t0 + 10 * kSecond), 1u) << "F25 sends one";
    EXPECT_EQ(cycle(*t, 0, 0).data, 41u) << "the triggers so far: 21, 19 more up to the stop, and F25's";
    EXPECT_EQ(cycle(*t, 1, 26).xq, 3);
    EXPECT_TRUE(t->running()) << "F26 A1 starts it";
}

TEST_F(ClockTest, InTheCrateTheTriggerGatesTheConvertersAndItsLamComesOnItsOwn) {
    ASSERT_EQ(hw.moduleKind(0, 18), "trigger");
    ASSERT_EQ(hw.moduleKind(0, 8), "adc");
    // F25 at the trigger: one trigger, the ADC and TDC convert at once.
    hw.isaWrite(kt40sim::kCmd, 18 << 9 | 25);
    EXPECT_EQ(hw.lamPattern(0) & (1u << 7 | 1u << 9), 1u << 7 | 1u << 9);
    hw.isaWrite(kt40sim::kCmd, 8 << 9 | 9);
    hw.isaWrite(kt40sim::kCmd, 10 << 9 | 9);
    EXPECT_EQ(hw.lamPattern(0) & (1u << 7 | 1u << 9), 0u);

    // Running at 50 a second, with no access at all: the LAM comes by the clock.
    ASSERT_TRUE(hw.setTrigger(0, 18, 50, true));
    EXPECT_FALSE(hw.setTrigger(0, 8, 50, true)) << "an ADC is no trigger";
    const auto start = std::chrono::steady_clock::now();
    while ((hw.lamPattern(0) & 1u << 7) == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
        const int64_t next = hw.nextEventNs();
        ASSERT_NE(next, kt40sim::kNever) << "a running trigger has a next event";
        std::this_thread::sleep_for(std::chrono::nanoseconds(std::max<int64_t>(next - kt40sim::realTimeNs(), 0)));
        hw.tick();
    }
    EXPECT_NE(hw.lamPattern(0) & 1u << 7, 0u) << "no LAM within 5 s of a 50 Hz trigger";
    ASSERT_TRUE(hw.setTrigger(0, 18, 0, false));
    double rate = 0;
    hw.withModule(0, 18, [&](Module& m) { rate = m.image().rate; });
    EXPECT_EQ(rate, 50.0) << "a stop keeps the rate for the next start";
}

// A program that only polls the LAM pattern through the registers sees the
// trigger's event too: the crate runs on to time as it is addressed.
TEST_F(ClockTest, PollingTheLamPatternThroughTheRegistersSeesTheClockedEvent) {
    ASSERT_TRUE(hw.setTrigger(0, 18, 50, true));
    uint16_t pattern = 0;
    const auto start = std::chrono::steady_clock::now();
    while (!(pattern & 1u << 7) && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        hw.isaWrite(kt40sim::kRsel, 2);
        pattern = hw.isaRead(kt40sim::kCmd);
    }
    EXPECT_NE(pattern & 1u << 7, 0u) << "no ADC LAM within 5 s of a 50 Hz trigger";
    hw.setTrigger(0, 18, 50, false);
}

// ---- The bench ----------------------------------------------------------------------

TEST_F(ClockTest, TheBenchGatesUnplugsPlugsAndSetsInputs) {
    EXPECT_EQ(hw.gate(0), 2) << "the ADC and the TDC";
    EXPECT_EQ(hw.gate(0), 0) << "both busy";
    EXPECT_EQ(hw.gate(1), 0) << "an empty crate";

    hw.withModule(0, 5, [](Module& m) { uint32_t v = 1234; m.cycle(0, 16, v); });
    ASSERT_TRUE(hw.unplug(0, 5));
    EXPECT_EQ(hw.moduleKind(0, 5), "");
    EXPECT_FALSE(hw.unplug(0, 5)) << "out already";
    EXPECT_FALSE(hw.plug(0, 6)) << "a station that never held a module";
    ASSERT_TRUE(hw.plug(0, 5));
    EXPECT_FALSE(hw.plug(0, 5)) << "in already";
    uint32_t v = 99;
    hw.withModule(0, 5, [&](Module& m) { m.cycle(0, 0, v); });
    EXPECT_EQ(v, 0u) << "a module plugged back comes at power-up";

    ASSERT_TRUE(hw.setInputs(0, 12, 0x5));
    EXPECT_NE(hw.lamPattern(0) & 1u << 11, 0u);
    EXPECT_FALSE(hw.setInputs(0, 14, 0x5)) << "the output register has no inputs";
}

// The PCI face reaches the same crate: an event read through the port word.
TEST_F(ClockTest, ThePciFaceReadsTheConvertersOfTheSameCrate) {
    hw.gate(0);
    auto action = [&](uint32_t target, uint16_t value) {
        hw.pciWrite(kt40sim::kControllerPort, kt40sim::accessWord(target, 0, value));
        return hw.pciRead(kt40sim::kControllerPort);
    };
    uint32_t adcWord = 0;
    hw.withModule(0, 8, [&](Module& m) { adcWord = m.image().words[2]; });
    const uint32_t done = action(kt40sim::kTargetCmd, 8 << 9 | 2 << 5 | 0);
    EXPECT_EQ(done & 0xFFFF, adcWord);
    EXPECT_TRUE(done & kt40sim::kCompletionQ);
    EXPECT_EQ(action(kt40sim::kTargetRsel, 2) & 0xFFFF, (1u << 7 | 1u << 9)) << "LAM pattern through the port";
}

}  // namespace
