// The worker against the virtual crate: what reaches the adapter, how runs
// advance, pause and stop, what the panel is told, and how the worker stays
// safe when the panel changes things under a run.
#include "CoreFixture.h"

#include <algorithm>

namespace tervan::test {
namespace {

using namespace std::chrono_literals;
using Button = TCamProcessor::Button;

// Command word of an addressed command, as the adapter receives it.
constexpr uint16_t word(int n, int a, int f) { return static_cast<uint16_t>(n << 9 | a << 5 | f); }

TEST_F(WorkerTest, OneCommandOnceReachesTheAdapterAndLeavesTheProgramAsItWas)
{
    program.Append(lamRead()); // an entry of the operator's that must survive
    create();
    ASSERT_TRUE(worker->InitOk());
    const TCamCommand write = addressed(16, 5, 0, 0x1234);
    ASSERT_TRUE(worker->Start(Button::OneTime, &write));
    ASSERT_TRUE(idle());
    EXPECT_EQ(commandWords(), (std::vector<uint16_t>{word(5, 0, 16)}));
    const auto log = hw.log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const kt40sim::Access &a) {
        return a.dir == kt40sim::Direction::Write && a.offset == kt40sim::kWdlo && a.value == 0x1234;
    }));
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(runPosition(), 0);
    EXPECT_FALSE(worker->ButtonDown(Button::OneTime));
    ASSERT_TRUE(eventually([this] { return panel.shown().oneTimeReleases == 1; }));
    const auto s = panel.shown();
    // A write: X and Q from the module, L and I from the crate.
    EXPECT_EQ(s.x, 1);
    EXPECT_EQ(s.q, 1);
    EXPECT_EQ(s.l, 0);
    EXPECT_EQ(s.i, 0);
    EXPECT_FALSE(s.rSet);
    EXPECT_EQ(s.lamMask, 0u);
}

TEST_F(WorkerTest, ReadStoresLastReadAndShowsIt)
{
    create();
    hw.withModule(0, 5, [](kt40sim::Module &m) {
        uint32_t d = 0x00AB;
        m.cycle(0, 16, d);
    });
    hw.clearLog();
    const TCamCommand read = addressed(0, 5, 0);
    worker->Start(Button::OneTime, &read);
    ASSERT_TRUE(idle());
    ASSERT_TRUE(eventually([this] { return panel.shown().rSet; }));
    EXPECT_EQ(panel.shown().r, 0xAB);
    EXPECT_FALSE(panel.shown().rError);
    EXPECT_EQ(panel.shown().l, 2);
    EXPECT_EQ(worker->LastRead(), 0xAB);
}

TEST_F(WorkerTest, IndicatorsFollowTheFunctionClass)
{
    create();
    struct Case { int f; int x, q, l, i; };
    // Station 5 holds a register: F0/F16/F9 answer X=Q=1, F8 gives Q = LAM
    // requested (0), F24/F26 mask and unmask, F27 and F30 are unknown (X=0).
    const Case cases[] = {
        {0, 1, 1, 2, 2}, {9, 1, 1, 2, 2}, {8, 1, 0, 2, 2}, {16, 1, 1, 0, 0},
        {27, 0, 0, 2, 2}, {24, 1, 2, 2, 2}, {30, 0, 2, 2, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.f);
        const int before = panel.shown().oneTimeReleases;
        const TCamCommand cmd = addressed(c.f, 5, 0);
        worker->Start(Button::OneTime, &cmd);
        ASSERT_TRUE(idle());
        ASSERT_TRUE(eventually([&] { return panel.shown().oneTimeReleases == before + 1; }));
        const auto s = panel.shown();
        EXPECT_EQ(s.x, c.x);
        EXPECT_EQ(s.q, c.q);
        EXPECT_EQ(s.l, c.l);
        EXPECT_EQ(s.i, c.i);
    }
}

TEST_F(WorkerTest, CycleRepeatsUntilItsButtonIsReleasedAndRemovesItsEntry)
{
    create();
    worker->CycleDelay = 5;
    const TCamCommand read = addressed(0, 1, 0);
    worker->Start(Button::Cycle, &read);
    ASSERT_TRUE(eventually([this] { return commandWords().size() >= 5; }));
    EXPECT_FALSE(worker->Idle());
    EXPECT_EQ(count(), 1); // the temporary entry while it runs
    worker->SetButton(Button::Cycle, false);
    ASSERT_TRUE(idle());
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(runPosition(), 0);
    const auto words = commandWords();
    EXPECT_TRUE(std::all_of(words.begin(), words.end(), [](uint16_t w) { return w == word(1, 0, 0); }));
    // The pauses between executions are the cycle delay.
    std::vector<uint64_t> times;
    for (const auto &a : hw.log())
        if (a.dir == kt40sim::Direction::Write && a.offset == kt40sim::kCmd)
            times.push_back(a.ns);
    for (size_t k = 1; k < times.size(); ++k)
        EXPECT_GE(times[k] - times[k - 1], 5'000'000u);
    EXPECT_EQ(panel.shown().oneTimeReleases, 0);
}

TEST_F(WorkerTest, ProgramOnceRunsEveryEntryWithTheCommandDelayBetween)
{
    program.Append(addressed(16, 1, 0, 1));
    program.Append(addressed(16, 1, 1, 2));
    program.Append(addressed(16, 1, 2, 3));
    create();
    worker->CommandDelay = 100;
    worker->CycleDelay = 1000; // must not be used
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(worker->Start(Button::OneTime, nullptr));
    ASSERT_TRUE(idle());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(commandWords(), (std::vector<uint16_t>{word(1, 0, 16), word(1, 1, 16), word(1, 2, 16)}));
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 900ms);
    EXPECT_EQ(count(), 3);
    EXPECT_EQ(runPosition(), 0);
    ASSERT_TRUE(eventually([this] { return panel.shown().oneTimeReleases == 1; }));
}

TEST_F(WorkerTest, ProgramCycleWithOneEntryUsesOnlyTheCycleDelay)
{
    program.Append(addressed(0, 1, 0));
    create();
    worker->CommandDelay = 10'000; // would stall the test if used
    worker->CycleDelay = 2;
    worker->Start(Button::Cycle, nullptr);
    ASSERT_TRUE(eventually([this] { return commandWords().size() >= 4; }, 5s));
    worker->StopRun();
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(runPosition(), 0);
}

TEST_F(WorkerTest, ProgramCycleRestartsAtTheFirstEntry)
{
    program.Append(addressed(0, 1, 0));
    program.Append(addressed(0, 1, 1));
    create();
    worker->Start(Button::Cycle, nullptr);
    ASSERT_TRUE(eventually([this] { return commandWords().size() >= 6; }));
    worker->StopRun();
    const auto words = commandWords();
    for (size_t k = 0; k < 6; ++k)
        EXPECT_EQ(words[k], word(1, static_cast<int>(k % 2), 0)) << k;
}

TEST_F(WorkerTest, FailingRoutineShowsErrorAndTheRunGoesOn)
{
    program.Append(addressed(0, 1, 0));
    program.Append(unaddressed(2));
    program.Append(lamRead());
    create();
    hw.setFault(kt40sim::Fault::DoneNever);
    ASSERT_TRUE(worker->Start(Button::OneTime, nullptr));
    ASSERT_TRUE(idle());
    EXPECT_EQ(commandWords().size(), 2u); // the read and Z; the LAM read writes RSEL
    ASSERT_TRUE(eventually([this] { return panel.shown().oneTimeReleases == 1; }));
    const auto s = panel.shown();
    EXPECT_TRUE(s.rError);
    EXPECT_FALSE(s.indicatorsSet);
    EXPECT_EQ(s.lamMask, 0u);
    EXPECT_EQ(worker->LastRead(), 0);
}

TEST_F(WorkerTest, UnaddressedCommandAndLamReadMakeThePatternValid)
{
    create();
    hw.raiseLam(0, 1);
    hw.raiseLam(0, 3);
    const TCamCommand rdl = lamRead();
    worker->Start(Button::OneTime, &rdl);
    ASSERT_TRUE(idle());
    ASSERT_TRUE(eventually([this] { return panel.shown().oneTimeReleases == 1; }));
    EXPECT_EQ(panel.shown().lamMask, 0xFFFFFFu);
    EXPECT_EQ(panel.shown().lamPattern & 0xFFFFFF, 0x5u);
    EXPECT_EQ(panel.shown().l, 1);
    EXPECT_EQ(panel.shown().x, 2);

    // Z to crate 2 goes to crate 2 and validates the upper byte only.
    const TCamCommand z = unaddressed(2, 2);
    hw.clearLog();
    worker->Start(Button::OneTime, &z);
    ASSERT_TRUE(idle());
    ASSERT_TRUE(eventually([this] { return panel.shown().oneTimeReleases == 2; }));
    EXPECT_EQ(commandWords(), (std::vector<uint16_t>{0x8002}));
    const auto log = hw.log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const kt40sim::Access &a) {
        return a.dir == kt40sim::Direction::Write && a.offset == kt40sim::kCsr && (a.value & 3) == 2;
    }));
    EXPECT_EQ(panel.shown().lamMask, 0xFF0000u);
    EXPECT_EQ(worker->LamMask(), 0u); // cleared again in the idle round
}

TEST_F(WorkerTest, InhibitCodesSetAndRemoveTheInhibit)
{
    create();
    const TCamCommand set = unaddressed(4);
    worker->Start(Button::OneTime, &set);
    ASSERT_TRUE(idle());
    EXPECT_TRUE(hw.inhibit(0));
    const TCamCommand clear = unaddressed(8);
    worker->Start(Button::OneTime, &clear);
    ASSERT_TRUE(idle());
    EXPECT_FALSE(hw.inhibit(0));
    EXPECT_EQ(commandWords(), (std::vector<uint16_t>{0x8004, 0x8008}));
}

TEST_F(WorkerTest, CommandRunOnAFullProgramUsesTheSpareSlotAndKeepsTheProgram)
{
    for (int k = 0; k < 255; ++k)
        program.Append(addressed(16, 1, k % 16, k));
    create();
    const TCamCommand read = addressed(0, 5, 0);
    ASSERT_TRUE(worker->Start(Button::OneTime, &read));
    ASSERT_TRUE(idle());
    EXPECT_EQ(commandWords(), (std::vector<uint16_t>{word(5, 0, 0)}));
    EXPECT_EQ(count(), 255);
    EXPECT_EQ(worker->WithProgram([](TCamProgram &p) { return p.entries[254].data; }), 254);
}

TEST_F(WorkerTest, FiftyFirstEntryIsExecuted)
{
    for (int k = 0; k < 51; ++k)
        program.Append(addressed(16, 1, k % 16, k));
    create();
    worker->Start(Button::OneTime, nullptr);
    ASSERT_TRUE(idle());
    const auto words = commandWords();
    ASSERT_EQ(words.size(), 51u);
    EXPECT_EQ(words[50], word(1, 50 % 16, 16));
}

TEST_F(WorkerTest, NothingToRunLeavesTheButtonUpAndTheProgramUntouched)
{
    create();
    EXPECT_FALSE(worker->Start(Button::OneTime, nullptr)); // empty program
    ASSERT_TRUE(idle());
    EXPECT_FALSE(worker->ButtonDown(Button::OneTime));
    EXPECT_EQ(count(), 0);
    EXPECT_TRUE(commandWords().empty());
}

TEST_F(WorkerTest, OtherButtonDuringARunLeavesOneTemporaryEntryAtMost)
{
    program.Append(lamRead());
    create();
    worker->CycleDelay = 1;
    const TCamCommand a = addressed(0, 1, 0);
    const TCamCommand b = addressed(0, 1, 1);
    for (int round = 0; round < 20; ++round) {
        worker->Start(Button::Cycle, &a);
        worker->Start(Button::OneTime, &b);
        worker->Start(Button::Cycle, &b);
        EXPECT_EQ(count(), 2);
    }
    worker->StopRun();
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(worker->WithProgram([](TCamProgram &p) { return p.entries[0].kind; }), TCamCommand::kindLam);
}

TEST_F(WorkerTest, TheModeChosenDuringARunTakesEffectAndTheTemporaryEntryGoesWithCommandMode)
{
    program.Append(addressed(16, 7, 0));
    create();
    worker->CycleDelay = 1;
    worker->CommandDelay = 1;
    const TCamCommand read = addressed(0, 9, 1);
    ASSERT_TRUE(worker->Start(Button::Cycle, &read));
    ASSERT_TRUE(eventually([this] { return commandWords().size() >= 2; }));
    EXPECT_EQ(count(), 2);
    // Program mode: the temporary entry is gone at once, the program runs.
    worker->SetCommandMode(false);
    EXPECT_EQ(count(), 1);
    hw.clearLog();
    ASSERT_TRUE(eventually([this] { return commandWords().size() >= 3; }));
    const auto words = commandWords();
    EXPECT_EQ(std::count(words.begin() + 1, words.end(), word(7, 0, 16)), std::ptrdiff_t(words.size() - 1));
    // Command mode again: the entry at the run position repeats.
    worker->SetCommandMode(true);
    worker->StopRun();
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(worker->WithProgram([](TCamProgram &p) { return p.entries[0].n; }), 7);

    // A command cycle over an empty program: leaving command mode leaves
    // nothing to run; the cycle ends and the panel is told to release it.
    worker->WithProgram([](TCamProgram &p) { p.Reset(); });
    ASSERT_TRUE(worker->Start(Button::Cycle, &read));
    worker->SetCommandMode(false);
    ASSERT_TRUE(idle());
    EXPECT_FALSE(worker->ButtonDown(Button::Cycle));
    EXPECT_EQ(count(), 0);
    ASSERT_TRUE(eventually([this] { return panel.shown().cycleReleases == 1; }));
    EXPECT_EQ(panel.shown().oneTimeReleases, 0);
}

TEST_F(WorkerTest, ProgramEmptiedUnderARunStopsItWithoutTouchingAStaleSlot)
{
    for (int k = 0; k < 10; ++k)
        program.Append(addressed(0, 1, k));
    create();
    worker->Start(Button::Cycle, nullptr);
    ASSERT_TRUE(eventually([this] { return commandWords().size() >= 3; }));
    // A careless panel that empties the program without stopping the run.
    worker->WithProgram([](TCamProgram &p) { p.Reset(); });
    ASSERT_TRUE(idle());
    EXPECT_FALSE(worker->ButtonDown(Button::Cycle));
    EXPECT_EQ(count(), 0);
}

TEST_F(WorkerTest, ZeroDelayCycleDoesNotFloodThePanelAndEndsWithTheLastEntry)
{
    create();
    panel.slowness = 20ms; // a busy user-interface thread
    const TCamCommand read = addressed(0, 2, 0); // a counting scaler
    worker->Start(Button::Cycle, &read);
    ASSERT_TRUE(eventually([this] { return commandWords().size() >= 2000; }));
    worker->StopRun();
    const int lastRead = worker->LastRead();
    ASSERT_TRUE(eventually([&] {
        const auto s = panel.shown();
        return s.r == lastRead && s.entries == commandWords().size();
    }));
    EXPECT_EQ(panel.maxOutstanding(), 1);
    EXPECT_LT(panel.notifications(), 500);
}

TEST_F(WorkerTest, TerminateDuringALongPauseEndsAtOnce)
{
    create();
    worker->CycleDelay = 60'000;
    const TCamCommand read = addressed(0, 1, 0);
    worker->Start(Button::Cycle, &read);
    ASSERT_TRUE(eventually([this] { return commandWords().size() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    panel.stop();
    worker.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(WorkerTest, FailedInitialisationLeavesTheWorkerHarmless)
{
    wdsim::controls().setPresent(false);
    create();
    EXPECT_FALSE(worker->InitOk());
    EXPECT_EQ(worker->LastRead(), 0);
    worker->SetLastWritten(5); // no record to write into; must not crash
}

} // namespace
} // namespace tervan::test
