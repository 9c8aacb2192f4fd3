// The virtual adapter as the library sees it: the five ISA registers, the
// crates behind them, timing and faults, the interrupt line and the access log.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"

namespace {

using kt40sim::Access;
using kt40sim::Adapter;
using kt40sim::Direction;
using kt40sim::Face;
using kt40sim::Fault;

constexpr uint16_t kDone = 0x10;
constexpr uint16_t kError = 0x20;
constexpr uint16_t kBusy = 0x04;
constexpr uint16_t kQ = 0x01;
constexpr uint16_t kX = 0x02;

constexpr uint16_t kClear = 0x8001;
constexpr uint16_t kInit = 0x8002;
constexpr uint16_t kSetInhibit = 0x8004;
constexpr uint16_t kRemoveInhibit = 0x8008;

// Status word bits.
constexpr uint16_t kL = 0x8000;
constexpr uint16_t kSX = 0x4000;
constexpr uint16_t kSQ = 0x2000;
constexpr uint16_t kI = 0x1000;
constexpr uint16_t kOnline = 0x0400;

uint16_t command(int n, int a, int f, bool wide = false) {
    return static_cast<uint16_t>(n << 9 | a << 5 | f | (wide ? 0x4000 : 0));
}

class AdapterTest : public ::testing::Test {
protected:
    void SetUp() override {
        Adapter::instance().reset();
        wdsim::controls().reset();
    }

    Adapter& ad = Adapter::instance();

    uint16_t csr() { return ad.isaRead(kt40sim::kCsr); }
    uint16_t cmd() { return ad.isaRead(kt40sim::kCmd); }

    // One action with done at once: returns CSR after the command.
    uint16_t run(uint16_t word) {
        ad.isaWrite(kt40sim::kCmd, word);
        return csr();
    }
    uint16_t select(uint16_t rsel) {
        ad.isaWrite(kt40sim::kRsel, rsel);
        EXPECT_TRUE(csr() & kDone);
        return cmd();
    }
    void write24(int n, int a, int f, uint32_t data) {
        ad.isaWrite(kt40sim::kWdlo, static_cast<uint16_t>(data & 0xFFFF));
        ad.isaWrite(kt40sim::kWdhi, static_cast<uint16_t>(data >> 16));
        run(command(n, a, f, true));
    }
    uint32_t read24(int n, int a, int f = 0) {
        run(command(n, a, f, true));
        const uint32_t lo = cmd();
        return lo | uint32_t{select(1)} << 16;
    }
    uint32_t registerWord(int crate, int station, int a = 0) {
        uint32_t w = 0xDEADBEEF;
        ad.withModule(crate, station, [&](kt40sim::Module& m) { w = dynamic_cast<kt40sim::RegisterModule&>(m).word(a); });
        return w;
    }
};

// Removes a listener at the end of a test even when an assertion fails.
struct ListenerGuard {
    int id;
    ~ListenerGuard() { Adapter::instance().removeInterruptListener(id); }
};

// ---- Dataway cycles through the registers ----------------------------------

TEST_F(AdapterTest, Write24AndReadBackThroughTheRegisters) {
    // Station 5 of the default crate is a register.
    ad.isaWrite(kt40sim::kWdlo, 0x3456);
    ad.isaWrite(kt40sim::kWdhi, 0xAB12);  // only bits 0-7 count
    EXPECT_EQ(run(command(5, 0, 16, true)) & 0x3F, kDone | kX | kQ);
    EXPECT_EQ(cmd(), kSX | kSQ | kOnline) << "status word after a write";
    EXPECT_EQ(registerWord(0, 5), 0x123456u);

    EXPECT_EQ(run(command(5, 0, 0, true)) & 0x3F, kDone | kX | kQ);
    EXPECT_EQ(cmd(), 0x3456) << "CMD delivers the low 16 data bits";
    ad.isaWrite(kt40sim::kRsel, 1);
    EXPECT_TRUE(csr() & kDone);
    EXPECT_EQ(cmd(), 0x12) << "RSEL 1 delivers the high byte";
}

TEST_F(AdapterTest, SixteenBitWriteIgnoresWdhi) {
    ad.isaWrite(kt40sim::kWdhi, 0x00FF);
    ad.isaWrite(kt40sim::kWdlo, 0xBEEF);
    run(command(5, 0, 16));
    EXPECT_EQ(registerWord(0, 5), 0xBEEFu);
    // A later 24-bit write sees WDHI again.
    ad.isaWrite(kt40sim::kWdlo, 0x0001);
    run(command(5, 0, 16, true));
    EXPECT_EQ(registerWord(0, 5), 0xFF0001u);
}

TEST_F(AdapterTest, SubaddressesReachSeparateWordsOfAMemory) {
    for (int a = 0; a < 16; ++a) write24(1, a, 16, 0x100000u * static_cast<uint32_t>(a) + static_cast<uint32_t>(a));
    for (int a = 0; a < 16; ++a) EXPECT_EQ(read24(1, a), 0x100000u * static_cast<uint32_t>(a) + static_cast<uint32_t>(a)) << "A" << a;

    ad.install(0, 9, std::make_unique<kt40sim::RegisterModule>(4));
    EXPECT_EQ(run(command(9, 3, 0)) & 3, kX | kQ);
    EXPECT_EQ(run(command(9, 4, 0)) & 3, kX) << "a subaddress past the memory gives Q = 0";
    EXPECT_EQ(run(command(9, 0, 1)) & 3, 0) << "an unknown function gives X = 0";
}

TEST_F(AdapterTest, ControlCommandLeavesTheStatusWordInCmd) {
    ad.raiseLam(0, 3);
    EXPECT_EQ(run(command(3, 0, 8)) & 3, kX | kQ);
    EXPECT_EQ(cmd(), kL | kSX | kSQ | kOnline);
    EXPECT_EQ(run(command(3, 0, 10)) & 3, kX | kQ);  // clear LAM
    EXPECT_EQ(cmd(), kSX | kSQ | kOnline);
    EXPECT_EQ(run(command(3, 0, 8)) & 3, kX) << "F8 without a LAM: Q = 0";
}

// Two readouts a test can make untrustworthy; reset makes them honest again.
TEST_F(AdapterTest, HighReadoutUpperBitsAndStatusWordQOverrides) {
    write24(5, 0, 16, 0xAB3456);
    ad.setHighReadoutUpperBits(0x5A);
    EXPECT_EQ(read24(5, 0), 0x5AAB3456u) << "bits 8-15 of the RSEL 1 readout";

    ad.setStatusWordQ(false);
    EXPECT_EQ(run(command(5, 0, 9)) & 3, kX | kQ) << "CSR keeps the cycle's Q";
    EXPECT_EQ(cmd(), kSX | kOnline);
    ad.setStatusWordQ(true);
    EXPECT_EQ(run(command(3, 0, 8)) & 3, kX) << "F8 without a LAM";
    EXPECT_EQ(cmd(), kSX | kSQ | kOnline);
    EXPECT_EQ(select(4), kSX | kSQ | kOnline);

    ad.reset();
    write24(5, 0, 16, 0xAB3456);
    EXPECT_EQ(read24(5, 0), 0xAB3456u);
    EXPECT_EQ(run(command(3, 0, 8)) & 3, kX);
    EXPECT_EQ(cmd(), kSX | kOnline);
}

TEST_F(AdapterTest, LamPatternAndStatusWordShowEveryStation) {
    for (int n : {16, 17, 24, 20}) ad.install(0, n, std::make_unique<kt40sim::LamSource>());
    for (int n : {3, 16, 17, 24, 20}) ad.raiseLam(0, n);
    run(command(20, 0, 24));  // mask station 20
    EXPECT_EQ(ad.lamPattern(0), (1u << 2) | (1u << 15) | (1u << 16) | (1u << 23));

    EXPECT_EQ(select(2), (1u << 2) | (1u << 15)) << "stations 1-16";
    const uint16_t status = select(4);
    EXPECT_EQ(status & 0xFF, 0x81) << "stations 17 and 24 in bits 0 and 7";
    EXPECT_TRUE(status & kL);
    EXPECT_TRUE(status & kOnline);
    EXPECT_EQ(status & 0x0800, 0) << "bit 11 is always 0";
    EXPECT_EQ(select(3), 0) << "an unknown readout delivers 0";
}

// ---- Crate selection and the CSR ---------------------------------------------

TEST_F(AdapterTest, CsrSelectsTheCrateAndReadsBackCrateAndEnable) {
    EXPECT_EQ(csr() & 0xC1C0, 0);
    ad.isaWrite(kt40sim::kCsr, 2);
    EXPECT_EQ(csr() & 0xC1C0, 0x8080) << "crate 2 in bits 6-7 and 14-15";
    ad.isaWrite(kt40sim::kCsr, 7);
    EXPECT_EQ(csr() & 0xC1C0, 0xC1C0) << "crate 3 and the enable in bit 8";
    ad.isaWrite(kt40sim::kCsr, 0xFFF9);  // only bits 0-2 are register bits
    EXPECT_EQ(csr() & 0xC1C4, 0x4040);

    ad.setControllerCrate(3);
    EXPECT_EQ(csr() & 0xC0C0, 0xC040) << "bits 14-15 overridden, 6-7 follow the selection";
    ad.setControllerCrate(std::nullopt);
    EXPECT_EQ(csr() & 0xC0C0, 0x4040);
}

TEST_F(AdapterTest, CommandsGoToTheSelectedCrateOnly) {
    std::string error;
    ASSERT_TRUE(ad.loadCrates("crate 0\n 5 register\ncrate 2\n 5 register\n", error)) << error;
    ad.isaWrite(kt40sim::kCsr, 2);
    write24(5, 0, 16, 0x222222);
    ad.isaWrite(kt40sim::kCsr, 0);
    write24(5, 0, 16, 0x000111);
    EXPECT_EQ(registerWord(2, 5), 0x222222u);
    EXPECT_EQ(registerWord(0, 5), 0x000111u);

    ad.isaWrite(kt40sim::kCsr, 1);  // not named, so off-line
    EXPECT_EQ(run(command(5, 0, 0)) & 3, 0);
    EXPECT_EQ(select(4) & kOnline, 0);
    ad.isaWrite(kt40sim::kCsr, 2);
    EXPECT_EQ(read24(5, 0), 0x222222u);
    EXPECT_TRUE(select(4) & kOnline);
}

// ---- Unaddressed commands -----------------------------------------------------

TEST_F(AdapterTest, InitialiseClearsModulesUnmasksLamsAndSetsInhibit) {
    write24(5, 0, 16, 0x55AA55);
    run(command(3, 0, 24));  // mask the LAM source
    ad.raiseLam(0, 3);
    EXPECT_EQ(ad.lamPattern(0), 0u);

    EXPECT_EQ(run(kInit) & 0x33, kDone | kX | kQ);
    EXPECT_EQ(cmd(), kSX | kSQ | kI | kOnline);
    EXPECT_TRUE(ad.inhibit(0));
    EXPECT_EQ(registerWord(0, 5), 0u);
    bool enabled = false, pending = true;
    ad.withModule(0, 3, [&](kt40sim::Module& m) {
        enabled = m.lamEnabled();
        pending = m.lamPending();
    });
    EXPECT_TRUE(enabled);
    EXPECT_FALSE(pending);
    EXPECT_TRUE(select(4) & kI);

    run(kRemoveInhibit);
    EXPECT_FALSE(ad.inhibit(0));
    EXPECT_EQ(cmd(), kSX | kSQ | kOnline);
    run(kSetInhibit);
    EXPECT_TRUE(ad.inhibit(0));
    EXPECT_TRUE(cmd() & kI);
}

TEST_F(AdapterTest, ClearResetsDataAndLamsButNotTheInhibit) {
    run(kSetInhibit);
    write24(5, 0, 16, 0x123456);
    ad.raiseLam(0, 3);
    EXPECT_EQ(run(kClear) & 0x33, kDone | kX | kQ);
    EXPECT_EQ(cmd(), kSX | kSQ | kI | kOnline);
    EXPECT_EQ(registerWord(0, 5), 0u);
    EXPECT_EQ(ad.lamPattern(0), 0u);
    EXPECT_TRUE(ad.inhibit(0));
}

TEST_F(AdapterTest, EmptyStationsAndOfflineCratesAnswerNothing) {
    EXPECT_EQ(run(command(9, 0, 0, true)) & 0x33, kDone) << "empty station: X = 0, Q = 0";
    EXPECT_EQ(cmd(), 0);
    EXPECT_EQ(select(1), 0);
    EXPECT_EQ(run(command(31, 15, 31)) & 0x33, kDone) << "stations above 24 do not exist";

    write24(5, 0, 16, 0x777777);
    ad.setCrateOnline(0, false);
    EXPECT_EQ(run(command(5, 0, 0)) & 3, 0);
    EXPECT_EQ(cmd(), 0) << "no data from an off-line crate";
    write24(5, 0, 16, 0x111111);
    EXPECT_EQ(cmd(), 0) << "status word: no X, Q or on-line";
    EXPECT_EQ(run(kInit) & 3, 0) << "unaddressed commands give X = Q = 0 too";
    EXPECT_FALSE(ad.inhibit(0));
    ad.raiseLam(0, 3);
    EXPECT_EQ(ad.lamPattern(0), 0u);

    ad.setCrateOnline(0, true);
    EXPECT_EQ(registerWord(0, 5), 0x777777u) << "nothing reached the modules while off-line";
    EXPECT_EQ(ad.lamPattern(0), 1u << 2);
}

// ---- Timing and faults ----------------------------------------------------------

TEST_F(AdapterTest, DonePollsCountCsrReadsExactly) {
    ad.setDonePolls(3);
    ad.isaWrite(kt40sim::kCmd, command(5, 0, 0));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(csr() & kDone, 0) << "read " << i;
    EXPECT_EQ(csr() & (kDone | kX | kQ), kDone | kX | kQ);
    EXPECT_TRUE(csr() & kDone) << "done stays";

    ad.isaWrite(kt40sim::kRsel, 4);  // readouts wait the same
    for (int i = 0; i < 3; ++i) EXPECT_EQ(csr() & kDone, 0);
    EXPECT_TRUE(csr() & kDone);
}

TEST_F(AdapterTest, BusyPollsCountCsrReadsExactly) {
    ad.setBusyPolls(2);
    for (uint16_t reg : {kt40sim::kWdlo, kt40sim::kWdhi, kt40sim::kCsr, kt40sim::kCmd}) {
        ad.isaWrite(reg, 0);
        EXPECT_TRUE(csr() & kBusy) << reg;
        EXPECT_TRUE(csr() & kBusy) << reg;
        EXPECT_FALSE(csr() & kBusy) << reg;
    }
}

TEST_F(AdapterTest, DoneNeverKeepsDoneAndErrorClear) {
    ad.setFault(Fault::DoneNever);
    EXPECT_EQ(ad.fault(), Fault::DoneNever);
    ad.isaWrite(kt40sim::kCmd, command(5, 0, 0));
    for (int i = 0; i < 70000; ++i) ASSERT_EQ(csr() & (kDone | kError), 0) << "read " << i;
    ad.setFault(Fault::None);
    EXPECT_TRUE(csr() & kDone) << "the action completes once the fault is gone";
}

TEST_F(AdapterTest, ErrorBitReplacesDone) {
    ad.setFault(Fault::ErrorBit);
    ad.setDonePolls(1);
    ad.isaWrite(kt40sim::kCmd, command(5, 0, 0));
    EXPECT_EQ(csr() & (kDone | kError), 0);
    EXPECT_EQ(csr() & (kDone | kError), kError);
    ad.isaWrite(kt40sim::kRsel, 4);
    EXPECT_EQ(csr() & (kDone | kError), 0) << "a new action clears the old error";
    EXPECT_EQ(csr() & (kDone | kError), kError);
}

// A fault can wait for a number of accesses, so that the second wait of one
// action fails while the first succeeds.
TEST_F(AdapterTest, FaultAfterAccessesStartsExactlyThere) {
    ad.setFaultAfter(2, Fault::ErrorBit);
    ad.isaWrite(kt40sim::kCmd, command(5, 0, 0));                 // 1
    EXPECT_EQ(csr() & (kDone | kError), kDone);                    // 2: still before the fault
    EXPECT_EQ(ad.fault(), Fault::None);
    ad.isaWrite(kt40sim::kRsel, 1);                                // 3: the fault is in force
    EXPECT_EQ(ad.fault(), Fault::ErrorBit);
    EXPECT_EQ(csr() & (kDone | kError), kError);

    ad.setFaultAfter(1, Fault::Dead);
    ad.setFault(Fault::None);  // cancels the one still to come
    cmd();
    cmd();
    EXPECT_EQ(ad.fault(), Fault::None);
}

TEST_F(AdapterTest, BusyStuckNeverClearsBusy) {
    ad.setFault(Fault::BusyStuck);
    ad.isaWrite(kt40sim::kWdlo, 1);
    for (int i = 0; i < 70000; ++i) ASSERT_TRUE(csr() & kBusy) << "read " << i;
    ad.isaWrite(kt40sim::kCmd, command(5, 0, 0));
    EXPECT_TRUE(csr() & kDone) << "actions still complete";
}

TEST_F(AdapterTest, DeadAdapterReadsZeroAndLosesWrites) {
    write24(5, 0, 16, 0x000042);
    ad.setFault(Fault::Dead);
    const uint64_t before = ad.accessCount();
    write24(5, 0, 16, 0x00FFFF);
    ad.isaWrite(kt40sim::kCsr, 3);
    EXPECT_EQ(csr(), 0);
    EXPECT_EQ(cmd(), 0);
    EXPECT_EQ(ad.isaRead(kt40sim::kWdlo), 0);
    EXPECT_EQ(ad.accessCount(), before + 8) << "the accesses still happen on the bus";
    ad.setFault(Fault::None);
    EXPECT_EQ(registerWord(0, 5), 0x42u);
    EXPECT_EQ(csr() & 0xC0, 0) << "the CSR write was lost";
}

// ---- Interrupt line ------------------------------------------------------------

TEST_F(AdapterTest, LineNeedsALamAndTheEnableBit) {
    std::vector<bool> levels;
    ListenerGuard g{ad.addInterruptListener([&](bool high) { levels.push_back(high); })};

    ad.raiseLam(0, 3);
    EXPECT_FALSE(ad.interruptLine()) << "enable bit clear";
    ad.isaWrite(kt40sim::kCsr, 4);
    EXPECT_TRUE(ad.interruptLine());
    ad.install(0, 7, std::make_unique<kt40sim::LamSource>());
    ad.raiseLam(0, 7);  // a second LAM: no new edge
    run(command(3, 0, 10));
    EXPECT_TRUE(ad.interruptLine()) << "station 7 still requests";
    run(command(7, 0, 24));  // masked
    EXPECT_FALSE(ad.interruptLine());
    run(command(7, 0, 26));
    EXPECT_TRUE(ad.interruptLine());
    ad.isaWrite(kt40sim::kCsr, 0);
    EXPECT_FALSE(ad.interruptLine());
    EXPECT_EQ(levels, (std::vector<bool>{true, false, true, false}));
}

TEST_F(AdapterTest, LineFollowsLamsOfEveryOnlineCrate) {
    std::string error;
    ASSERT_TRUE(ad.loadCrates("crate 0\n 3 lamsource\ncrate 1\n 4 lamsource\ncrate 2 offline\n 4 lamsource\n", error))
        << error;
    ad.isaWrite(kt40sim::kCsr, 4);  // crate 0 selected
    ad.raiseLam(2, 4);
    EXPECT_FALSE(ad.interruptLine()) << "an off-line crate raises nothing";
    ad.raiseLam(1, 4);
    EXPECT_TRUE(ad.interruptLine()) << "a LAM in crate 1 while crate 0 is selected";
    ad.setCrateOnline(1, false);
    EXPECT_FALSE(ad.interruptLine());
    ad.setCrateOnline(2, true);
    EXPECT_TRUE(ad.interruptLine());
    ad.clearCrates();
    EXPECT_FALSE(ad.interruptLine());
}

TEST_F(AdapterTest, RemovedListenersHearNothingAndResetDropsTheLine) {
    int calls = 0;
    std::vector<bool> levels;
    const int id = ad.addInterruptListener([&](bool) { ++calls; });
    ListenerGuard g{ad.addInterruptListener([&](bool high) { levels.push_back(high); })};
    ad.removeInterruptListener(id);
    ad.raiseLam(0, 3);
    ad.isaWrite(kt40sim::kCsr, 4);
    ad.reset();
    EXPECT_FALSE(ad.interruptLine());
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(levels, (std::vector<bool>{true, false})) << "listeners survive a reset and hear the line fall";
}

// ---- Access log -------------------------------------------------------------------

TEST_F(AdapterTest, LogHoldsEveryAccessInOrder) {
    ad.isaWrite(kt40sim::kWdlo, 0x1234);
    ad.isaWrite(kt40sim::kCmd, command(5, 0, 16));
    csr();
    cmd();
    ad.isaWrite(kt40sim::kRsel, 4);
    const std::vector<Access> want{
        {0, Face::Isa, Direction::Write, 4, 0x1234},
        {0, Face::Isa, Direction::Write, 0, command(5, 0, 16)},
        {0, Face::Isa, Direction::Read, 8, kDone | kX | kQ},
        {0, Face::Isa, Direction::Read, 0, kSX | kSQ | kOnline},
        {0, Face::Isa, Direction::Write, 2, 4},
    };
    const auto got = ad.log();
    EXPECT_EQ(got, want);
    for (size_t i = 1; i < got.size(); ++i) EXPECT_LE(got[i - 1].ns, got[i].ns);
    EXPECT_EQ(ad.accessCount(), 5u);
}

TEST_F(AdapterTest, LoggingOffStillCountsAndClearKeepsTheCount) {
    ad.setLogging(false);
    csr();
    ad.isaWrite(kt40sim::kCsr, 1);
    ad.setLogging(true);
    csr();
    ASSERT_EQ(ad.log().size(), 1u);
    EXPECT_EQ(ad.log()[0].value, 0x4040u);
    EXPECT_EQ(ad.accessCount(), 3u);
    ad.clearLog();
    EXPECT_TRUE(ad.log().empty());
    EXPECT_EQ(ad.accessCount(), 3u);
    ad.reset();
    EXPECT_EQ(ad.accessCount(), 0u);
    EXPECT_TRUE(ad.log().empty());
}

TEST_F(AdapterTest, LogKeepsTheNewestEntriesWhenFull) {
    constexpr size_t extra = 100;
    const size_t total = Adapter::kLogCapacity + extra;
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < total; ++i) ad.isaWrite(kt40sim::kWdlo, static_cast<uint16_t>(i));
    const auto took = std::chrono::steady_clock::now() - start;
    auto got = ad.log();
    ASSERT_EQ(got.size(), Adapter::kLogCapacity);
    EXPECT_EQ(ad.accessCount(), total);
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i].value, static_cast<uint16_t>(i + extra)) << "entry " << i;

    ad.clearLog();
    ad.isaWrite(kt40sim::kWdlo, 7);
    got = ad.log();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].value, 7u);
    RecordProperty("fill_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

TEST_F(AdapterTest, ResetRestoresThePowerUpState) {
    ad.setFault(Fault::ErrorBit);
    ad.setDonePolls(5);
    ad.setBusyPolls(5);
    ad.setControllerCrate(3);
    ad.setLogging(false);
    ad.isaWrite(kt40sim::kCsr, 6);
    ad.isaWrite(kt40sim::kCmd, kInit);
    ad.clearCrates();
    ad.reset();
    EXPECT_EQ(ad.fault(), Fault::None);
    EXPECT_FALSE(ad.inhibit(0));
    EXPECT_EQ(csr(), 0) << "CSR 0, no controller override";
    EXPECT_EQ(run(command(5, 0, 0)) & 0x37, kDone | kX | kQ) << "no delays, default crate";
    EXPECT_EQ(ad.log().size(), 3u) << "logging on";
}

// ---- Robustness --------------------------------------------------------------------

TEST_F(AdapterTest, OutOfRangeCratesAndStationsAreIgnored) {
    for (int c : {-1, kt40sim::kCrates}) {
        ad.setCrateOnline(c, true);
        ad.raiseLam(c, 3);
        EXPECT_FALSE(ad.inhibit(c));
        EXPECT_EQ(ad.lamPattern(c), 0u);
        EXPECT_EQ(ad.moduleKind(c, 3), "");
    }
    for (int n : {0, -1, kt40sim::kStations + 1}) {
        ad.install(0, n, std::make_unique<kt40sim::LamSource>());
        EXPECT_FALSE(ad.withModule(0, n, [](kt40sim::Module&) { FAIL() << "called"; }));
        EXPECT_EQ(ad.moduleKind(0, n), "");
    }
    EXPECT_FALSE(ad.withModule(0, 6, [](kt40sim::Module&) { FAIL() << "called"; })) << "empty station";
    ad.install(0, 5, nullptr);  // takes the register out
    EXPECT_EQ(ad.moduleKind(0, 5), "");
    ad.isaWrite(9, 0xFFFF);  // no register there
    EXPECT_EQ(ad.isaRead(kt40sim::kRsel), 0xFFFF) << "write-only registers drive nothing";
    EXPECT_EQ(csr() & 0xC1C0, 0);
}

TEST_F(AdapterTest, ConcurrentAccessesAreEachLoggedOnce) {
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            auto& a = Adapter::instance();
            for (int i = 0; i < kEach; ++i) {
                a.isaWrite(kt40sim::kWdlo, static_cast<uint16_t>(t << 12 | i));
                a.isaWrite(kt40sim::kCmd, command(3, 0, i % 2 ? 25 : 10));
                a.isaRead(kt40sim::kCsr);
            }
        });
    std::thread toggler([] {
        auto& a = Adapter::instance();
        for (int i = 0; i < kEach; ++i) a.isaWrite(kt40sim::kCsr, i % 2 ? 4 : 0);
    });
    for (auto& th : threads) th.join();
    toggler.join();
    const auto got = ad.log();
    EXPECT_EQ(ad.accessCount(), uint64_t{kThreads} * kEach * 3 + kEach);
    ASSERT_EQ(got.size(), ad.accessCount());
    std::vector<int> next(kThreads, 0);
    for (size_t i = 0; i < got.size(); ++i) {
        if (i) {
            ASSERT_LE(got[i - 1].ns, got[i].ns);
        }
        if (got[i].offset != kt40sim::kWdlo) continue;
        const int t = static_cast<int>(got[i].value >> 12);
        ASSERT_EQ(static_cast<int>(got[i].value & 0xFFF), next[static_cast<size_t>(t)]++) << "thread " << t;
    }
}

}  // namespace
