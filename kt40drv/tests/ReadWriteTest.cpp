// Reads and writes of the controller port as a program issues them: what
// reaches the port and the caller's buffer, the order of completion, and
// cancellation while a request waits in the queue or is about to start.
#include <cstring>
#include <thread>

#include "DriverFixture.h"

namespace {

using kt40kernel::HoldPoint;
using kt40kernel::RequestId;

constexpr unsigned char kFill = 0xA5;

class ReadWrite : public DriverTest {
protected:
    void SetUp() override { Bring(); }
    void TearDown() override {
        kernel.release(HoldPoint::StartIo);
        kernel.release(HoldPoint::ControllerAccess);
        for (auto& t : threads)
            if (t.joinable()) t.join();
        DriverTest::TearDown();
    }

    // Issues a read on a thread of its own; the id arrives once the
    // dispatch routine has returned.
    void readOnThread(void* buffer, ULONG length, RequestId& id) {
        threads.emplace_back([this, buffer, length, &id] { id = kernel.beginRead(handle, buffer, length); });
    }
    void joinThreads() {
        for (auto& t : threads) t.join();
        threads.clear();
    }
    std::vector<uint32_t> portReadValues() const {
        std::vector<uint32_t> v;
        for (auto& a : onFace(kt40sim::Face::Pci))
            if (a.dir == kt40sim::Direction::Read) v.push_back(a.value);
        return v;
    }

    std::vector<std::thread> threads;
};

TEST_F(ReadWrite, ZeroLengthCompletesAtOnceAndShortBuffersAreRefused) {
    ULONG_PTR info = 99;
    EXPECT_EQ(kernel.read(handle, nullptr, 0, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(kernel.write(handle, nullptr, 0, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 0u);
    EXPECT_TRUE(traced("kt40drv: Entering Kt40drvDevice::Read, IRP_MJ_READ length 0x00000000"));
    EXPECT_TRUE(traced("kt40drv: Entering Kt40drvDevice::Write, IRP_MJ_WRITE length 0x00000000"));
    // A word does not fit in 1 to 3 bytes: refused before the queue, and
    // the buffers (heap blocks of exactly that size) are left alone.
    for (ULONG length = 1; length <= 3; ++length) {
        std::vector<unsigned char> buffer(length, kFill);
        info = 99;
        EXPECT_EQ(kernel.read(handle, buffer.data(), length, &info), STATUS_INVALID_PARAMETER) << length;
        EXPECT_EQ(info, 0u);
        EXPECT_EQ(buffer, std::vector<unsigned char>(length, kFill));
        info = 99;
        EXPECT_EQ(kernel.write(handle, buffer.data(), length, &info), STATUS_INVALID_PARAMETER) << length;
        EXPECT_EQ(info, 0u);
    }
    EXPECT_TRUE(hw.log().empty());
    EXPECT_FALSE(traced("kt40drv: Entering StartIo, IRP_MJ_READ length 0x00000001"));
}

TEST_F(ReadWrite, ReadFillsOnlyTheFirstWordWithWhatThePortGave) {
    // An action first, so that the completion word carries done and data.
    const ULONG select = kt40sim::accessWord(kt40sim::kTargetRsel, 0, 4);
    ASSERT_EQ(kernel.write(handle, &select, 4), STATUS_SUCCESS);
    unsigned char buffer[12];
    std::memset(buffer, kFill, sizeof buffer);
    ULONG_PTR info = 99;
    ASSERT_EQ(kernel.read(handle, buffer, sizeof buffer, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
    const auto reads = portReadValues();
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_TRUE(reads[0] & KT40DRV_COMPLETION_DONE);
    ULONG word;
    std::memcpy(&word, buffer, 4);
    EXPECT_EQ(word, reads[0]);
    for (size_t i = 4; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], kFill) << i;
    EXPECT_TRUE(traced("kt40drv: Entering StartIo, IRP_MJ_READ length 0x0000000c"));
    EXPECT_TRUE(traced("kt40drv: Entering Kt40drvDevice::SerialRead, IRP_MJ_READ length 0x0000000c"));
}

TEST_F(ReadWrite, WriteOfEightBytesPutsOnlyTheFirstWordOnThePort) {
    // Z to crate 0 (which sets its inhibit), then a word that must not follow.
    const ULONG words[2] = {0x8002, kt40sim::accessWord(kt40sim::kTargetCmd, 0, 0x8001)};
    ASSERT_FALSE(hw.inhibit(0));
    ULONG_PTR info = 99;
    ASSERT_EQ(kernel.write(handle, words, 8, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
    EXPECT_EQ(pciWriteValues(), std::vector<uint32_t>{0x8002});
    EXPECT_EQ(onFace(kt40sim::Face::Pci).size(), 1u);  // no poll either
    EXPECT_TRUE(hw.inhibit(0));
    EXPECT_TRUE(traced("kt40drv: Entering Kt40drvDevice::SerialWrite, IRP_MJ_WRITE length 0x00000008"));
}

TEST_F(ReadWrite, QueuedReadsCompleteInIssueOrder) {
    // The first read stops at the port, so the others wait in the queue.
    kernel.hold(HoldPoint::ControllerAccess);
    ULONG words[4] = {};
    RequestId ids[4] = {};
    readOnThread(&words[0], 4, ids[0]);
    ASSERT_TRUE(kernel.waitHeld(HoldPoint::ControllerAccess));
    for (int i = 1; i < 4; ++i) {
        ids[i] = kernel.beginRead(handle, &words[i], 4);
        EXPECT_FALSE(kernel.completed(ids[i]));
    }
    kernel.release(HoldPoint::ControllerAccess);
    joinThreads();
    for (auto id : ids) {
        ULONG_PTR info = 0;
        EXPECT_EQ(kernel.wait(id, &info), STATUS_SUCCESS);
        EXPECT_EQ(info, 1u);
    }
    auto order = kernel.completionOrder();
    std::erase_if(order, [&](RequestId id) { return id < ids[0]; });
    EXPECT_EQ(order, std::vector<RequestId>(ids, ids + 4));
    EXPECT_EQ(portReadValues(), std::vector<uint32_t>(words, words + 4));
}

TEST_F(ReadWrite, CancellingAWaitingReadCompletesItAndTheQueueGoesOn) {
    kernel.hold(HoldPoint::ControllerAccess);
    ULONG first = 0, third = 0;
    ULONG second = 0x5A5A5A5A;
    RequestId a = 0;
    readOnThread(&first, 4, a);
    ASSERT_TRUE(kernel.waitHeld(HoldPoint::ControllerAccess));
    const RequestId b = kernel.beginRead(handle, &second, 4);
    const RequestId c = kernel.beginRead(handle, &third, 4);
    EXPECT_TRUE(kernel.cancel(b));
    ULONG_PTR info = 99;
    EXPECT_EQ(kernel.wait(b, &info), STATUS_CANCELLED);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(second, 0x5A5A5A5Au);
    EXPECT_TRUE(traced("kt40drv: IRP canceled IRP_MJ_READ length 0x00000004"));
    EXPECT_FALSE(kernel.completed(c));
    kernel.release(HoldPoint::ControllerAccess);
    joinThreads();
    EXPECT_EQ(kernel.wait(a, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
    EXPECT_EQ(kernel.wait(c, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
    EXPECT_EQ(portReadValues().size(), 2u);
    // Once transferred, a request is no longer cancelable.
    EXPECT_FALSE(kernel.cancel(a));
}

TEST_F(ReadWrite, CancellingTheCurrentRequestBeforeStartIoTakesIt) {
    // The first read is the device's current request, its start-I/O held.
    kernel.hold(HoldPoint::StartIo);
    ULONG first = 0x5A5A5A5A, second = 0;
    RequestId issued = 0;
    readOnThread(&first, 4, issued);
    ASSERT_TRUE(kernel.waitHeld(HoldPoint::StartIo));
    ASSERT_EQ(kernel.outstanding().size(), 1u);
    const RequestId a = kernel.outstanding()[0];
    const RequestId b = kernel.beginRead(handle, &second, 4);
    // The cancel routine completes the current request; the start of the
    // next is deferred until the held start-I/O has returned.
    const bool cancelled = kernel.cancel(a);
    EXPECT_TRUE(kernel.completed(a));
    EXPECT_FALSE(kernel.completed(b));
    kernel.release(HoldPoint::StartIo);
    joinThreads();
    EXPECT_EQ(issued, a);
    EXPECT_TRUE(cancelled);
    ULONG_PTR info = 99;
    EXPECT_EQ(kernel.wait(a, &info), STATUS_CANCELLED);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(first, 0x5A5A5A5Au);
    EXPECT_TRUE(traced("kt40drv: IRP canceled IRP_MJ_READ length 0x00000004"));
    // The held start-I/O of the cancelled request leaves it alone; the next
    // one is transferred once.
    EXPECT_EQ(kernel.wait(b, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
    EXPECT_EQ(portReadValues(), std::vector<uint32_t>{second});
    EXPECT_TRUE(traced("kt40drv: Entering StartIo, request already completed"));
}

TEST_F(ReadWrite, RequestCancelledBeforeItsCancelRoutineIsSetIsStillCompleted) {
    // The device is idle: start-I/O gets the request at once and finds it
    // cancelled; nobody else would complete it.
    ULONG word = 0x5A5A5A5A;
    kernel.cancelNextOnIssue();
    ULONG_PTR info = 99;
    EXPECT_EQ(kernel.read(handle, &word, 4, &info), STATUS_CANCELLED);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(word, 0x5A5A5A5Au);
    EXPECT_TRUE(hw.log().empty());
    // The device is busy: the request is cancelled as it enters the queue.
    kernel.hold(HoldPoint::ControllerAccess);
    ULONG first = 0;
    RequestId a = 0;
    readOnThread(&first, 4, a);
    ASSERT_TRUE(kernel.waitHeld(HoldPoint::ControllerAccess));
    kernel.cancelNextOnIssue();
    const RequestId b = kernel.beginRead(handle, &word, 4);
    EXPECT_EQ(kernel.wait(b, &info), STATUS_CANCELLED);
    EXPECT_EQ(word, 0x5A5A5A5Au);
    kernel.release(HoldPoint::ControllerAccess);
    joinThreads();
    EXPECT_EQ(kernel.wait(a, &info), STATUS_SUCCESS);
    // The queue did not stall.
    EXPECT_EQ(kernel.read(handle, &word, 4, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
    EXPECT_EQ(portReadValues().size(), 2u);
}

TEST_F(ReadWrite, FailedMappingCompletesWithoutATransferAndTheQueueGoesOn) {
    ULONG word = 0x5A5A5A5A;
    kernel.failNextMdlMapping();
    ULONG_PTR info = 99;
    EXPECT_EQ(kernel.read(handle, &word, 4, &info), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(word, 0x5A5A5A5Au);
    kernel.failNextMdlMapping();
    EXPECT_EQ(kernel.write(handle, &word, 4, &info), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(hw.log().empty());
    EXPECT_EQ(kernel.read(handle, &word, 4, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
}

TEST_F(ReadWrite, StoppedDeviceRefusesTransfersWithoutThePort) {
    ASSERT_EQ(kernel.stop(adapter), STATUS_SUCCESS);
    hw.clearLog();
    ULONG word = 0;
    EXPECT_EQ(kernel.read(handle, &word, 4), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(kernel.write(handle, &word, 4), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(hw.log().empty());
    ASSERT_EQ(kernel.start(adapter), STATUS_SUCCESS);
    EXPECT_EQ(kernel.read(handle, &word, 4), STATUS_SUCCESS);
}

}  // namespace
