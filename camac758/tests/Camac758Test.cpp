// The IEEE 758 routines against the virtual crate: what each transfers, its
// tally, where block transfers and scans stop, and bad arguments that must
// never reach the crate.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "PowerUp.h"
#include "State.h"
#include "camac758.h"
#include "kt40kernel/Kernel.h"
#include "kt40sim/Adapter.h"

namespace {

using kt40sim::Module;
using kt40sim::Response;

// A memory read and written through one address with an internal pointer,
// as sequential memory modules are: F0 gives the next word, F16 stores at
// the pointer, F9 resets the pointer; past the last word Q = 0.
class Sequential : public Module {
public:
    explicit Sequential(std::vector<uint32_t> words) : Module("sequential"), words_(std::move(words)) {}
    Response cycle(int, int f, uint32_t& data) override {
        ++actions;
        if (f == 9) {
            at_ = 0;
            return {true, true};
        }
        if (at_ >= words_.size()) return {true, false};
        if (f == 0) data = words_[at_++];
        else if (f == 16) words_[at_++] = data;
        else return {false, false};
        return {true, true};
    }
    std::vector<uint32_t> words_;
    int actions = 0;

private:
    size_t at_ = 0;
};

// Gives Q only on every `every`-th action; reads deliver the number of the
// action.
class Slow : public Module {
public:
    explicit Slow(int every) : Module("slow"), every_(every) {}
    Response cycle(int, int, uint32_t& data) override {
        ++actions;
        data = static_cast<uint32_t>(actions);
        return {true, every_ > 0 && actions % every_ == 0};
    }
    int actions = 0;

private:
    int every_;
};

// Registers at A0, A1 and A3: Q = 0 at A2, the gap that ends a Q-scan.
class Gapped : public Module {
public:
    Gapped() : Module("gapped") {}
    Response cycle(int a, int f, uint32_t& data) override {
        if (a == 2 || a > 3) return {true, false};
        if (f == 0) data = static_cast<uint32_t>(0x600 + a);
        return {true, f == 0};
    }
};

// A digitiser: a word ready while its LAM is up; F2 reads it and drops the LAM.
class Digitiser : public Module {
public:
    Digitiser() : Module("digitiser") {}
    Response cycle(int, int f, uint32_t& data) override {
        Response r;
        if (lamFunction(f, r)) return r;
        if (f != 2 || !lamPending()) return {true, false};
        data = ++words;
        clearLam();
        return {true, true};
    }
    std::atomic<uint32_t> words{0};
};

// Every case runs on the register path (virtual) and on the packed path
// through kt40drv under the stand-in kernel (virtual-pci).
class Camac758Test : public ::testing::TestWithParam<const char*> {
protected:
    kt40sim::Adapter& hw = kt40sim::Adapter::instance();

    void SetUp() override {
        camac::test::powerUp();
        setenv("KT40_ADAPTER", GetParam(), 1);
        ASSERT_EQ(ccinit(), 0);
    }
    void TearDown() override {
        camac::disconnect();
        unsetenv("KT40_ADAPTER");
    }
    bool packed() const { return std::strcmp(GetParam(), "virtual") != 0; }

    static int ext(int c, int n, int a, int b = 16) {
        int e = 0;
        cdreg(&e, b, c, n, a);
        return e;
    }
    template <typename M>
    M& module(int station) {
        M* p = nullptr;
        hw.withModule(0, station, [&](Module& m) { p = dynamic_cast<M*>(&m); });
        return *p;  // the module stays in place while the test looks
    }
    uint32_t memoryWord(int station, int a) { return module<kt40sim::RegisterModule>(station).word(a); }
};

TEST_P(Camac758Test, SingleActionIsTwentyFourBitsWhateverTheAddressSays) {
    int data = 0xABCDEF, q = 7;
    ASSERT_EQ(cfsa(16, ext(0, 5, 0), &data, &q), 0);  // a 16-bit address
    EXPECT_EQ(q, 1);
    EXPECT_EQ(memoryWord(5, 0), 0xABCDEFu);
    data = 0;
    ASSERT_EQ(cfsa(0, ext(0, 5, 0), &data, &q), 0);
    EXPECT_EQ(data, 0xABCDEF);
    // A control function leaves the data alone; an empty station gives Q 0.
    data = 1234;
    ASSERT_EQ(cfsa(8, ext(0, 9, 0), &data, &q), 0);
    EXPECT_EQ(data, 1234);
    EXPECT_EQ(q, 0);
    EXPECT_EQ(cdata()->x, 0);
}

TEST_P(Camac758Test, MultipleActionsDoEachEntryAndReportTheirQ) {
    const int fa[] = {16, 16, 0, 0, 0};
    const int exta[] = {ext(0, 1, 2), ext(0, 5, 0), ext(0, 1, 2), ext(0, 5, 0), ext(0, 1, 14, 24)};
    int intc[] = {0x123456, 77, 0, 0, -1};
    int qa[] = {9, 9, 9, 9, 9};
    int cb[4] = {5, -1, 0, 43};
    ASSERT_EQ(cfga(fa, exta, intc, qa, cb), 0);
    EXPECT_EQ(cb[1], 5);
    EXPECT_EQ(cb[2], 0);  // the channel identifier is not touched
    EXPECT_EQ(cb[3], 43);
    EXPECT_EQ(intc[2], 0x123456);
    EXPECT_EQ(intc[3], 77);
    EXPECT_EQ(intc[4], 0);
    for (int q : qa) EXPECT_EQ(q, 1);

    // 16 bits: the high byte neither goes nor comes.
    unsigned short words[] = {0xBEEF, 0};
    const int f2[] = {16, 0};
    const int e2[] = {ext(0, 5, 0, 24), ext(0, 5, 0, 24)};
    int q2[2];
    int cb2[4] = {2, 0, 0, 0};
    hw.withModule(0, 5, [](Module& m) { uint32_t v = 0xFF0000; m.cycle(0, 16, v); });
    ASSERT_EQ(csga(f2, e2, words, q2, cb2), 0);
    EXPECT_EQ(memoryWord(5, 0), 0xBEEFu);
    EXPECT_EQ(words[1], 0xBEEF);
}

TEST_P(Camac758Test, MultipleActionStopsAtAFailedWaitAndCountsWhatWasDone) {
    const int fa[] = {0, 0, 0};
    const int exta[] = {ext(0, 5, 0), ext(0, 5, 0), ext(0, 5, 0)};
    int intc[3] = {}, qa[3] = {};
    int cb[4] = {3, 0, 0, 0};
    int data = 0, q = 0;
    const uint64_t before = hw.accessCount();
    ASSERT_EQ(cfsa(0, ext(0, 5, 0), &data, &q), 0);
    const uint64_t perAction = hw.accessCount() - before;
    // The error bit rather than a done that never comes: on the packed path
    // that would take the driver's 16.7 million polls.
    hw.setFaultAfter(perAction + perAction / 2, kt40sim::Fault::ErrorBit);
    EXPECT_EQ(cfga(fa, exta, intc, qa, cb), 1);
    EXPECT_EQ(cb[1], 1);
    EXPECT_EQ(cdata()->error, CAMAC_ERR_ADAPTER);
}

TEST_P(Camac758Test, QStopEndsAtTheEndOfASequentialMemory) {
    hw.install(0, 7, std::make_unique<Sequential>(std::vector<uint32_t>{11, 22, 33, 0xFEDCBA, 55}));
    std::vector<int> data(10, -1);
    int cb[4] = {10, 0, 0, 0};
    ASSERT_EQ(cfubc(0, ext(0, 7, 0), data.data(), cb), 0);
    EXPECT_EQ(cb[1], 5);
    EXPECT_EQ(data, (std::vector<int>{11, 22, 33, 0xFEDCBA, 55, -1, -1, -1, -1, -1}));
    EXPECT_EQ(module<Sequential>(7).actions, 6);  // five words and the one without Q

    // The count ends it first when it is smaller.
    int d = 0, q = 0;
    cfsa(9, ext(0, 7, 0), &d, &q);
    unsigned short shorts[3] = {};
    int cb2[4] = {2, 0, 0, 0};
    ASSERT_EQ(csubc(0, ext(0, 7, 0), shorts, cb2), 0);
    EXPECT_EQ(cb2[1], 2);
    EXPECT_EQ(shorts[1], 22);
    EXPECT_EQ(shorts[2], 0);

    // Writing: words go until the memory is full.
    cfsa(9, ext(0, 7, 0), &d, &q);
    int out[7] = {1, 2, 3, 4, 5, 6, 7};
    int cb3[4] = {7, 0, 0, 0};
    ASSERT_EQ(cfubc(16, ext(0, 7, 0), out, cb3), 0);
    EXPECT_EQ(cb3[1], 5);
    EXPECT_EQ(module<Sequential>(7).words_, (std::vector<uint32_t>{1, 2, 3, 4, 5}));

    // A memory addressed by subaddress answers Q 0 past its last word.
    int none[2] = {};
    int cb4[4] = {2, 0, 0, 0};
    hw.install(0, 8, std::make_unique<kt40sim::RegisterModule>(4));
    ASSERT_EQ(cfubc(0, ext(0, 8, 4), none, cb4), 0);
    EXPECT_EQ(cb4[1], 0);
}

TEST_P(Camac758Test, QRepeatRetriesEachWordUntilQ) {
    hw.install(0, 7, std::make_unique<Slow>(3));
    int data[4] = {};
    int cb[4] = {4, 0, 0, 0};
    ASSERT_EQ(cfubr(0, ext(0, 7, 0), data, cb), 0);
    EXPECT_EQ(cb[1], 4);
    EXPECT_EQ(module<Slow>(7).actions, 12);
    EXPECT_EQ(data[0], 3);
    EXPECT_EQ(data[3], 12);

    unsigned short shorts[2] = {};
    int cb2[4] = {2, 0, 0, 0};
    ASSERT_EQ(csubr(0, ext(0, 7, 0), shorts, cb2), 0);
    EXPECT_EQ(shorts[1], 18);
}

TEST_P(Camac758Test, QRepeatGivesUpWithoutQOrWithoutX) {
    hw.install(0, 7, std::make_unique<Slow>(0));
    int data[2] = {};
    int cb[4] = {2, 0, 0, 0};
    EXPECT_EQ(cfubr(0, ext(0, 7, 0), data, cb), 1);
    EXPECT_EQ(cdata()->error, CAMAC_ERR_NO_Q);
    EXPECT_EQ(cb[1], 0);
    EXPECT_EQ(module<Slow>(7).actions, CAMAC_QREPEAT_LIMIT);

    cb[1] = 5;
    EXPECT_EQ(cfubr(0, ext(0, 9, 0), data, cb), 1);  // empty station
    EXPECT_EQ(cdata()->error, CAMAC_ERR_NO_X);
    EXPECT_EQ(cb[1], 0);
}

TEST_P(Camac758Test, AddressScanFollowsQAcrossStations) {
    // Default crate: memory 16 words in 1, scaler 4 channels in 2, LAM source
    // (A0 only) in 3, nothing in 4, a register in 5.
    for (int a = 0; a < 16; ++a) hw.withModule(0, 1, [a](Module& m) { uint32_t v = 100 + a; m.cycle(a, 16, v); });
    hw.withModule(0, 5, [](Module& m) { uint32_t v = 0x55; m.cycle(0, 16, v); });
    ccci(ext(0, 1, 0), 1);  // scalers stand still
    const int extb[2] = {ext(0, 1, 0), ext(0, 5, 15)};
    std::vector<int> data(40, -1);
    int cb[4] = {40, 0, 0, 0};
    ASSERT_EQ(cfmad(0, extb, data.data(), cb), 0);
    EXPECT_EQ(cb[1], 16 + 4 + 1 + 1);
    EXPECT_EQ(data[0], 100);
    EXPECT_EQ(data[15], 115);
    EXPECT_EQ(data[21], 0x55);
    EXPECT_EQ(data[22], -1);

    // The count ends it, and so does the end address.
    int cb2[4] = {10, 0, 0, 0};
    ASSERT_EQ(cfmad(0, extb, data.data(), cb2), 0);
    EXPECT_EQ(cb2[1], 10);
    const int part[2] = {ext(0, 1, 14), ext(0, 2, 1)};
    unsigned short shorts[8] = {};
    int cb3[4] = {8, 0, 0, 0};
    ASSERT_EQ(csmad(0, part, shorts, cb3), 0);
    EXPECT_EQ(cb3[1], 4);  // 1/14, 1/15, 2/0, 2/1
    EXPECT_EQ(shorts[1], 115);
}

TEST_P(Camac758Test, AddressScanWritesFillTheRegistersThatAnswer) {
    const int extb[2] = {ext(0, 4, 0), ext(0, 5, 3)};
    int data[3] = {0xA1, 0xA2, 0xA3};
    int cb[4] = {3, 0, 0, 0};
    ASSERT_EQ(cfmad(16, extb, data, cb), 0);
    EXPECT_EQ(cb[1], 1);  // station 4 is empty, the register in 5 has A0 alone
    EXPECT_EQ(memoryWord(5, 0), 0xA1u);
}

TEST_P(Camac758Test, LamRoutinesTestMaskAndClearTheModulesLam) {
    int lam = -1;
    ASSERT_EQ(cdlam(&lam, 16, 0, 3, 0, nullptr), 0);
    int l = 7;
    ASSERT_EQ(ctlm(lam, &l), 0);
    EXPECT_EQ(l, 0);
    int d = 0, q = 0;
    cfsa(25, lam, &d, &q);  // the LAM source raises its LAM
    ASSERT_EQ(ctlm(lam, &l), 0);
    EXPECT_EQ(l, 1);
    EXPECT_EQ(hw.lamPattern(0), 0x4u);

    ASSERT_EQ(cclm(lam, 0), 0);
    EXPECT_EQ(hw.lamPattern(0), 0u);  // masked, still requested
    ASSERT_EQ(ctlm(lam, &l), 0);
    EXPECT_EQ(l, 1);
    ASSERT_EQ(cclm(lam, 1), 0);
    EXPECT_EQ(hw.lamPattern(0), 0x4u);

    ASSERT_EQ(cclc(lam), 0);
    EXPECT_EQ(hw.lamPattern(0), 0u);
    ASSERT_EQ(ctlm(lam, &l), 0);
    EXPECT_EQ(l, 0);
}

TEST_P(Camac758Test, BadArgumentsNeverReachTheCrate) {
    int data[4] = {}, qa[4] = {}, cb[4] = {2, 0, 0, 0};
    unsigned short shorts[4] = {};
    const int good[2] = {ext(0, 5, 0), ext(0, 5, 0)};
    const int f0[2] = {0, 0};
    const int fbad[2] = {0, 32};
    const int exbad[2] = {ext(0, 5, 0), 0x0800};
    const int crates[2] = {ext(0, 5, 0), ext(1, 5, 0)};
    const int backwards[2] = {ext(0, 5, 1), ext(0, 5, 0)};
    int negative[4] = {-1, 0, 0, 0};
    int lam = 0, q = 0;
    hw.clearLog();
    const auto expectBad = [&](int rc, const char* what) {
        EXPECT_EQ(rc, 1) << what;
        EXPECT_EQ(cdata()->error, CAMAC_ERR_ARGUMENT) << what;
        cdata()->error = 0;
    };
    expectBad(cfsa(-1, good[0], data, &q), "f -1");
    expectBad(cfsa(0, 0x10000 | good[0], data, &q), "stray address bit");
    expectBad(cfsa(0, good[0], nullptr, &q), "null data");
    expectBad(cfsa(0, good[0], data, nullptr), "null q");
    expectBad(cfga(fbad, good, data, qa, cb), "f 32 in a list");
    expectBad(csga(f0, exbad, shorts, qa, cb), "bad address in a list");
    expectBad(cfga(f0, good, nullptr, qa, cb), "null list data");
    expectBad(cfga(f0, good, data, qa, negative), "negative count");
    expectBad(cfga(f0, good, data, qa, nullptr), "null control block");
    expectBad(cfmad(0, crates, data, cb), "scan over two crates");
    expectBad(csmad(0, backwards, shorts, cb), "scan backwards");
    expectBad(cfmad(0, nullptr, data, cb), "null scan addresses");
    expectBad(cfubc(40, good[0], data, cb), "Q-stop f 40");
    expectBad(csubc(0, good[0], nullptr, cb), "Q-stop null data");
    expectBad(cfubr(0, 0x7000 | good[0], data, cb), "Q-repeat stray bits");
    expectBad(csubr(0, good[0], shorts, negative), "Q-repeat negative count");
    expectBad(cdlam(&lam, 16, 0, 25, 0, nullptr), "station 25");
    expectBad(cdlam(&lam, 16, 4, 1, 0, nullptr), "crate 4");
    expectBad(cdlam(&lam, 16, 0, 1, 16, nullptr), "subaddress 16");
    expectBad(cdlam(nullptr, 16, 0, 1, 0, nullptr), "null identifier");
    expectBad(cclm(ext(0, 0, 0), 1), "station 0");
    expectBad(cclc(-1), "negative identifier");
    expectBad(ctlm(ext(0, 3, 0), nullptr), "null l");
    EXPECT_TRUE(hw.log().empty()) << hw.log().size() << " register accesses";

    // A count of 0 does nothing and succeeds, with null arrays too.
    int zero[4] = {0, 9, 0, 0};
    EXPECT_EQ(cfubc(0, good[0], nullptr, zero), 0);
    EXPECT_EQ(zero[1], 0);
    EXPECT_TRUE(hw.log().empty());
}

TEST_P(Camac758Test, WithoutAConnectionEveryRoutineFails) {
    camac::disconnect();
    int data[2] = {}, cb[4] = {2, 0, 0, 0}, q = 0;
    EXPECT_EQ(cfsa(0, ext(0, 5, 0), data, &q), 1);
    EXPECT_EQ(cdata()->error, CAMAC_ERR_DONE_TIMEOUT);
    EXPECT_EQ(cfubc(0, ext(0, 5, 0), data, cb), 1);
    EXPECT_EQ(cb[1], 0);
    EXPECT_EQ(cclc(ext(0, 3, 0)), 1);
}

TEST_P(Camac758Test, NoXIsAFailureOfListsAndQStopAndShowsInCtstat) {
    // An empty station (9) in the middle of a readout list: the list goes on.
    const int fa[] = {16, 0, 0};
    const int exta[] = {ext(0, 5, 0), ext(0, 9, 0), ext(0, 5, 0)};
    int intc[] = {0x4321, 0, 0}, qa[] = {7, 7, 7}, cb[4] = {3, 0, 0, 0}, k = -5;
    EXPECT_EQ(cfga(fa, exta, intc, qa, cb), 1);
    EXPECT_EQ(cdata()->error, CAMAC_ERR_NO_X);
    EXPECT_EQ(cb[1], 3);
    EXPECT_EQ(intc[2], 0x4321);
    EXPECT_EQ(qa[0] + qa[1] + qa[2], 2);
    ctstat(&k);
    EXPECT_EQ(k, CAMAC_ERR_NO_X);
    // Q-stop at an empty station is no "0 words".
    EXPECT_EQ(csubc(0, ext(0, 9, 0), reinterpret_cast<unsigned short*>(intc), cb), 1);
    EXPECT_EQ(cdata()->error, CAMAC_ERR_NO_X);
    EXPECT_EQ(cb[1], 0);
    // K: Q and X, X alone (ended on Q = 0), neither.
    hw.install(0, 7, std::make_unique<Sequential>(std::vector<uint32_t>{1, 2}));
    int d = 0, q = 0, cb2[4] = {8, 0, 0, 0};
    cfsa(0, ext(0, 5, 0), &d, &q), ctstat(&k);
    EXPECT_EQ(k, 0);
    ASSERT_EQ(cfubc(0, ext(0, 7, 0), intc, cb2), 0);
    ctstat(&k);
    EXPECT_EQ(k, 1);
    cfsa(0, ext(0, 9, 0), &d, &q), ctstat(&k);
    EXPECT_EQ(k, 3);
    std::thread([] { int other = 0; ctstat(&other); EXPECT_EQ(other, -1); }).join();
}

TEST_P(Camac758Test, ControlBlockTallyAndLamIdentifierAreCheckedFirst) {
    int data[2] = {}, qa[2] = {};
    const int fa[2] = {0, 0}, exta[2] = {ext(0, 5, 0), ext(0, 5, 0)};
    int refused[4] = {-1, 9, 0, 0};
    EXPECT_EQ(cfubc(0, ext(0, 5, 0), data, refused), 1);
    EXPECT_EQ(refused[1], 0);
    // cb[2] is the LAM-synchronised transfers' alone: the others leave it as
    // it is, whatever a caller left there.
    int withLam[4] = {1, 9, ext(0, 3, 0), 0};
    EXPECT_EQ(cfga(fa, exta, data, qa, withLam), 0);
    EXPECT_EQ(withLam[1], 1);
    EXPECT_EQ(withLam[2], ext(0, 3, 0));
    EXPECT_EQ(cfubr(0, ext(0, 5, 0), data, withLam), 0);
    withLam[2] = ext(0, 0, 0);  // station 0 names no LAM
    EXPECT_EQ(cfubl(0, ext(0, 5, 0), data, withLam), 1);
    EXPECT_EQ(withLam[1], 0);
    int b = 0, c = 0, n = 0, a = 0, lam = 0;
    cdlam(&lam, 24, 2, 17, 3, nullptr);
    ASSERT_EQ(cglam(lam, &b, &c, &n, &a, nullptr), 0);
    EXPECT_EQ(b * 1000000 + c * 10000 + n * 100 + a, 24021703);
    EXPECT_EQ(cglam(ext(0, 25, 0), &b, &c, &n, &a, nullptr), 1);
}

TEST_P(Camac758Test, QScanLeavesAStationAtItsFirstGapAndEndsAtStation24) {
    hw.install(0, 6, std::make_unique<Gapped>());
    const int extb[2] = {ext(0, 6, 0), ext(0, 6, 15)};
    std::vector<int> data(8, -1);
    int cb[4] = {8, 0, 0, 0};
    ASSERT_EQ(cfmad(0, extb, data.data(), cb), 0);
    EXPECT_EQ(cb[1], 2);  // A0, A1; never A3
    EXPECT_EQ(data[1], 0x601);
    EXPECT_EQ(data[2], -1);
    // N 25-31 are no stations: a scan to N31 makes the actions of one to N24.
    const int to24[2] = {ext(0, 24, 0), ext(0, 24, 15)}, to31[2] = {ext(0, 24, 0), ext(0, 31, 15)};
    uint64_t before = hw.accessCount();
    ASSERT_EQ(cfmad(0, to24, data.data(), cb), 0);
    const uint64_t up24 = hw.accessCount() - before;
    before = hw.accessCount();
    ASSERT_EQ(cfmad(0, to31, data.data(), cb), 0);
    EXPECT_EQ(hw.accessCount() - before, up24);
}

TEST_P(Camac758Test, QRepeatLimitIsTheCallersToSet) {
    hw.install(0, 7, std::make_unique<Slow>(0));
    int data[1] = {}, cb[4] = {1, 0, 0, 0};
    EXPECT_EQ(camac758_set_qrepeat_limit(0), 1);
    EXPECT_EQ(camac758_set_qrepeat_limit(CAMAC_QREPEAT_LIMIT_MAX + 1), 1);
    ASSERT_EQ(camac758_set_qrepeat_limit(5), 0);
    EXPECT_EQ(cfubr(0, ext(0, 7, 0), data, cb), 1);
    camac758_set_qrepeat_limit(CAMAC_QREPEAT_LIMIT);
    EXPECT_EQ(cdata()->error, CAMAC_ERR_NO_Q);
    EXPECT_EQ(module<Slow>(7).actions, 5);
}

TEST_P(Camac758Test, LamWaitsSeeTheModulesLamBesideALinkedHandler) {
    static std::atomic<int> handled{0};
    handled = 0;
    hw.install(0, 8, std::make_unique<Digitiser>());
    int lam = 0;
    cdlam(&lam, 24, 0, 8, 0, nullptr);
    const auto raise = [&] { hw.withModule(0, 8, [](Module& m) { m.raiseLam(); }); };
    // No LAM: the wait ends at the time-out.
    camac758_set_lam_timeout(20);
    EXPECT_EQ(cclwt(lam), 1);
    EXPECT_EQ(cdata()->error, CAMAC_ERR_LAM_TIMEOUT);
    camac758_set_lam_timeout(CAMAC_LAM_TIMEOUT_MS);
    // Three words, each after its LAM, while a handler is linked too.
    ASSERT_EQ(cclnk([] { ++handled; }), 0);
    std::thread source([&] {
        for (int k = 0; k < 3; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
            raise();
            for (int ms = 0; module<Digitiser>(8).words == static_cast<uint32_t>(k) && ms < 500; ++ms)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int words[4] = {}, cb[4] = {3, 0, lam, 0};
    EXPECT_EQ(cfubl(2, ext(0, 8, 0), words, cb), 0);
    source.join();
    EXPECT_EQ(cb[1], 3);
    EXPECT_EQ(words[2], 3);
    // cclwt leaves the LAM for the handler, and the handler's link leaves it to cclwt.
    raise();
    EXPECT_EQ(cclwt(lam), 0);
    int l = 0;
    ctlm(lam, &l);
    EXPECT_EQ(l, 1);
    for (int ms = 0; handled == 0 && ms < 2000; ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GT(handled.load(), 0);
    cculnk();
}

TEST_P(Camac758Test, CrateDemandIsSwitchedAndTested) {
    int l = 7;
    ASSERT_EQ(cccd(ext(0, 1, 0), 1), 0);
    ASSERT_EQ(ctcd(ext(0, 1, 0), &l), 0);
    EXPECT_EQ(l, 1);
    ASSERT_EQ(cccd(ext(0, 1, 0), 0), 0);
    ASSERT_EQ(ctcd(ext(0, 1, 0), &l), 0);
    EXPECT_EQ(l, 0);
}

TEST_P(Camac758Test, APackedBlockIsOneKernelRequest) {
    if (!packed()) GTEST_SKIP() << "the register path has no block request";
    hw.install(0, 7, std::make_unique<Sequential>(std::vector<uint32_t>(300, 5)));
    std::vector<int> data(300);
    int cb[4] = {300, 0, 0, 0};
    const size_t before = kt40kernel::Kernel::instance().requests().size();
    ASSERT_EQ(cfubc(0, ext(0, 7, 0), data.data(), cb), 0);
    EXPECT_EQ(cb[1], 300);
    EXPECT_EQ(kt40kernel::Kernel::instance().requests().size() - before, 1u);
}

// The review's race: a second thread hammers an empty station (X = 0) while
// Q-repeat transfers run at a register that always gives X and Q.
TEST_P(Camac758Test, AnotherThreadsActionsNeverChangeWhatABlockSees) {
    std::atomic<bool> stop{false};
    std::thread hammer([&] {
        int d = 0;
        char q = 0;
        while (!stop) cssa(0, ext(0, 9, 0), &d, &q);
    });
    int falseFailures = 0;
    for (int k = 0; k < 2000; ++k) {
        int data[2] = {}, cb[4] = {2, 0, 0, 0};
        falseFailures += cfubr(0, ext(0, 5, 0), data, cb);
    }
    stop = true;
    hammer.join();
    EXPECT_EQ(falseFailures, 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, Camac758Test, ::testing::Values("virtual", "virtual-pci"), [](const auto& info) {
    std::string n = info.param;
    for (auto& c : n)
        if (c == '-') c = '_';
    return n;
});

}  // namespace
