// The stand-in kernel service as the access layer uses it: device handles,
// the version query, card registration, port transfers that reach the
// virtual adapter, and the interrupt enable / wait / disable requests.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"

namespace {

using kt40sim::Adapter;
using wdsim::Handle;

constexpr uint32_t kNoAnswer = 0xFFFFFFFF;
constexpr uint32_t kRead = 21;
constexpr uint32_t kWrite = 24;
constexpr uint32_t kCsrPort = 0x158;
constexpr uint32_t kCmdPort = 0x150;
constexpr size_t kCardHandle = 808;
constexpr size_t kIrqHandle = 44 + 24;

void put(std::vector<uint8_t>& rec, size_t offset, uint32_t v) { std::memcpy(rec.data() + offset, &v, 4); }
uint32_t get(const std::vector<uint8_t>& rec, size_t offset) {
    uint32_t v;
    std::memcpy(&v, rec.data() + offset, 4);
    return v;
}

// A registration record: the port range as item 0, the interrupt line as item 1.
std::vector<uint8_t> registration(uint32_t port = 0x150, uint32_t length = 10, bool irq = true, uint32_t line = 3) {
    std::vector<uint8_t> r(wdsim::kCardRecordSize, 0);
    put(r, 0, irq ? 2 : 1);
    put(r, 4, 3);
    put(r, 8, 1);
    put(r, 20, port);
    put(r, 24, length);
    if (irq) {
        put(r, 44, 1);
        put(r, 60, line);
    }
    return r;
}

// Polls `cond` for up to five seconds.
template <class Cond>
bool eventually(Cond cond) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

uint32_t call(Handle h, uint32_t code, void* rec, uint32_t size) {
    uint32_t out = kNoAnswer;
    wdsim::deviceControl(h, code, rec, size, &out, sizeof out);
    return out;
}

using IrqRecord = std::array<uint32_t, 12>;

// An interrupt wait on a handle of its own, in a thread of its own.
class Waiter {
public:
    explicit Waiter(uint32_t irqHandle) {
        rec_[0] = irqHandle;
        thread_ = std::thread([this] {
            const Handle h = wdsim::open(wdsim::kDevicePath);
            status_ = call(h, wdsim::kIntWait, rec_.data(), wdsim::kInterruptRecordSize);
            wdsim::close(h);
            finished_ = true;
        });
    }
    ~Waiter() {
        // A test that failed half-way must not leave the thread blocked.
        while (!finished_) {
            wdsim::controls().reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (thread_.joinable()) thread_.join();
    }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    bool finished() const { return finished_; }
    // Joins and returns the record; the wait must be over or about to end.
    const IrqRecord& result() {
        EXPECT_TRUE(eventually([&] { return finished_.load(); })) << "the wait did not end";
        if (finished_ && thread_.joinable()) thread_.join();
        return rec_;
    }
    uint32_t status() const { return status_; }

    // True when the wait is blocked in the service (and not over).
    bool blocks() {
        return eventually([&] { return finished_ || wdsim::controls().waitsInProgress() > 0; }) && !finished_;
    }

private:
    IrqRecord rec_{};
    uint32_t status_ = 0;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        Adapter::instance().reset();
        wdsim::controls().reset();
        h = wdsim::open(wdsim::kDevicePath);
        ASSERT_NE(h, wdsim::kInvalidHandle);
    }

    uint32_t transfer(uint32_t port, uint32_t command, uint16_t* value, uint32_t bytes = 2,
                      uint32_t size = wdsim::kTransferRecordSize) {
        std::array<uint32_t, 8> rec{};
        rec[0] = port;
        rec[1] = command;
        rec[2] = bytes;
        rec[3] = 1;
        const auto address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(value));
        std::memcpy(&rec[6], &address, 8);
        return call(h, wdsim::kTransfer, rec.data(), size);
    }
    uint16_t readPort(uint32_t port) {
        uint16_t v = 0xA5A5;
        EXPECT_EQ(transfer(port, kRead, &v), wdsim::kStatusSuccess);
        return v;
    }
    void writePort(uint32_t port, uint16_t v) { EXPECT_EQ(transfer(port, kWrite, &v), wdsim::kStatusSuccess); }

    // Registers the adapter's card; returns the interrupt handle.
    uint32_t registerAdapter() {
        card = registration();
        EXPECT_EQ(call(h, wdsim::kCardRegister, card.data(), wdsim::kCardRecordSize), wdsim::kStatusSuccess);
        EXPECT_NE(get(card, kCardHandle), 0u);
        EXPECT_NE(get(card, kIrqHandle), 0u);
        return get(card, kIrqHandle);
    }
    uint32_t irqCall(uint32_t code, uint32_t irqHandle) {
        IrqRecord rec{};
        rec[0] = irqHandle;
        return call(h, code, rec.data(), wdsim::kInterruptRecordSize);
    }
    IrqRecord waitNow(uint32_t irqHandle) {
        IrqRecord rec{};
        rec[0] = irqHandle;
        EXPECT_EQ(call(h, wdsim::kIntWait, rec.data(), wdsim::kInterruptRecordSize), wdsim::kStatusSuccess);
        return rec;
    }
    // F25 on a LAM source through the registers.
    void raiseLamByCycle(int station) { writePort(kCmdPort, static_cast<uint16_t>(station << 9 | 25)); }
    void clearLamByCycle(int station) { writePort(kCmdPort, static_cast<uint16_t>(station << 9 | 10)); }

    Handle h = wdsim::kInvalidHandle;
    std::vector<uint8_t> card;
};

// ---- Handles and presence ---------------------------------------------------------

TEST_F(ServiceTest, OpensOnlyItsOwnPathWhilePresent) {
    EXPECT_EQ(wdsim::open("\\\\.\\WINDRVR5"), wdsim::kInvalidHandle);
    EXPECT_EQ(wdsim::open("WINDRVR6"), wdsim::kInvalidHandle);
    EXPECT_EQ(wdsim::open(nullptr), wdsim::kInvalidHandle);
    const Handle second = wdsim::open(wdsim::kDevicePath);
    EXPECT_NE(second, wdsim::kInvalidHandle);
    EXPECT_NE(second, h);
    EXPECT_EQ(wdsim::controls().openHandles(), 2);
    EXPECT_TRUE(wdsim::close(second));
    EXPECT_FALSE(wdsim::close(second));
    EXPECT_EQ(wdsim::controls().openHandles(), 1);

    uint32_t version[33] = {};
    uint32_t out = kNoAnswer;
    EXPECT_FALSE(wdsim::deviceControl(second, wdsim::kVersionQuery, version, sizeof version, &out, 4));
    EXPECT_FALSE(wdsim::deviceControl(wdsim::kInvalidHandle, wdsim::kVersionQuery, version, sizeof version, &out, 4));
    EXPECT_EQ(out, kNoAnswer);
    EXPECT_EQ(version[0], 0u);
    EXPECT_EQ(wdsim::controls().requestCount(wdsim::kVersionQuery), 0u) << "nothing reached the service";

    wdsim::controls().setPresent(false);
    EXPECT_EQ(wdsim::open(wdsim::kDevicePath), wdsim::kInvalidHandle);
    EXPECT_FALSE(wdsim::deviceControl(h, wdsim::kVersionQuery, version, sizeof version, &out, 4));
    EXPECT_EQ(out, kNoAnswer);
    wdsim::controls().setPresent(true);
    EXPECT_TRUE(wdsim::deviceControl(h, wdsim::kVersionQuery, version, sizeof version, &out, 4));
    EXPECT_EQ(out, wdsim::kStatusSuccess);
}

TEST_F(ServiceTest, VersionQueryWritesWordZero) {
    std::vector<uint8_t> rec(wdsim::kVersionRecordSize, 0);
    EXPECT_EQ(call(h, wdsim::kVersionQuery, rec.data(), wdsim::kVersionRecordSize), wdsim::kStatusSuccess);
    EXPECT_EQ(get(rec, 0), 621u);
    wdsim::controls().setVersion(620);
    EXPECT_EQ(call(h, wdsim::kVersionQuery, rec.data(), wdsim::kVersionRecordSize), wdsim::kStatusSuccess);
    EXPECT_EQ(get(rec, 0), 620u);
    for (size_t i = 4; i < rec.size(); ++i) ASSERT_EQ(rec[i], 0) << "byte " << i;
    EXPECT_EQ(call(h, 0x95382400, rec.data(), wdsim::kVersionRecordSize), wdsim::kStatusInvalidIoctl);
}

// ---- Card registration ---------------------------------------------------------------

TEST_F(ServiceTest, RegistrationWritesOnlyTheTwoHandles) {
    auto rec = registration();
    const auto sent = rec;
    ASSERT_EQ(call(h, wdsim::kCardRegister, rec.data(), wdsim::kCardRecordSize), wdsim::kStatusSuccess);
    EXPECT_NE(get(rec, kCardHandle), 0u);
    EXPECT_NE(get(rec, kIrqHandle), 0u);
    for (size_t i = 0; i < rec.size(); ++i) {
        if ((i < kCardHandle || i >= kCardHandle + 4) && (i < kIrqHandle || i >= kIrqHandle + 4)) {
            ASSERT_EQ(rec[i], sent[i]) << "byte " << i;
        }
    }
    EXPECT_EQ(wdsim::controls().registeredCards(), 1);
}

TEST_F(ServiceTest, OverlappingRegistrationIsRefusedUntilReleased) {
    registerAdapter();
    struct Case {
        std::vector<uint8_t> rec;
        uint32_t status;
    };
    std::vector<Case> cases{
        {registration(), wdsim::kStatusResourceOverlap},
        {registration(0x140, 0x11, false), wdsim::kStatusResourceOverlap},  // last byte 0x150
        {registration(0x159, 2, false), wdsim::kStatusResourceOverlap},
        {registration(0x300, 8, true), wdsim::kStatusResourceOverlap},  // the interrupt is taken
        {registration(0x15A, 8, false), wdsim::kStatusSuccess},         // adjacent
        {registration(0x140, 0x10, false), wdsim::kStatusSuccess},
        {registration(0xFFFFFFF0, 0x10, false), wdsim::kStatusSuccess},  // ends at 2^32
        {registration(0xFFFFFFF8, 4, false), wdsim::kStatusResourceOverlap},
    };
    for (auto& c : cases) {
        EXPECT_EQ(call(h, wdsim::kCardRegister, c.rec.data(), wdsim::kCardRecordSize), c.status)
            << std::hex << get(c.rec, 20) << "+" << get(c.rec, 24);
        if (c.status != wdsim::kStatusSuccess) {
            EXPECT_EQ(get(c.rec, kCardHandle), 0u);
        }
    }
    EXPECT_EQ(wdsim::controls().registeredCards(), 4);

    EXPECT_EQ(call(h, wdsim::kCardUnregister, card.data(), wdsim::kCardRecordSize), wdsim::kStatusSuccess);
    EXPECT_EQ(wdsim::controls().registeredCards(), 3);
    EXPECT_EQ(call(h, wdsim::kCardUnregister, card.data(), wdsim::kCardRecordSize), wdsim::kStatusInvalidHandle);
    auto again = registration();
    EXPECT_EQ(call(h, wdsim::kCardRegister, again.data(), wdsim::kCardRecordSize), wdsim::kStatusSuccess);
    EXPECT_NE(get(again, kCardHandle), get(card, kCardHandle)) << "handles are not reused";
}

TEST_F(ServiceTest, RefusedRegistrationWritesNothing) {
    wdsim::controls().refuseRegistration(wdsim::kStatusResourceOverlap);
    auto rec = registration();
    EXPECT_EQ(call(h, wdsim::kCardRegister, rec.data(), wdsim::kCardRecordSize), wdsim::kStatusResourceOverlap);
    EXPECT_EQ(rec, registration());
    wdsim::controls().refuseRegistration(wdsim::kStatusInsufficientResources);
    EXPECT_EQ(call(h, wdsim::kCardRegister, rec.data(), wdsim::kCardRecordSize), wdsim::kStatusInsufficientResources);
    EXPECT_EQ(wdsim::controls().registeredCards(), 0);
    wdsim::controls().refuseRegistration(0);
    EXPECT_EQ(call(h, wdsim::kCardRegister, rec.data(), wdsim::kCardRecordSize), wdsim::kStatusSuccess);
}

TEST_F(ServiceTest, MalformedRegistrationsAreRefused) {
    std::vector<std::vector<uint8_t>> bad;
    bad.push_back(registration(0x150, 0));  // empty range
    bad.push_back(registration(0x150, 10, true, 5));  // not the adapter's line
    auto noItems = registration();
    put(noItems, 0, 0);
    bad.push_back(noItems);
    auto tooMany = registration();
    put(tooMany, 0, 21);
    bad.push_back(tooMany);
    auto oddKind = registration();
    put(oddKind, 44, 2);
    bad.push_back(oddKind);
    for (auto& rec : bad) {
        EXPECT_EQ(call(h, wdsim::kCardRegister, rec.data(), wdsim::kCardRecordSize), wdsim::kStatusInvalidParameter);
        EXPECT_EQ(get(rec, kCardHandle), 0u);
    }
    auto good = registration();
    EXPECT_EQ(call(h, wdsim::kCardRegister, good.data(), wdsim::kCardRecordSize - 1), wdsim::kStatusInvalidParameter);
    EXPECT_EQ(call(h, wdsim::kCardRegister, nullptr, wdsim::kCardRecordSize), wdsim::kStatusInvalidParameter);
    EXPECT_EQ(wdsim::controls().registeredCards(), 0);
}

// ---- Port transfers -------------------------------------------------------------------

TEST_F(ServiceTest, TransfersReachTheAdapterRegisters) {
    registerAdapter();
    auto& ad = Adapter::instance();
    ad.clearLog();
    writePort(0x154, 0x4321);                      // WDLO
    writePort(kCmdPort, 5 << 9 | 16);              // N5 A0 F16
    EXPECT_EQ(readPort(kCsrPort) & 0x13, 0x13);    // done, X, Q
    writePort(kCmdPort, 5 << 9 | 0);               // N5 A0 F0
    EXPECT_EQ(readPort(kCsrPort) & 0x13, 0x13);
    EXPECT_EQ(readPort(kCmdPort), 0x4321);
    const std::vector<kt40sim::Access> want{
        {0, kt40sim::Face::Isa, kt40sim::Direction::Write, 4, 0x4321},
        {0, kt40sim::Face::Isa, kt40sim::Direction::Write, 0, 5 << 9 | 16},
        {0, kt40sim::Face::Isa, kt40sim::Direction::Read, 8, 0x13},
        {0, kt40sim::Face::Isa, kt40sim::Direction::Write, 0, 5 << 9},
        {0, kt40sim::Face::Isa, kt40sim::Direction::Read, 8, 0x13},
        {0, kt40sim::Face::Isa, kt40sim::Direction::Read, 0, 0x4321},
    };
    EXPECT_EQ(ad.log(), want);
    EXPECT_EQ(wdsim::controls().requestCount(wdsim::kTransfer), 6u);
}

TEST_F(ServiceTest, TransfersOutsideRegisteredRangesAreRefused) {
    auto& ad = Adapter::instance();
    uint16_t v = 0xA5A5;
    EXPECT_EQ(transfer(kCsrPort, kRead, &v), wdsim::kStatusInvalidParameter) << "nothing registered yet";
    registerAdapter();
    for (uint32_t port : {0x14Eu, 0x14Fu, 0x159u, 0x15Au, 0x0u, 0xFFFFFFFFu, 0xFFFFFFFEu}) {
        EXPECT_EQ(transfer(port, kRead, &v), wdsim::kStatusInvalidParameter) << std::hex << port;
        EXPECT_EQ(transfer(port, kWrite, &v), wdsim::kStatusInvalidParameter) << std::hex << port;
    }
    EXPECT_EQ(transfer(kCsrPort, 22, &v), wdsim::kStatusInvalidParameter) << "not a 16-bit command";
    EXPECT_EQ(transfer(kCsrPort, kRead, &v, 4), wdsim::kStatusInvalidParameter) << "four bytes";
    EXPECT_EQ(transfer(kCsrPort, kRead, nullptr), wdsim::kStatusInvalidParameter);
    EXPECT_EQ(transfer(kCsrPort, kRead, &v, 2, 24), wdsim::kStatusInvalidParameter) << "short record";
    EXPECT_EQ(v, 0xA5A5) << "a refused read writes nothing";
    EXPECT_EQ(ad.accessCount(), 0u) << "no refused transfer reached the adapter";

    EXPECT_EQ(transfer(0x158, kRead, &v), wdsim::kStatusSuccess) << "the last register of the range";
    EXPECT_EQ(ad.accessCount(), 1u);

    // A range of another card: transfers succeed, but nothing answers there.
    auto other = registration(0x300, 8, false);
    ASSERT_EQ(call(h, wdsim::kCardRegister, other.data(), wdsim::kCardRecordSize), wdsim::kStatusSuccess);
    EXPECT_EQ(readPort(0x306), 0xFFFF);
    writePort(0x300, 1);
    EXPECT_EQ(ad.accessCount(), 1u);

    ASSERT_EQ(call(h, wdsim::kCardUnregister, card.data(), wdsim::kCardRecordSize), wdsim::kStatusSuccess);
    EXPECT_EQ(transfer(kCsrPort, kRead, &v), wdsim::kStatusInvalidParameter) << "released";
}

// ---- Unanswered requests and the request log -------------------------------------------

TEST_F(ServiceTest, UnansweredRequestLeavesOutputAndRecord) {
    auto& c = wdsim::controls();
    c.setUnanswered(wdsim::kVersionQuery, true);
    std::vector<uint8_t> rec(wdsim::kVersionRecordSize, 0);
    uint32_t out = kNoAnswer;
    EXPECT_TRUE(wdsim::deviceControl(h, wdsim::kVersionQuery, rec.data(), wdsim::kVersionRecordSize, &out, 4));
    EXPECT_EQ(out, kNoAnswer);
    EXPECT_EQ(get(rec, 0), 0u);
    EXPECT_EQ(c.requestCount(wdsim::kVersionQuery), 1u);
    ASSERT_EQ(c.requests().size(), 1u);
    EXPECT_EQ(c.requests()[0].status, kNoAnswer);

    registerAdapter();
    c.setUnanswered(wdsim::kTransfer, true);
    uint16_t v = 0x0004;
    EXPECT_EQ(transfer(kCsrPort, kWrite, &v), kNoAnswer);
    EXPECT_EQ(transfer(kCsrPort, kRead, &v), kNoAnswer);
    EXPECT_EQ(v, 0x0004);
    EXPECT_EQ(Adapter::instance().accessCount(), 0u);

    c.setUnanswered(wdsim::kVersionQuery, false);
    EXPECT_EQ(call(h, wdsim::kVersionQuery, rec.data(), wdsim::kVersionRecordSize), wdsim::kStatusSuccess);
    EXPECT_EQ(get(rec, 0), 621u);
}

TEST_F(ServiceTest, RequestLogKeepsRecordsAsTheyCameIn) {
    auto& c = wdsim::controls();
    registerAdapter();
    uint16_t v = 0;
    transfer(kCsrPort, kRead, &v);
    c.setLogTransfers(true);
    transfer(kCsrPort, kRead, &v);
    transfer(0x15A, kRead, &v);

    const auto log = c.requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].code, wdsim::kCardRegister);
    EXPECT_EQ(log[0].record, registration()) << "before the service wrote into it";
    EXPECT_EQ(log[0].status, wdsim::kStatusSuccess);
    EXPECT_EQ(log[1].code, wdsim::kTransfer);
    EXPECT_EQ(log[1].record.size(), wdsim::kTransferRecordSize);
    EXPECT_EQ(log[1].status, wdsim::kStatusSuccess);
    EXPECT_EQ(log[2].status, wdsim::kStatusInvalidParameter);
    EXPECT_EQ(c.requestCount(wdsim::kTransfer), 3u) << "counted whether logged or not";
    EXPECT_EQ(c.requestCount(wdsim::kCardRegister), 1u);
    EXPECT_EQ(c.requestCount(wdsim::kIntWait), 0u);

    c.clearRequests();
    EXPECT_TRUE(c.requests().empty());
    EXPECT_EQ(c.requestCount(wdsim::kTransfer), 3u);
}

// ---- Interrupts -----------------------------------------------------------------------

TEST_F(ServiceTest, LamThroughTheRegistersEndsAWaitWithAnInterrupt) {
    const uint32_t irq = registerAdapter();
    ASSERT_EQ(irqCall(wdsim::kIntEnable, irq), wdsim::kStatusSuccess);
    EXPECT_TRUE(wdsim::controls().interruptEnabled());
    writePort(kCsrPort, 4);  // crate 0, interrupt enable

    Waiter w(irq);
    ASSERT_TRUE(w.blocks());
    raiseLamByCycle(3);
    const auto rec = w.result();
    EXPECT_EQ(w.status(), wdsim::kStatusSuccess);
    EXPECT_EQ(rec[11], 0u) << "an interrupt";
    EXPECT_EQ(rec[9], 1u) << "the first one";
    EXPECT_EQ(rec[0], irq);
}

// A trigger running on the clock gates the ADC, whose LAM ends the wait
// although nothing addresses the crate.
TEST_F(ServiceTest, ALamThatComesByTheClockEndsAWaitWithoutAnyAccess) {
    const uint32_t irq = registerAdapter();
    ASSERT_EQ(irqCall(wdsim::kIntEnable, irq), wdsim::kStatusSuccess);
    writePort(kCsrPort, 4);  // crate 0, interrupt enable
    Waiter w(irq);
    ASSERT_TRUE(w.blocks());
    const uint64_t accesses = Adapter::instance().accessCount();
    ASSERT_TRUE(Adapter::instance().setTrigger(0, 18, 20, true));
    const auto rec = w.result();
    EXPECT_EQ(rec[11], 0u) << "an interrupt";
    EXPECT_NE(Adapter::instance().lamPattern(0) & 1u << 7, 0u) << "the ADC's LAM";
    EXPECT_EQ(Adapter::instance().accessCount(), accesses) << "the crate was addressed";
    Adapter::instance().setTrigger(0, 18, 20, false);
}

TEST_F(ServiceTest, EachRisingEdgeCountsOnce) {
    const uint32_t irq = registerAdapter();
    Adapter::instance().install(0, 7, std::make_unique<kt40sim::LamSource>());
    ASSERT_EQ(irqCall(wdsim::kIntEnable, irq), wdsim::kStatusSuccess);
    writePort(kCsrPort, 4);
    raiseLamByCycle(3);
    raiseLamByCycle(7);  // the line is high already
    writePort(kCsrPort, 4);
    EXPECT_EQ(waitNow(irq)[9], 1u);
    {
        Waiter w(irq);
        ASSERT_TRUE(w.blocks()) << "a second interrupt was delivered";
        wdsim::controls().endWait(2);
        const auto rec = w.result();
        EXPECT_EQ(rec[11], 2u);
        EXPECT_EQ(rec[9], 1u);
    }
    clearLamByCycle(3);
    clearLamByCycle(7);
    raiseLamByCycle(7);  // a new edge
    const auto rec = waitNow(irq);
    EXPECT_EQ(rec[11], 0u);
    EXPECT_EQ(rec[9], 2u);

    // The enable bit makes edges too: off and on with the LAM still there.
    writePort(kCsrPort, 0);
    writePort(kCsrPort, 4);
    EXPECT_EQ(waitNow(irq)[9], 3u);
}

TEST_F(ServiceTest, InterruptsWithNobodyWaitingAreDeliveredOnePerWait) {
    const uint32_t irq = registerAdapter();
    wdsim::controls().fireInterrupt();  // not enabled yet: lost
    ASSERT_EQ(irqCall(wdsim::kIntEnable, irq), wdsim::kStatusSuccess);
    {
        Waiter w(irq);
        ASSERT_TRUE(w.blocks()) << "an edge from before the enable was delivered";
        wdsim::controls().fireInterrupt();
        EXPECT_EQ(w.result()[11], 0u);
    }
    wdsim::controls().fireInterrupt();
    wdsim::controls().fireInterrupt();
    auto a = waitNow(irq);
    auto b = waitNow(irq);
    EXPECT_EQ(a[11], 0u);
    EXPECT_EQ(a[9], 2u);
    EXPECT_EQ(b[11], 0u);
    EXPECT_EQ(b[9], 3u);
    Waiter w(irq);
    EXPECT_TRUE(w.blocks()) << "only three were fired";
    wdsim::controls().endWait(2);
    EXPECT_EQ(w.result()[11], 2u);
}

TEST_F(ServiceTest, DisableEndsABlockedWait) {
    const uint32_t irq = registerAdapter();
    ASSERT_EQ(irqCall(wdsim::kIntEnable, irq), wdsim::kStatusSuccess);
    Waiter w(irq);
    ASSERT_TRUE(w.blocks());
    EXPECT_EQ(wdsim::controls().waitsInProgress(), 1);
    EXPECT_EQ(irqCall(wdsim::kIntDisable, irq), wdsim::kStatusSuccess);
    EXPECT_EQ(w.result()[11], 1u);
    EXPECT_EQ(w.status(), wdsim::kStatusSuccess);
    EXPECT_EQ(wdsim::controls().waitsInProgress(), 0);
    EXPECT_FALSE(wdsim::controls().interruptEnabled());
    EXPECT_EQ(waitNow(irq)[11], 1u) << "a wait after the disable ends at once";
    EXPECT_EQ(irqCall(wdsim::kIntDisable, irq), wdsim::kStatusInterruptNotEnabled);
}

TEST_F(ServiceTest, EndWaitEndsTheWaitInProgressOrTheNextOne) {
    const uint32_t irq = registerAdapter();
    ASSERT_EQ(irqCall(wdsim::kIntEnable, irq), wdsim::kStatusSuccess);
    {
        Waiter w(irq);
        ASSERT_TRUE(w.blocks());
        wdsim::controls().endWait(2);
        EXPECT_EQ(w.result()[11], 2u);
    }
    wdsim::controls().endWait(2);
    wdsim::controls().endWait(1);
    EXPECT_EQ(waitNow(irq)[11], 2u);
    EXPECT_EQ(waitNow(irq)[11], 1u);
    EXPECT_TRUE(wdsim::controls().interruptEnabled()) << "endWait(1) does not disable";
    EXPECT_EQ(wdsim::controls().requestCount(wdsim::kIntWait), 3u);
}

TEST_F(ServiceTest, ReleaseAndResetEndBlockedWaits) {
    uint32_t irq = registerAdapter();
    ASSERT_EQ(irqCall(wdsim::kIntEnable, irq), wdsim::kStatusSuccess);
    {
        Waiter w(irq);
        ASSERT_TRUE(w.blocks());
        EXPECT_EQ(call(h, wdsim::kCardUnregister, card.data(), wdsim::kCardRecordSize), wdsim::kStatusSuccess);
        EXPECT_EQ(w.result()[11], 1u);
        EXPECT_FALSE(wdsim::controls().interruptEnabled());
    }
    irq = registerAdapter();
    ASSERT_EQ(irqCall(wdsim::kIntEnable, irq), wdsim::kStatusSuccess);
    Waiter w(irq);
    ASSERT_TRUE(w.blocks());
    wdsim::controls().reset();
    EXPECT_EQ(w.result()[11], 1u);
    EXPECT_EQ(wdsim::controls().registeredCards(), 0);
}

TEST_F(ServiceTest, ServiceGoingAwayEndsAWaitUnanswered) {
    const uint32_t irq = registerAdapter();
    ASSERT_EQ(irqCall(wdsim::kIntEnable, irq), wdsim::kStatusSuccess);
    Waiter w(irq);
    ASSERT_TRUE(w.blocks());
    wdsim::controls().setPresent(false);
    w.result();
    EXPECT_EQ(w.status(), kNoAnswer);
}

TEST_F(ServiceTest, AWaitEndingAfterTheLogWasClearedLeavesNewEntriesAlone) {
    auto& c = wdsim::controls();
    const uint32_t irq = registerAdapter();
    ASSERT_EQ(irqCall(wdsim::kIntEnable, irq), wdsim::kStatusSuccess);
    Waiter w(irq);
    ASSERT_TRUE(w.blocks());
    c.clearRequests();
    c.setUnanswered(wdsim::kVersionQuery, true);
    std::vector<uint8_t> rec(wdsim::kVersionRecordSize, 0);
    for (int i = 0; i < 5; ++i) call(h, wdsim::kVersionQuery, rec.data(), wdsim::kVersionRecordSize);
    c.endWait(2);
    EXPECT_EQ(w.result()[11], 2u);
    const auto log = c.requests();
    ASSERT_EQ(log.size(), 5u);
    for (const auto& r : log) {
        EXPECT_EQ(r.code, wdsim::kVersionQuery);
        EXPECT_EQ(r.status, kNoAnswer) << "the wait's status went into another request's entry";
    }
}

// A LAM link that runs for days sends a wait per interrupt: the log keeps the
// newest requests only, and a wait whose entry was pushed out ends cleanly.
TEST_F(ServiceTest, RequestLogKeepsTheNewestAndStaysBounded) {
    auto& c = wdsim::controls();
    const uint32_t irq = registerAdapter();
    ASSERT_EQ(irqCall(wdsim::kIntEnable, irq), wdsim::kStatusSuccess);
    Waiter w(irq);
    ASSERT_TRUE(w.blocks());
    constexpr uint32_t kMany = (1u << 16) + 10;
    std::vector<uint8_t> rec(wdsim::kVersionRecordSize, 0);
    for (uint32_t i = 0; i < kMany; ++i) {
        rec[4] = static_cast<uint8_t>(i);
        call(h, wdsim::kVersionQuery, rec.data(), wdsim::kVersionRecordSize);
    }
    c.endWait(2);
    EXPECT_EQ(w.result()[11], 2u);
    const auto log = c.requests();
    ASSERT_EQ(log.size(), 1u << 16);
    EXPECT_EQ(log.back().code, wdsim::kVersionQuery);
    EXPECT_EQ(log.back().record[4], static_cast<uint8_t>(kMany - 1));
    EXPECT_EQ(log.front().record[4], static_cast<uint8_t>(kMany - (1u << 16)));
    for (const auto& r : log) ASSERT_EQ(r.code, wdsim::kVersionQuery) << "older entries must have gone first";
    EXPECT_EQ(c.requestCount(wdsim::kVersionQuery), kMany);
}

TEST_F(ServiceTest, EnableChecksTheHandleAndCanBeRefused) {
    const uint32_t irq = registerAdapter();
    EXPECT_EQ(irqCall(wdsim::kIntEnable, irq + 1), wdsim::kStatusInvalidHandle);
    EXPECT_EQ(irqCall(wdsim::kIntEnable, 0), wdsim::kStatusInvalidHandle);
    EXPECT_EQ(irqCall(wdsim::kIntWait, irq + 1), wdsim::kStatusInvalidHandle);
    EXPECT_EQ(irqCall(wdsim::kIntDisable, irq + 1), wdsim::kStatusInvalidHandle);
    wdsim::controls().refuseInterruptEnable(0x2000000C);
    EXPECT_EQ(irqCall(wdsim::kIntEnable, irq), 0x2000000Cu);
    EXPECT_FALSE(wdsim::controls().interruptEnabled());
    wdsim::controls().refuseInterruptEnable(0);
    EXPECT_EQ(irqCall(wdsim::kIntEnable, irq), wdsim::kStatusSuccess);
    EXPECT_EQ(irqCall(wdsim::kIntEnable, irq), wdsim::kStatusAlreadyDone);
    IrqRecord shortRec{};
    shortRec[0] = irq;
    EXPECT_EQ(call(h, wdsim::kIntWait, shortRec.data(), 44), wdsim::kStatusInvalidParameter);
}

}  // namespace
