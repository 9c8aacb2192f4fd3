// The virtual adapter as the PCI driver sees it: the packed register port of
// the controller block, the bridge's interrupt register, configuration space,
// the PCI interrupt line and the faults, over the crates the ISA face drives.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"

namespace {

using kt40sim::Access;
using kt40sim::accessWord;
using kt40sim::Adapter;
using kt40sim::Direction;
using kt40sim::Face;
using kt40sim::Fault;
using kt40sim::kTargetCmd;
using kt40sim::kTargetRsel;
using kt40sim::kTargetWdhi;
using kt40sim::kTargetWdlo;

constexpr uint32_t kQ = kt40sim::kCompletionQ;
constexpr uint32_t kX = kt40sim::kCompletionX;
constexpr uint32_t kBusy = kt40sim::kCompletionBusy;
constexpr uint32_t kCycle = kt40sim::kCompletionCycle;
constexpr uint32_t kDone = kt40sim::kCompletionDone;
constexpr uint32_t kError = kt40sim::kCompletionError;
constexpr uint32_t kStateBits = kBusy | kCycle | kDone | kError;

// Status word bits (CMD after control, write and unaddressed commands).
constexpr uint32_t kL = 0x8000;
constexpr uint32_t kSX = 0x4000;
constexpr uint32_t kSQ = 0x2000;
constexpr uint32_t kI = 0x1000;
constexpr uint32_t kOnline = 0x0400;

constexpr uint32_t crateBits(int crate) { return static_cast<uint32_t>(crate) << 22; }

uint16_t command(int n, int a, int f, bool wide = false) {
    return static_cast<uint16_t>(n << 9 | a << 5 | f | (wide ? 0x4000 : 0));
}

struct PciListenerGuard {
    int id;
    ~PciListenerGuard() { Adapter::instance().removePciInterruptListener(id); }
};

class PciFaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ad.reset();
        wdsim::controls().reset();
    }

    Adapter& ad = Adapter::instance();

    uint32_t port() { return ad.pciRead(kt40sim::kControllerPort); }
    void put(uint32_t target, int crate, uint16_t value) { ad.pciWrite(kt40sim::kControllerPort, accessWord(target, crate, value)); }
    uint32_t intcsr() { return ad.bridgeRead(kt40sim::kBridgeIntCsr); }

    // The driver's completion wait, bounded: reads until done or error shows
    // with neither busy bit set.
    uint32_t complete() {
        uint32_t w = 0;
        for (int i = 0; i < 1000; ++i) {
            w = port();
            if (w & kError) return w;
            if (!(w & (kBusy | kCycle)) && (w & kDone)) return w;
        }
        ADD_FAILURE() << "no completion";
        return w;
    }
    // The driver's data load: the value, then polls until busy clears.
    void load(int crate, uint32_t data, bool wide) {
        put(kTargetWdlo, crate, static_cast<uint16_t>(data & 0xFFFF));
        while (port() & kBusy) {
        }
        if (wide) {
            put(kTargetWdhi, crate, static_cast<uint16_t>((data >> 16) & 0xFF));
            while (port() & kBusy) {
            }
        }
    }
    uint32_t write(int crate, int n, int a, uint32_t data, bool wide = true) {
        load(crate, data, wide);
        put(kTargetCmd, crate, command(n, a, 16, wide));
        return complete();
    }
    uint32_t read24(int crate, int n, int a) {
        put(kTargetCmd, crate, command(n, a, 0, true));
        const uint32_t lo = complete() & 0xFFFF;
        put(kTargetRsel, crate, 1);
        return lo | (complete() & 0xFF) << 16;
    }
    uint32_t moduleWord(int crate, int station, int a = 0) {
        uint32_t w = 0xDEADBEEF;
        ad.withModule(crate, station, [&](kt40sim::Module& m) { w = dynamic_cast<kt40sim::RegisterModule&>(m).word(a); });
        return w;
    }
    void load4Crates() {
        std::string error;
        ASSERT_TRUE(ad.loadCrates("crate 0\n 5 register\ncrate 1\n 5 memory\n 3 lamsource\n"
                                  "crate 2\n 3 register\n 5 register\ncrate 3\n 5 register\n",
                                  error))
            << error;
    }
};

// ---- Driver sequences through the packed port -------------------------------

TEST_F(PciFaceTest, AddressedReadsAndWritesCarryTheirCrate) {
    load4Crates();
    ad.clearLog();
    // 24-bit write of 0xABCDEF to N5 A2 of crate 1, then the read back.
    EXPECT_EQ(write(1, 5, 2, 0xABCDEF), kDone | kQ | kX | kSX | kSQ | kOnline | crateBits(1));
    EXPECT_EQ(moduleWord(1, 5, 2), 0xABCDEFu);
    put(kTargetCmd, 1, command(5, 2, 0, true));
    EXPECT_EQ(complete(), kDone | kQ | kX | 0xCDEF | crateBits(1));
    put(kTargetRsel, 1, 1);
    EXPECT_EQ(complete(), kDone | kQ | kX | 0xAB | crateBits(1)) << "high byte, X and Q of the read";

    std::vector<uint32_t> written;
    for (const Access& a : ad.log())
        if (a.dir == Direction::Write) written.push_back(a.value);
    EXPECT_EQ(written, (std::vector<uint32_t>{0x6CDEF, 0x700AB, 0x44A50, 0x44A40, 0x50001}));

    // 16-bit write of 0x1234 to N3 A0 of crate 2: WDHI is neither written nor used.
    put(kTargetWdhi, 2, 0xFF);
    EXPECT_EQ(write(2, 3, 0, 0x1234, false), kDone | kQ | kX | kSX | kSQ | kOnline | crateBits(2));
    EXPECT_EQ(moduleWord(2, 3), 0x1234u);
    put(kTargetCmd, 2, command(3, 0, 0));
    EXPECT_EQ(complete(), kDone | kQ | kX | 0x1234 | crateBits(2));

    EXPECT_EQ(ad.isaRead(kt40sim::kCsr) & 0xC1C0, 0) << "CSR still selects crate 0";
}

TEST_F(PciFaceTest, ControlAndCrateCommands) {
    load4Crates();
    ad.raiseLam(1, 3);
    put(kTargetCmd, 1, command(3, 0, 8));
    EXPECT_EQ(complete(), kDone | kQ | kX | kL | kSX | kSQ | kOnline | crateBits(1)) << "F8 with a LAM";
    put(kTargetCmd, 1, command(3, 0, 10));
    EXPECT_EQ(complete(), kDone | kQ | kX | kSX | kSQ | kOnline | crateBits(1)) << "F10 clears it";
    EXPECT_EQ(ad.lamPattern(1), 0u);

    // Z to crate 3; bits 20-31 of an access word are ignored.
    ad.pciWrite(kt40sim::kControllerPort, 0xABC00000 | accessWord(kTargetCmd, 3, 0x8002));
    EXPECT_EQ(complete(), kDone | kQ | kX | kSX | kSQ | kI | kOnline | crateBits(3));
    EXPECT_TRUE(ad.inhibit(3));
    EXPECT_FALSE(ad.inhibit(0));
    EXPECT_FALSE(ad.inhibit(1));

    put(kTargetCmd, 3, 0x8008);
    EXPECT_EQ(complete() & 0xFFFF, kSX | kSQ | kOnline);
    EXPECT_FALSE(ad.inhibit(3));

    ad.setCrateOnline(2, false);
    put(kTargetCmd, 2, 0x8002);
    EXPECT_EQ(complete(), kDone | crateBits(2)) << "an off-line crate: no X, Q or on-line";
}

TEST_F(PciFaceTest, LamReadoutOfBothSelections) {
    std::string error;
    ASSERT_TRUE(ad.loadCrates("crate 0\n 5 register\ncrate 1\n 2 lamsource\n 16 lamsource\n 17 lamsource\n 24 lamsource\n",
                              error))
        << error;
    for (int n : {2, 16, 17, 24}) ad.raiseLam(1, n);
    put(kTargetRsel, 1, 2);
    EXPECT_EQ(complete(), kDone | 0x8002 | crateBits(1)) << "stations 2 and 16";
    put(kTargetRsel, 1, 4);
    EXPECT_EQ(complete(), kDone | kL | kOnline | 0x81 | crateBits(1)) << "stations 17 and 24 in the status word";

    put(kTargetRsel, 0, 4);
    EXPECT_EQ(complete(), kDone | kOnline | crateBits(0)) << "crate 0 has no LAM";
    put(kTargetRsel, 1, 3);
    EXPECT_EQ(complete() & 0xFFFF, 0u) << "an unknown readout delivers 0";
}

TEST_F(PciFaceTest, CsrSelectionStaysWhileEveryCrateIsReached) {
    load4Crates();
    ad.setCrateOnline(1, true);
    ad.isaWrite(kt40sim::kCsr, 6);  // crate 2, interrupt enable
    for (int c = 0; c < 4; ++c) {
        const uint32_t w = write(c, 5, 0, 0x100000u * static_cast<uint32_t>(c + 1) + static_cast<uint32_t>(c));
        EXPECT_EQ(w >> 22, static_cast<uint32_t>(c)) << "crate " << c;
    }
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(read24(c, 5, 0), 0x100000u * static_cast<uint32_t>(c + 1) + static_cast<uint32_t>(c)) << "crate " << c;
    EXPECT_EQ(ad.isaRead(kt40sim::kCsr) & 0xC1C4, 0x8180) << "crate 2 and the enable, untouched";
}

TEST_F(PciFaceTest, BothFacesDriveTheSameController) {
    // ISA write, PCI read.
    ad.isaWrite(kt40sim::kWdlo, 0x5678);
    ad.isaWrite(kt40sim::kWdhi, 0x0034);
    ad.isaWrite(kt40sim::kCmd, command(5, 0, 16, true));
    EXPECT_EQ(read24(0, 5, 0), 0x345678u);

    // Data registers loaded through PCI, command through ISA.
    load(0, 0x9ABCDE, true);
    ad.isaWrite(kt40sim::kCmd, command(5, 0, 16, true));
    EXPECT_EQ(moduleWord(0, 5), 0x9ABCDEu);

    // An ISA read leaves its high byte for a PCI readout, and the completion
    // word reports the CSR's crate for an ISA action.
    std::string error;
    ASSERT_TRUE(ad.loadCrates("crate 0\n 5 register\ncrate 2\n 5 register\n", error)) << error;
    write(2, 5, 0, 0x77AA55);
    ad.isaWrite(kt40sim::kCsr, 2);
    ad.isaWrite(kt40sim::kCmd, command(5, 0, 0, true));
    EXPECT_EQ(complete(), kDone | kQ | kX | 0xAA55 | crateBits(2));
    put(kTargetRsel, 0, 1);
    EXPECT_EQ(complete() & 0xFFFF, 0x77u);
    EXPECT_EQ(ad.isaRead(kt40sim::kCmd), 0x77) << "and the ISA face sees the PCI readout";
}

// ---- Timing ------------------------------------------------------------------

TEST_F(PciFaceTest, PollsCountPortReadsAndCsrReadsAlike) {
    ad.setDonePolls(3);
    put(kTargetCmd, 0, command(5, 0, 0));
    EXPECT_EQ(port() & kStateBits, kCycle);
    EXPECT_EQ(ad.isaRead(kt40sim::kCsr) & 0x10, 0) << "a CSR read is a poll too";
    EXPECT_EQ(port() & kStateBits, kCycle);
    EXPECT_EQ(port() & kStateBits, kDone);
    EXPECT_EQ(port() & kStateBits, kDone) << "done stays";

    ad.setDonePolls(0);
    ad.setBusyPolls(2);
    for (uint32_t target : {kTargetWdlo, kTargetWdhi}) {
        put(target, 0, 1);
        EXPECT_EQ(port() & (kBusy | kCycle), kBusy) << target;
        EXPECT_EQ(port() & (kBusy | kCycle), kBusy) << target;
        EXPECT_EQ(port() & (kBusy | kCycle), 0u) << target;
    }
    put(kTargetCmd, 0, command(5, 0, 16));
    EXPECT_EQ(port() & kStateBits, kBusy | kDone) << "a command is busy while taken in and may be done already";
    EXPECT_EQ(port() & kStateBits, kBusy | kDone);
    EXPECT_EQ(port() & kStateBits, kDone);
}

// ---- Faults ------------------------------------------------------------------

TEST_F(PciFaceTest, DoneNeverErrorBitAndBusyStuck) {
    ad.setFault(Fault::DoneNever);
    put(kTargetCmd, 0, command(5, 0, 0));
    for (int i = 0; i < 70000; ++i) ASSERT_EQ(port() & kStateBits, kCycle) << "read " << i;
    ad.setFault(Fault::None);
    EXPECT_EQ(port() & kStateBits, kDone);

    ad.setFault(Fault::ErrorBit);
    put(kTargetRsel, 0, 4);
    EXPECT_EQ(port() & kStateBits, kError);

    ad.setFault(Fault::BusyStuck);
    put(kTargetWdlo, 0, 1);
    for (int i = 0; i < 70000; ++i) ASSERT_TRUE(port() & kBusy) << "read " << i;
    put(kTargetCmd, 0, command(5, 0, 0));
    EXPECT_EQ(port() & kStateBits, kBusy | kDone) << "actions complete under a stuck busy";
}

TEST_F(PciFaceTest, WrongCrateReportsAnotherCrateOnly) {
    load4Crates();
    ad.setFault(Fault::WrongCrate);
    for (int c = 0; c < 4; ++c) {
        const uint32_t w = write(c, 5, 0, 0x40u + static_cast<uint32_t>(c));
        EXPECT_TRUE(w & kDone);
        EXPECT_EQ(w >> 22, static_cast<uint32_t>((c + 1) & 3)) << "crate " << c;
        EXPECT_EQ(moduleWord(c, 5, 0), 0x40u + static_cast<uint32_t>(c)) << "the cycle reached crate " << c;
    }
    ad.isaWrite(kt40sim::kCsr, 1);
    EXPECT_EQ(ad.isaRead(kt40sim::kCsr) & 0xC0C0, 0x4040) << "the ISA CSR is not affected";
}

TEST_F(PciFaceTest, NoXDropsXOfAddressedCommandsOnBothFaces) {
    ad.setFault(Fault::NoX);
    EXPECT_EQ(write(0, 5, 0, 0x123456), kDone | kQ | kSQ | kOnline) << "Q and the status word without X";
    EXPECT_EQ(moduleWord(0, 5), 0x123456u) << "the module still acts";
    EXPECT_EQ(read24(0, 5, 0), 0x123456u) << "and delivers its data";
    ad.isaWrite(kt40sim::kCmd, command(5, 0, 0));
    EXPECT_EQ(ad.isaRead(kt40sim::kCsr) & 0x13, 0x11);

    put(kTargetCmd, 0, 0x8001);
    EXPECT_EQ(complete() & (kX | kQ), kX | kQ) << "a crate command keeps its X";
    ad.setFault(Fault::None);
    put(kTargetCmd, 0, command(5, 0, 0));
    EXPECT_EQ(complete() & (kX | kQ), kX | kQ);
}

TEST_F(PciFaceTest, DeadAdapterSilencesBothBlocksButNotConfigurationSpace) {
    write(0, 5, 0, 0x42);
    ad.setFault(Fault::Dead);
    ad.raisePciInterrupt();
    const uint64_t before = ad.accessCount();
    put(kTargetWdlo, 0, 0xFFFF);
    put(kTargetCmd, 0, command(5, 0, 16));
    ad.bridgeWrite(kt40sim::kBridgeIntCsr, kt40sim::kBridgeAcknowledge);
    EXPECT_EQ(port(), 0u);
    EXPECT_EQ(intcsr(), 0u);
    EXPECT_EQ(ad.accessCount(), before + 5) << "the accesses still happen on the bus";
    EXPECT_EQ(ad.pciConfigRead(0), uint32_t{kt40sim::kPciDeviceId} << 16 | kt40sim::kPciVendorId);
    ad.setFault(Fault::None);
    EXPECT_EQ(moduleWord(0, 5), 0x42u) << "the write was lost";
    EXPECT_EQ(intcsr() & kt40sim::kBridgeIntPending, kt40sim::kBridgeIntPending) << "so was the acknowledge";
}

// ---- Bridge interrupt register and the PCI line ----------------------------

TEST_F(PciFaceTest, LamEdgeLatchesPendingUntilAcknowledged) {
    std::vector<bool> levels;
    PciListenerGuard g{ad.addPciInterruptListener([&](bool high) { levels.push_back(high); })};
    EXPECT_EQ(intcsr(), kt40sim::kBridgeIntCsrPowerUp);

    ad.raiseLam(0, 3);
    EXPECT_FALSE(ad.pciInterruptLine()) << "the CSR enable is clear";
    ad.isaWrite(kt40sim::kCsr, 4);
    EXPECT_EQ(intcsr(), kt40sim::kBridgeIntCsrPowerUp | kt40sim::kBridgeIntPending);
    EXPECT_TRUE(ad.pciInterruptLine());
    EXPECT_TRUE(ad.interruptLine());

    ad.bridgeWrite(kt40sim::kBridgeIntCsr, kt40sim::kBridgeAcknowledge);
    EXPECT_EQ(intcsr(), kt40sim::kBridgeIntCsrPowerUp) << "bit 10 acts and does not read back";
    EXPECT_FALSE(ad.pciInterruptLine()) << "no new edge while the LAM stays";
    EXPECT_TRUE(ad.interruptLine()) << "the ISA line follows the LAM itself";

    ad.clearLam(0, 3);
    ad.raiseLam(0, 3);
    EXPECT_TRUE(ad.pciInterruptLine()) << "a new LAM, a new edge";
    ad.clearLam(0, 3);
    EXPECT_TRUE(ad.pciInterruptLine()) << "latched: the LAM going away does not clear it";
    ad.bridgeWrite(kt40sim::kBridgeIntCsr, kt40sim::kBridgeAcknowledge);
    EXPECT_EQ(levels, (std::vector<bool>{true, false, true, false}));
}

TEST_F(PciFaceTest, LamOfAnotherCrateAndEnableBitsOfTheBridge) {
    std::string error;
    ASSERT_TRUE(ad.loadCrates("crate 0\n 5 register\ncrate 1\n 4 lamsource\n", error)) << error;
    ad.isaWrite(kt40sim::kCsr, 4);
    ad.raiseLam(1, 4);
    EXPECT_TRUE(ad.pciInterruptLine()) << "crate 1 while crate 0 is selected";

    ad.bridgeWrite(kt40sim::kBridgeIntCsr, 0x0103);  // PCI interrupt enable (bit 6) off
    EXPECT_FALSE(ad.pciInterruptLine());
    EXPECT_EQ(intcsr(), 0x0107u) << "still pending";
    ad.bridgeWrite(kt40sim::kBridgeIntCsr, 0x0142);  // local input enable (bit 0) off
    EXPECT_FALSE(ad.pciInterruptLine());
    ad.bridgeWrite(kt40sim::kBridgeIntCsr, 0x0143);
    EXPECT_TRUE(ad.pciInterruptLine()) << "both enables back, no acknowledge yet";
    ad.bridgeWrite(kt40sim::kBridgeIntCsr, 0xFFFFFFFF);
    EXPECT_EQ(intcsr(), 0x03DBu) << "the control bits read back, status and clear bits do not";

    for (uint32_t off : {0u, 0x48u, 0x50u, 0x7Cu}) EXPECT_EQ(ad.bridgeRead(off), 0u) << off;
    const uint64_t before = ad.accessCount();
    EXPECT_EQ(ad.bridgeRead(kt40sim::kBridgeIoLength), 0xFFFFFFFFu);
    EXPECT_EQ(ad.pciRead(kt40sim::kControllerIoLength), 0xFFFFFFFFu);
    ad.pciWrite(kt40sim::kControllerIoLength, accessWord(kTargetCmd, 0, 0x8002));
    EXPECT_EQ(ad.accessCount(), before) << "outside the blocks nothing is decoded";
    EXPECT_FALSE(ad.inhibit(0));
}

TEST_F(PciFaceTest, RaisedInterruptsListenersAndReset) {
    int removedCalls = 0;
    std::vector<bool> levels;
    std::vector<bool> isaLevels;
    const int id = ad.addPciInterruptListener([&](bool) { ++removedCalls; });
    PciListenerGuard g{ad.addPciInterruptListener([&](bool high) { levels.push_back(high); })};
    const int isaId = ad.addInterruptListener([&](bool high) { isaLevels.push_back(high); });
    ad.removePciInterruptListener(id);

    ad.raisePciInterrupt();
    ad.raisePciInterrupt();  // still high: no second edge
    EXPECT_TRUE(ad.pciInterruptLine());
    EXPECT_FALSE(ad.interruptLine()) << "the ISA line is separate";
    EXPECT_TRUE(intcsr() & kt40sim::kBridgeIntPending);
    ad.bridgeWrite(kt40sim::kBridgeIntCsr, kt40sim::kBridgeIntCsrPowerUp);
    EXPECT_TRUE(ad.pciInterruptLine()) << "a write without bit 10 acknowledges nothing";
    ad.reset();
    EXPECT_FALSE(ad.pciInterruptLine());
    EXPECT_EQ(intcsr(), kt40sim::kBridgeIntCsrPowerUp);
    ad.raisePciInterrupt();
    ad.removeInterruptListener(isaId);

    EXPECT_EQ(removedCalls, 0);
    EXPECT_EQ(levels, (std::vector<bool>{true, false, true})) << "listeners survive a reset and hear the line fall";
    EXPECT_TRUE(isaLevels.empty());
}

// ---- Configuration space and resources -------------------------------------

TEST_F(PciFaceTest, ConfigurationSpaceDescribesBothBlocksAndTheInterrupt) {
    const kt40sim::PciResources r = ad.pciResources();
    EXPECT_EQ(ad.pciConfigRead(0x00), 0x00404B54u);
    EXPECT_EQ(ad.pciConfigRead(0x02), 0x0040u) << "device ID alone";
    EXPECT_EQ(ad.pciConfigRead(0x2C), ad.pciConfigRead(0x00)) << "subsystem IDs";
    EXPECT_EQ(ad.pciConfigRead(0x04) & 1, 1u) << "I/O space decoding on";
    EXPECT_EQ(ad.pciConfigRead(0x0C) >> 16 & 0x7F, 0u) << "header type 0";

    uint32_t bar[6];
    for (uint32_t i = 0; i < 6; ++i) bar[i] = ad.pciConfigRead(0x10 + 4 * i);
    EXPECT_EQ(bar[1], r.bridgeBase | 1) << "BAR1: I/O";
    EXPECT_EQ(bar[3], r.controllerBase | 1) << "BAR3: I/O";
    for (int i : {0, 2, 4, 5}) EXPECT_EQ(bar[i], 0u) << "BAR" << i;
    // I/O resources are listed in BAR order, so BAR1 and BAR3 are the first
    // and second I/O ranges of a start.
    int ioBefore3 = 0;
    for (int i = 0; i < 3; ++i) ioBefore3 += static_cast<int>(bar[i] & 1);
    EXPECT_EQ(ioBefore3, 1);
    EXPECT_EQ(r.bridgeBase % r.bridgeLength, 0u) << "blocks are aligned to their size";
    EXPECT_EQ(r.controllerBase % r.controllerLength, 0u);
    EXPECT_TRUE(r.controllerBase >= r.bridgeBase + r.bridgeLength || r.bridgeBase >= r.controllerBase + r.controllerLength)
        << "the blocks do not overlap";

    const uint32_t irq = ad.pciConfigRead(0x3C);
    EXPECT_EQ(irq & 0xFF, r.rawLevel);
    EXPECT_EQ(irq & 0xFF, r.rawVector);
    EXPECT_EQ(irq >> 8 & 0xFF, 1u) << "INTA#";
    EXPECT_EQ(ad.pciConfigRead(0x40), 0u);
    EXPECT_EQ(ad.pciConfigRead(0x100), 0xFFFFFFFFu);
}

// ---- Access log ----------------------------------------------------------------

TEST_F(PciFaceTest, LogTellsTheFacesApart) {
    put(kTargetCmd, 2, command(5, 0, 0));
    port();
    ad.pciWrite(8, 0x1234);  // reserved: logged, no effect
    ad.pciRead(4);
    ad.bridgeRead(kt40sim::kBridgeIntCsr);
    ad.bridgeWrite(kt40sim::kBridgeIntCsr, kt40sim::kBridgeAcknowledge);
    ad.isaRead(kt40sim::kCmd);
    const std::vector<Access> want{
        {0, Face::Pci, Direction::Write, 0, 0x80A00},
        {0, Face::Pci, Direction::Read, 0, kDone | crateBits(2)},
        {0, Face::Pci, Direction::Write, 8, 0x1234},
        {0, Face::Pci, Direction::Read, 4, 0},
        {0, Face::Bridge, Direction::Read, 0x4C, 0x143},
        {0, Face::Bridge, Direction::Write, 0x4C, 0x543},
        {0, Face::Isa, Direction::Read, 0, 0},
    };
    EXPECT_EQ(ad.log(), want) << "crate 2 is off-line in the default crate";
    EXPECT_EQ(ad.accessCount(), want.size());
}

TEST_F(PciFaceTest, ConcurrentFacesAndInterrupts) {
    std::atomic<int> edges{0};
    PciListenerGuard g{ad.addPciInterruptListener([&](bool high) {
        if (high) ++edges;
    })};
    constexpr int kEach = 2000;
    std::thread isa([] {
        auto& a = Adapter::instance();
        for (int i = 0; i < kEach; ++i) {
            a.isaWrite(kt40sim::kCmd, command(5, 0, 0));
            a.isaRead(kt40sim::kCsr);
        }
    });
    std::thread pci([] {
        auto& a = Adapter::instance();
        for (int i = 0; i < kEach; ++i) {
            a.pciWrite(0, accessWord(kTargetCmd, 0, command(3, 0, i % 2 ? 25 : 10)));
            a.pciRead(0);
        }
    });
    std::thread bridge([] {
        auto& a = Adapter::instance();
        for (int i = 0; i < kEach; ++i) {
            a.raisePciInterrupt();
            a.bridgeWrite(kt40sim::kBridgeIntCsr, kt40sim::kBridgeAcknowledge);
        }
    });
    isa.join();
    pci.join();
    bridge.join();
    EXPECT_EQ(ad.accessCount(), uint64_t{kEach} * 5);
    EXPECT_EQ(edges.load(), kEach) << "every raise after an acknowledge is a new edge";
    EXPECT_FALSE(ad.pciInterruptLine());
}

}  // namespace
