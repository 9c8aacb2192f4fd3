// What a real kernel would not survive, checked under the stand-in: a poll
// at DISPATCH_LEVEL (a processor stuck for the whole cycle) and start-I/O
// nesting one stack frame per queued request (a kernel stack is 24 KiB).
#include <pthread.h>

#include <functional>
#include <thread>

#include "DriverFixture.h"

namespace {

using kt40kernel::HoldPoint;
using kt40kernel::RequestId;

constexpr ULONG kSentinel = 0x5A5A5A5A;

// A thread on a stack of `bytes`, for code that must not nest.
class SmallStackThread {
public:
    SmallStackThread(size_t bytes, std::function<void()> body) : body_(std::move(body)) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, bytes);
        started_ = pthread_create(&thread_, &attr, &SmallStackThread::run, this) == 0;
        pthread_attr_destroy(&attr);
    }
    ~SmallStackThread() { join(); }
    bool started() const { return started_; }
    void join() {
        if (started_) pthread_join(thread_, nullptr);
        started_ = false;
    }

private:
    static void* run(void* self) {
        static_cast<SmallStackThread*>(self)->body_();
        return nullptr;
    }
    std::function<void()> body_;
    pthread_t thread_{};
    bool started_ = false;
};

class RaisedIrql : public DriverTest {
protected:
    void SetUp() override { Bring(); }
    void TearDown() override {
        kernel.release(HoldPoint::ControllerAccess);
        if (control.joinable()) control.join();
        DriverTest::TearDown();
    }
    std::thread control;
};

TEST_F(RaisedIrql, ACycleRunsAtPassiveLevelAndATransferWaitsForItsEndWithoutSpinning) {
    constexpr uint32_t kPolls = 3000;
    hw.setDonePolls(kPolls);
    kernel.hold(HoldPoint::ControllerAccess);
    ULONG in[1] = {KT40DRV_ADDRESS(0, 5, 0, 0, 0)}, out[3] = {};
    NTSTATUS controlStatus = STATUS_PENDING;
    control = std::thread(
        [&] { controlStatus = kernel.deviceControl(handle, KT40DRV_IOCTL_ADDRESSCOMMAND, in, 4, out, 12); });
    ASSERT_TRUE(kernel.waitHeld(HoldPoint::ControllerAccess));  // the cycle's command
    // Start-I/O finds the cycle running: the read waits, claimed, and the
    // caller gets its thread back at once.
    ULONG word = kSentinel;
    const RequestId read = kernel.beginRead(handle, &word, 4);
    EXPECT_FALSE(kernel.completed(read));
    EXPECT_TRUE(traced("kt40drv: Transfer waits for the controller cycle, IRP_MJ_READ length 0x00000004"));
    // An interrupt meanwhile: its DPC finds no unclaimed request to complete.
    hw.raisePciInterrupt();
    kernel.settle();
    EXPECT_EQ(kernel.dpcRuns(), 1u);
    EXPECT_FALSE(kernel.completed(read));
    EXPECT_FALSE(kernel.cancel(read));  // claimed: no longer cancelable
    kernel.release(HoldPoint::ControllerAccess);
    control.join();
    EXPECT_EQ(controlStatus, STATUS_SUCCESS);
    EXPECT_EQ(out[0], 0u);
    ULONG_PTR info = 99;
    EXPECT_EQ(kernel.wait(read, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
    // The read's access came after the whole cycle, as the port's last.
    const auto pci = onFace(kt40sim::Face::Pci);
    ASSERT_GT(pci.size(), kPolls);
    EXPECT_EQ(pci.back().dir, kt40sim::Direction::Read);
    EXPECT_EQ(pci.back().value, word);
    // The longest stretch at DISPATCH_LEVEL or above: the service routine's
    // read and acknowledge of the bridge, never a poll.
    EXPECT_LE(kernel.longestRaisedStretch().portAccesses, 2u);
}

TEST_F(RaisedIrql, ADeepQueueDrainsWithoutNestingOnASmallStack) {
    constexpr unsigned kDepth = 2000;
    kernel.hold(HoldPoint::ControllerAccess);
    std::vector<ULONG> words(kDepth + 1, kSentinel);
    std::vector<RequestId> ids(kDepth + 1);
    // The first read stops at the port on a thread with a 64 KiB stack; the
    // others queue behind it, and that thread drains them once it goes on.
    SmallStackThread first(64 * 1024, [&] { ids[0] = kernel.beginRead(handle, &words[0], 4); });
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(kernel.waitHeld(HoldPoint::ControllerAccess));
    for (unsigned i = 1; i <= kDepth; ++i) ids[i] = kernel.beginRead(handle, &words[i], 4);
    kernel.release(HoldPoint::ControllerAccess);
    first.join();
    unsigned done = 0;
    for (auto id : ids) {
        ULONG_PTR info = 99;
        done += kernel.wait(id, &info) == STATUS_SUCCESS && info == 1;
    }
    EXPECT_EQ(done, kDepth + 1);
    auto order = kernel.completionOrder();
    std::erase_if(order, [&](RequestId id) { return id < ids[0]; });
    EXPECT_EQ(order, ids);
    EXPECT_EQ(kernel.startIoNesting(), 1u);
}

}  // namespace
