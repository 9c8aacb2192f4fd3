// KT40DRV_IOCTL_BLOCK as a program uses it: lists, Q-stop and Q-repeat
// blocks on the virtual crate, through the I/O manager's one system buffer,
// and the requests refused before the port is touched.
#include <memory>
#include <thread>

#include "DriverFixture.h"

namespace {

constexpr ULONG kUntouched = 0xA5A5A5A5;

// Answers F0 with X always and Q on the reads that `q` picks (1, 2, ...),
// its data the number of the read.
class Paced : public kt40sim::Module {
public:
    explicit Paced(bool (*q)(uint32_t)) : Module("paced"), q_(q) {}
    kt40sim::Response cycle(int, int, uint32_t& data) override {
        data = ++reads_;
        return {true, q_(reads_)};
    }
    bool (*q_)(uint32_t);
    uint32_t reads_ = 0;
};

class Block : public DriverTest {
protected:
    void SetUp() override { Bring(); }
    // Sends a block of `pairs`; `out` gets room for the output of all of
    // them unless `outWords` says otherwise.
    NTSTATUS send(ULONG kind, ULONG limit, const std::vector<ULONG>& pairs, long outWords = -1, long inWords = -1) {
        std::vector<ULONG> in{kind, static_cast<ULONG>(pairs.size() / 2), limit, 0};
        in.insert(in.end(), pairs.begin(), pairs.end());
        if (inWords >= 0) in.resize(static_cast<size_t>(inWords));
        out.assign(outWords >= 0 ? static_cast<size_t>(outWords) : 4 + pairs.size(), kUntouched);
        info = 99;
        return kernel.deviceControl(handle, KT40DRV_IOCTL_BLOCK, in.data(), static_cast<ULONG>(in.size() * 4),
                                    out.data(), static_cast<ULONG>(out.size() * 4), &info);
    }
    std::vector<ULONG> header() const { return {out.begin(), out.begin() + 4}; }
    ULONG completion(size_t i) const { return out[4 + 2 * i]; }
    ULONG data(size_t i) const { return out[5 + 2 * i]; }
    std::vector<ULONG> out;
    ULONG_PTR info = 99;
};

const ULONG kMemory = KT40DRV_ADDRESS(0, 1, 0, 0, 0);  // station 1: memory, Q for A0-A15

TEST_F(Block, ListGoesOnAfterNoXAndStopsAtAFailure) {
    const ULONG write = KT40DRV_ADDRESS(0, 1, 3, 16, 1), read = KT40DRV_ADDRESS(0, 1, 3, 0, 1);
    const ULONG empty = KT40DRV_ADDRESS(0, 4, 0, 0, 0);
    // A 24-bit write (7 accesses), its read-back (4), a read of an empty
    // station (2); then the error bit for the fourth action.
    hw.setFaultAfter(13, kt40sim::Fault::ErrorBit);
    ASSERT_EQ(send(KT40DRV_BLOCK_LIST, 0, {write, 0xABCDEF, read, 0, empty, 0, kMemory, 0, kMemory, 0}, 16),
              STATUS_SUCCESS);
    EXPECT_EQ(header(), (std::vector<ULONG>{KT40DRV_RESULT_ERROR, 3, 3, 0}));
    EXPECT_EQ(info, KT40DRV_BLOCK_BYTES(4));
    EXPECT_TRUE(completion(0) & KT40DRV_COMPLETION_X);
    EXPECT_EQ(data(0), 0u);  // a write reads nothing
    EXPECT_EQ(data(1), 0xABCDEFu);
    EXPECT_FALSE(completion(2) & KT40DRV_COMPLETION_X);
    EXPECT_TRUE(completion(2) & KT40DRV_COMPLETION_DONE);
    EXPECT_TRUE(completion(3) & KT40DRV_COMPLETION_ERROR);
    EXPECT_EQ(std::vector<ULONG>(out.begin() + 12, out.end()), (std::vector<ULONG>(4, kUntouched)));
    // The fifth action never went out.
    EXPECT_EQ(pciWriteValues(), (std::vector<uint32_t>{0x2CDEF, 0x300AB, (write & 0x3FFF) | 0x4000,
                                                       (read & 0x3FFF) | 0x4000, 0x10001, empty, kMemory}));
    EXPECT_TRUE(traced("kt40drv: Entering Kt40drvDevice::KT40DRV_IOCTL_BLOCK_Handler, IRP_MJ_DEVICE_CONTROL code "
                       "0x00222018 in 0x00000038 out 0x00000040"));
}

TEST_F(Block, QStopEndsAtTheFirstWordWithoutQ) {
    hw.install(0, 7, std::make_unique<Paced>([](uint32_t n) { return n <= 3; }));
    const ULONG n7 = KT40DRV_ADDRESS(0, 7, 0, 0, 0);
    ASSERT_EQ(send(KT40DRV_BLOCK_QSTOP, 0, {n7, 0, n7, 0, n7, 0, n7, 0, n7, 0}), STATUS_SUCCESS);
    EXPECT_EQ(header(), (std::vector<ULONG>{KT40DRV_RESULT_OK, 3, 3, 0}));
    EXPECT_EQ(info, KT40DRV_BLOCK_BYTES(4));
    EXPECT_EQ(std::vector<ULONG>({data(0), data(1), data(2)}), (std::vector<ULONG>{1, 2, 3}));
    EXPECT_FALSE(completion(3) & KT40DRV_COMPLETION_Q);
    EXPECT_EQ(pciWrites().size(), 4u);
}

TEST_F(Block, QRepeatRetriesEachWordUpToItsLimit) {
    hw.install(0, 8, std::make_unique<Paced>([](uint32_t n) { return n % 3 == 0; }));
    const ULONG n8 = KT40DRV_ADDRESS(0, 8, 0, 0, 0);
    ASSERT_EQ(send(KT40DRV_BLOCK_QREPEAT, 3, {n8, 0, n8, 0}), STATUS_SUCCESS);
    EXPECT_EQ(header(), (std::vector<ULONG>{KT40DRV_RESULT_OK, 2, 6, 0}));
    EXPECT_EQ(std::vector<ULONG>({data(0), data(1)}), (std::vector<ULONG>{3, 6}));
    EXPECT_EQ(info, KT40DRV_BLOCK_BYTES(2));
    // Two tries allowed, the third would have had Q.
    ASSERT_EQ(send(KT40DRV_BLOCK_QREPEAT, 2, {n8, 0, n8, 0}), STATUS_SUCCESS);
    EXPECT_EQ(header(), (std::vector<ULONG>{KT40DRV_RESULT_NO_Q, 0, 2, 0}));
    EXPECT_EQ(info, KT40DRV_BLOCK_BYTES(1));
}

TEST_F(Block, TheLargestBlocksAreTakenInFull) {
    std::vector<ULONG> pairs;
    for (ULONG i = 0; i < KT40DRV_BLOCK_MAX_ACTIONS; ++i) pairs.insert(pairs.end(), {kMemory, i});
    ASSERT_EQ(send(KT40DRV_BLOCK_QSTOP, 0, pairs), STATUS_SUCCESS);
    EXPECT_EQ(header()[1], KT40DRV_BLOCK_MAX_ACTIONS);
    ASSERT_EQ(send(KT40DRV_BLOCK_QREPEAT, KT40DRV_BLOCK_MAX_REPEAT, {kMemory, 0}), STATUS_SUCCESS);
    EXPECT_EQ(header(), (std::vector<ULONG>{KT40DRV_RESULT_OK, 1, 1, 0}));
}

TEST_F(Block, MalformedRequestsAreRefusedBeforeThePort) {
    const ULONG n5 = KT40DRV_ADDRESS(0, 5, 0, 0, 0);
    std::vector<ULONG> tooMany;
    for (ULONG i = 0; i <= KT40DRV_BLOCK_MAX_ACTIONS; ++i) tooMany.insert(tooMany.end(), {n5, 0});
    struct Case {
        ULONG kind, limit;
        std::vector<ULONG> pairs;
        long outWords, inWords;
    } cases[] = {
        {3, 0, {n5, 0}, -1, -1},                                   // no such kind
        {KT40DRV_BLOCK_LIST, 0, {}, -1, -1},                       // no action
        {KT40DRV_BLOCK_LIST, 0, tooMany, -1, -1},                  // one too many
        {KT40DRV_BLOCK_LIST, 1, {n5, 0}, -1, -1},                  // a limit on a list
        {KT40DRV_BLOCK_QREPEAT, 0, {n5, 0}, -1, -1},               // no tries
        {KT40DRV_BLOCK_QREPEAT, KT40DRV_BLOCK_MAX_REPEAT + 1, {n5, 0}, -1, -1},
        {KT40DRV_BLOCK_QSTOP, 0, {n5, 0, n5 + 1, 0}, -1, -1},      // two addresses
        {KT40DRV_BLOCK_LIST, 0, {n5, 0, n5, 0}, -1, 7},            // input a word short
        {KT40DRV_BLOCK_LIST, 0, {n5, 0, n5, 0}, -1, 9},            // input a word long
        {KT40DRV_BLOCK_LIST, 0, {n5, 0, n5, 0}, 7, -1},            // output a word short
        {KT40DRV_BLOCK_LIST, 0, {n5, 0}, 0, 0},                    // nothing at all
    };
    for (const Case& c : cases) {
        EXPECT_EQ(send(c.kind, c.limit, c.pairs, c.outWords, c.inWords), STATUS_INVALID_PARAMETER)
            << c.kind << " " << c.limit << " " << c.pairs.size();
        EXPECT_EQ(info, 0u);
        for (ULONG w : out) EXPECT_EQ(w, kUntouched);
    }
    ULONG reserved[6] = {KT40DRV_BLOCK_LIST, 1, 0, 1, n5, 0};  // header word 3 must be 0
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_BLOCK, reserved, 24, reserved, 24), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(hw.log().empty());
}

// The block is one controller cycle: a read that start-I/O finds meanwhile
// waits until the block's last action is done.
TEST_F(Block, ATransferWaitsForTheWholeBlock) {
    using kt40kernel::HoldPoint;
    kernel.hold(HoldPoint::ControllerAccess);
    NTSTATUS status = STATUS_PENDING;
    std::thread control([&] { status = send(KT40DRV_BLOCK_LIST, 0, {kMemory, 0, kMemory, 0}); });
    EXPECT_TRUE(kernel.waitHeld(HoldPoint::ControllerAccess));
    ULONG word = 0;
    kt40kernel::RequestId read = 0;
    std::thread reader([&] { read = kernel.beginRead(handle, &word, 4); });
    EXPECT_TRUE(eventually(
        [&] { return traced("kt40drv: Transfer waits for the controller cycle, IRP_MJ_READ length 0x00000004"); }));
    kernel.release(HoldPoint::ControllerAccess);
    control.join();
    reader.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(kernel.wait(read), STATUS_SUCCESS);
    const auto pci = onFace(kt40sim::Face::Pci);
    ASSERT_EQ(pci.size(), 5u);  // two actions of two accesses, then the read
    EXPECT_EQ(pci.back().dir, kt40sim::Direction::Read);
    EXPECT_EQ(pci.back().value, word);
}

TEST_F(Block, StoppedDeviceRefusesABlock) {
    ASSERT_EQ(kernel.stop(adapter), STATUS_SUCCESS);
    hw.clearLog();
    EXPECT_EQ(send(KT40DRV_BLOCK_LIST, 0, {kMemory, 0}), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(info, 0u);
    EXPECT_TRUE(hw.log().empty());
}

}  // namespace
