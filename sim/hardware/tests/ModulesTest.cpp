// The stock modules, driven one dataway cycle at a time, and the factory that
// makes them from a crate description.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kt40sim/Adapter.h"
#include "kt40sim/Module.h"
#include "kt40sim/WinDriver.h"

namespace {

using kt40sim::LamSource;
using kt40sim::Module;
using kt40sim::RegisterModule;
using kt40sim::Response;
using kt40sim::Scaler;

class ModulesTest : public ::testing::Test {
protected:
    void SetUp() override {
        kt40sim::Adapter::instance().reset();
        wdsim::controls().reset();
    }
};

// One cycle; returns X and Q as "XQ" bits (X = 2, Q = 1) and the data.
struct Cycle {
    int xq;
    uint32_t data;
};
Cycle cycle(Module& m, int a, int f, uint32_t data = 0) {
    const Response r = m.cycle(a, f, data);
    return {(r.x ? 2 : 0) | (r.q ? 1 : 0), data};
}

// ---- Register and memory ----------------------------------------------------------

TEST_F(ModulesTest, RegisterKeeps24BitsAndClearsOnF9) {
    RegisterModule r;
    EXPECT_EQ(r.kind(), "register");
    EXPECT_EQ(cycle(r, 0, 16, 0xFF123456).xq, 3);
    EXPECT_EQ(r.word(0), 0x123456u);
    const Cycle read = cycle(r, 0, 0, 0xFFFFFFFF);
    EXPECT_EQ(read.xq, 3);
    EXPECT_EQ(read.data, 0x123456u);
    EXPECT_EQ(cycle(r, 0, 9).xq, 3);
    EXPECT_EQ(r.word(0), 0u);
    EXPECT_EQ(cycle(r, 1, 0).xq, 2) << "only A0 exists";
    EXPECT_EQ(cycle(r, 1, 16, 5).xq, 2);
    EXPECT_EQ(r.word(0), 0u) << "a write past the register lands nowhere";
    for (int f : {1, 2, 17, 25, 31}) EXPECT_EQ(cycle(r, 0, f).xq, 0) << "F" << f;
}

TEST_F(ModulesTest, MemoryWordsAreIndependentAndClearTogether) {
    RegisterModule m(16);
    EXPECT_EQ(m.kind(), "memory");
    for (int a = 0; a < 16; ++a) cycle(m, a, 16, 0xABC000u + static_cast<uint32_t>(a));
    for (int a = 0; a < 16; ++a) EXPECT_EQ(cycle(m, a, 0).data, 0xABC000u + static_cast<uint32_t>(a));
    m.clear();  // dataway C
    for (int a = 0; a < 16; ++a) EXPECT_EQ(m.word(a), 0u);
}

// ---- LAM functions, common to every module ------------------------------------------

TEST_F(ModulesTest, LamFunctionsTestClearMaskAndUnmask) {
    RegisterModule m;
    EXPECT_EQ(cycle(m, 0, 8).xq, 2) << "F8 without a request";
    m.raiseLam();
    EXPECT_TRUE(m.lam());
    EXPECT_EQ(cycle(m, 0, 8).xq, 3);

    EXPECT_EQ(cycle(m, 0, 24).xq, 3);  // mask
    EXPECT_FALSE(m.lam()) << "a masked request is not on the dataway";
    EXPECT_TRUE(m.lamPending());
    EXPECT_EQ(cycle(m, 0, 8).xq, 3) << "F8 tests the request itself";
    EXPECT_EQ(cycle(m, 0, 26).xq, 3);  // unmask
    EXPECT_TRUE(m.lam());

    EXPECT_EQ(cycle(m, 0, 10).xq, 3);
    EXPECT_FALSE(m.lamPending());
    EXPECT_EQ(cycle(m, 0, 8).xq, 2);
}

TEST_F(ModulesTest, ClearDropsTheRequestAndInitialiseAlsoUnmasks) {
    LamSource m;
    cycle(m, 0, 24);
    m.raiseLam();
    m.clear();
    EXPECT_FALSE(m.lamPending());
    EXPECT_FALSE(m.lamEnabled()) << "C leaves the mask";
    m.raiseLam();
    m.initialise();
    EXPECT_FALSE(m.lamPending());
    EXPECT_TRUE(m.lamEnabled()) << "Z unmasks";
}

// ---- LAM source ------------------------------------------------------------------

TEST_F(ModulesTest, LamSourceRegisterAndF25) {
    LamSource m;
    EXPECT_EQ(m.kind(), "lamsource");
    EXPECT_EQ(cycle(m, 0, 16, 0x1ABCDEF).xq, 3);
    EXPECT_EQ(cycle(m, 0, 0).data, 0xABCDEFu);
    EXPECT_EQ(cycle(m, 1, 0).xq, 0) << "only A0 holds the register";
    EXPECT_EQ(cycle(m, 1, 16, 1).xq, 0);
    EXPECT_FALSE(m.lamPending());
    EXPECT_EQ(cycle(m, 0, 25).xq, 3);
    EXPECT_TRUE(m.lam());
    EXPECT_EQ(cycle(m, 0, 8).xq, 3);
    m.clear();
    EXPECT_FALSE(m.lam());
    EXPECT_EQ(cycle(m, 0, 0).data, 0u);
}

// ---- Scaler ------------------------------------------------------------------------

TEST_F(ModulesTest, ScalerCountsPulsesPerChannel) {
    Scaler s(3);
    EXPECT_EQ(s.kind(), "scaler");
    s.pulse(0);
    s.pulse(1, 5);
    s.pulse(2, 1000);
    s.pulse(3, 7);   // no such channel
    s.pulse(-1, 7);  // nor this
    EXPECT_EQ(s.count(0), 1u);
    EXPECT_EQ(s.count(1), 5u);
    EXPECT_EQ(s.count(2), 1000u);
    EXPECT_EQ(s.count(3), 0u);

    const Cycle r = cycle(s, 1, 0);
    EXPECT_EQ(r.xq, 3);
    EXPECT_EQ(r.data, 5u);
    EXPECT_EQ(s.count(1), 5u) << "F0 does not clear";
    const Cycle rc = cycle(s, 2, 2);
    EXPECT_EQ(rc.xq, 3);
    EXPECT_EQ(rc.data, 1000u);
    EXPECT_EQ(s.count(2), 0u) << "F2 clears";
    EXPECT_EQ(s.count(0), 1u) << "only its own channel";
    EXPECT_EQ(cycle(s, 3, 0).xq, 2);
    EXPECT_EQ(cycle(s, 3, 2).xq, 2);

    EXPECT_EQ(cycle(s, 2, 25).xq, 3);
    EXPECT_EQ(cycle(s, 2, 25).xq, 3);
    EXPECT_EQ(s.count(2), 2u) << "F25 adds one pulse to channel A";
    EXPECT_EQ(cycle(s, 3, 25).xq, 2);

    EXPECT_EQ(cycle(s, 0, 9).xq, 3);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(s.count(c), 0u);
    EXPECT_EQ(cycle(s, 0, 16).xq, 0) << "a scaler takes no writes";
}

TEST_F(ModulesTest, ScalerWrapRaisesLam) {
    Scaler s(2);
    s.pulse(0, 0xFFFFFE);
    s.pulse(0);
    EXPECT_EQ(s.count(0), 0xFFFFFFu);
    EXPECT_FALSE(s.lamPending()) << "full scale is not yet a wrap";
    cycle(s, 0, 25);
    EXPECT_EQ(s.count(0), 0u);
    EXPECT_TRUE(s.lam());
    cycle(s, 0, 10);
    EXPECT_FALSE(s.lamPending());

    s.pulse(1, 0xFFFFFF);
    s.pulse(1, 0x10);
    EXPECT_EQ(s.count(1), 0xFu);
    EXPECT_TRUE(s.lam());
    s.clear();
    EXPECT_FALSE(s.lamPending());
    EXPECT_EQ(s.count(1), 0u);
}

TEST_F(ModulesTest, ScalerInCrateStopsCountingUnderInhibit) {
    auto& ad = kt40sim::Adapter::instance();
    ad.isaWrite(kt40sim::kCmd, 0x8004);  // inhibit first
    ad.install(0, 8, std::make_unique<Scaler>(1, 1e6));
    auto count = [&] {
        uint32_t c = 0;
        ad.withModule(0, 8, [&](Module& m) { c = dynamic_cast<Scaler&>(m).count(0); });
        return c;
    };
    const uint32_t installed = count();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(count(), installed) << "installed under inhibit: nothing counted";

    ad.isaWrite(kt40sim::kCmd, 0x8008);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (count() == installed && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GT(count(), installed) << "counts once the inhibit is off";

    ad.isaWrite(kt40sim::kCmd, 0x8004);
    const uint32_t frozen = count();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(count(), frozen);
    ad.isaWrite(kt40sim::kCmd, 0x8001);  // C still clears under inhibit
    EXPECT_EQ(count(), 0u);
}

TEST_F(ModulesTest, ScalerInitialiseClearsCounts) {
    Scaler s(2);
    s.pulse(0, 9);
    s.raiseLam();
    cycle(s, 0, 24);
    s.initialise();
    EXPECT_EQ(s.count(0), 0u);
    EXPECT_FALSE(s.lamPending());
    EXPECT_TRUE(s.lamEnabled());
}

// ---- Factory ------------------------------------------------------------------------

TEST_F(ModulesTest, FactoryMakesEachKindWithItsOptions) {
    std::string error;
    auto one = kt40sim::makeModule("memory", {"words=1"}, error);
    ASSERT_TRUE(one) << error;
    EXPECT_EQ(one->kind(), "memory") << "a crate file's kind reads back as written";
    auto mem = kt40sim::makeModule("memory", {"words=4"}, error);
    ASSERT_TRUE(mem) << error;
    EXPECT_EQ(mem->kind(), "memory");
    EXPECT_EQ(cycle(*mem, 3, 0).xq, 3);
    EXPECT_EQ(cycle(*mem, 4, 0).xq, 2);

    auto mem16 = kt40sim::makeModule("memory", {}, error);
    ASSERT_TRUE(mem16);
    EXPECT_EQ(cycle(*mem16, 15, 0).xq, 3) << "16 words unless told";

    auto sc = kt40sim::makeModule("scaler", {"channels=2", "rate=0"}, error);
    ASSERT_TRUE(sc) << error;
    EXPECT_EQ(sc->kind(), "scaler");
    EXPECT_EQ(cycle(*sc, 1, 0).xq, 3);
    EXPECT_EQ(cycle(*sc, 2, 0).xq, 2);
    auto sc4 = kt40sim::makeModule("scaler", {}, error);
    ASSERT_TRUE(sc4);
    EXPECT_EQ(cycle(*sc4, 3, 0).xq, 3);
    EXPECT_EQ(cycle(*sc4, 4, 0).xq, 2);

    auto reg = kt40sim::makeModule("register", {}, error);
    ASSERT_TRUE(reg);
    EXPECT_EQ(reg->kind(), "register");
    auto lam = kt40sim::makeModule("lamsource", {}, error);
    ASSERT_TRUE(lam);
    EXPECT_EQ(lam->kind(), "lamsource");
}

TEST_F(ModulesTest, FactoryRefusesWhatDoesNotFit) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> bad{
        {"crate", {}},
        {"Register", {}},
        {"memory", {"words=0"}},
        {"memory", {"words=17"}},
        {"memory", {"words=2.5"}},
        {"memory", {"words=abc"}},
        {"memory", {"words"}},
        {"memory", {"=4"}},
        {"memory", {"words=4x"}},
        {"memory", {"channels=4"}},
        {"register", {"words=1"}},
        {"scaler", {"channels=0"}},
        {"scaler", {"channels=17"}},
        {"scaler", {"rate=-1"}},
        {"scaler", {"rate=1e10"}},
        {"scaler", {"rate=nan"}},
        {"scaler", {"rate=inf"}},
        {"scaler", {"words=4"}},
        {"lamsource", {"rate=1"}},
    };
    for (const auto& [kind, options] : bad) {
        std::string error;
        const std::string what = kind + (options.empty() ? "" : " " + options[0]);
        EXPECT_EQ(kt40sim::makeModule(kind, options, error), nullptr) << what;
        EXPECT_FALSE(error.empty()) << what;
    }
}

}  // namespace
