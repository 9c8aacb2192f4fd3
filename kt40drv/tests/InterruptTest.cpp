// The adapter's interrupt as the driver services it: claimed only when the
// bridge shows it pending, acknowledged, and turned into one DPC run that
// completes the request start-I/O has not yet taken.
#include <chrono>
#include <cstring>
#include <thread>

#include "DriverFixture.h"

namespace {

using kt40kernel::HoldPoint;
using kt40kernel::RequestId;

class Interrupt : public DriverTest {
protected:
    void SetUp() override { Bring(); }
    void TearDown() override {
        kernel.release(HoldPoint::StartIo);
        kernel.release(HoldPoint::ControllerAccess);
        kernel.release(HoldPoint::Dpc);
        kernel.release(HoldPoint::Interrupt);
        for (auto& t : threads)
            if (t.joinable()) t.join();
        DriverTest::TearDown();
    }
    std::vector<kt40sim::Access> bridgeWrites() const {
        std::vector<kt40sim::Access> v;
        for (auto& a : onFace(kt40sim::Face::Bridge))
            if (a.dir == kt40sim::Direction::Write) v.push_back(a);
        return v;
    }
    std::vector<std::thread> threads;
};

TEST_F(Interrupt, AnotherDevicesInterruptIsDeclinedAndTheRegisterLeftAlone) {
    kernel.raiseSharedInterrupt();
    kernel.settle();
    EXPECT_EQ(kernel.interruptsDeclined(), 1u);
    EXPECT_EQ(kernel.interruptsClaimed(), 0u);
    const auto bridge = onFace(kt40sim::Face::Bridge);
    ASSERT_EQ(bridge.size(), 1u);
    EXPECT_EQ(bridge[0].dir, kt40sim::Direction::Read);
    EXPECT_EQ(bridge[0].offset, kt40sim::kBridgeIntCsr);
    EXPECT_FALSE(bridge[0].value & kt40sim::kBridgeIntPending);
    EXPECT_EQ(kernel.dpcRuns(), 0u);
    EXPECT_TRUE(onFace(kt40sim::Face::Pci).empty());
}

TEST_F(Interrupt, AdapterInterruptIsAcknowledgedAndItsDpcFindsNothingToDo) {
    // The event codes take nothing from the caller and the interrupt signals nothing.
    ULONG event[2] = {0x1234, 0x5678};
    ULONG_PTR info = 99;
    ASSERT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_SETINTEVENT, event, 8, event, 8, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 0u);
    hw.raisePciInterrupt();
    kernel.settle();
    EXPECT_EQ(kernel.interruptsClaimed(), 1u);
    EXPECT_FALSE(hw.pciInterruptLine());
    const auto bridge = onFace(kt40sim::Face::Bridge);
    ASSERT_EQ(bridge.size(), 2u);
    EXPECT_TRUE(bridge[0].value & kt40sim::kBridgeIntPending);
    EXPECT_EQ(bridge[1].dir, kt40sim::Direction::Write);
    EXPECT_EQ(bridge[1].offset, kt40sim::kBridgeIntCsr);
    EXPECT_EQ(bridge[1].value, 0x543u);
    EXPECT_EQ(kernel.dpcRuns(), 1u);
    EXPECT_TRUE(onFace(kt40sim::Face::Pci).empty());
    ASSERT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_CLEARINTEVENT, event, 8, event, 8, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(event[0], 0x1234u);
    EXPECT_EQ(event[1], 0x5678u);
}

TEST_F(Interrupt, ALamWithTheInterruptEnabledReachesTheDriver) {
    hw.isaWrite(kt40sim::kCsr, 4);  // the controller's LAM interrupt enable
    hw.raiseLam(0, 3);
    ASSERT_EQ(hw.lamPattern(0), 1u << 2);
    kernel.settle();
    EXPECT_EQ(kernel.interruptsClaimed(), 1u);
    EXPECT_EQ(bridgeWrites().size(), 1u);
    EXPECT_EQ(kernel.dpcRuns(), 1u);
}

// The trigger on the clock gates the ADC: its LAM reaches the driver although
// nothing addresses the crate.
TEST_F(Interrupt, ALamThatComesByTheClockReachesTheDriver) {
    hw.isaWrite(kt40sim::kCsr, 4);
    ASSERT_TRUE(hw.setTrigger(0, 18, 50, true));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (kernel.interruptsClaimed() == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    hw.setTrigger(0, 18, 0, false);
    EXPECT_GE(kernel.interruptsClaimed(), 1u) << "no interrupt within 5 s of a 50 Hz trigger";
}

TEST_F(Interrupt, SeveralInterruptsBeforeTheDpcRunsGiveOneRun) {
    kernel.hold(HoldPoint::Dpc);
    hw.raisePciInterrupt();
    kernel.settle();
    hw.raisePciInterrupt();
    kernel.settle();
    EXPECT_EQ(kernel.interruptsClaimed(), 2u);
    EXPECT_EQ(bridgeWrites().size(), 2u);
    EXPECT_EQ(kernel.dpcRuns(), 0u);
    kernel.release(HoldPoint::Dpc);
    kernel.settle();
    EXPECT_EQ(kernel.dpcRuns(), 1u);
}

TEST_F(Interrupt, DpcCompletesTheCurrentRequestBeforeStartIoTakesItAndTheQueueGoesOn) {
    kernel.hold(HoldPoint::StartIo);
    ULONG first = 0x5A5A5A5A, second = 0;
    RequestId a = 0;
    threads.emplace_back([&] { a = kernel.beginRead(handle, &first, 4); });
    ASSERT_TRUE(kernel.waitHeld(HoldPoint::StartIo));
    const RequestId b = kernel.beginRead(handle, &second, 4);
    hw.raisePciInterrupt();
    // The DPC completes the first read; the start of the second is deferred
    // until the held start-I/O has returned.
    ASSERT_TRUE(eventually([&] { return kernel.completed(a); }));
    kernel.settle();
    EXPECT_FALSE(kernel.completed(b));
    kernel.release(HoldPoint::StartIo);
    for (auto& t : threads) t.join();
    threads.clear();
    kernel.settle();
    ULONG_PTR info = 99;
    EXPECT_EQ(kernel.wait(a, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(first, 0x5A5A5A5Au);
    EXPECT_EQ(kernel.wait(b, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
    EXPECT_EQ(onFace(kt40sim::Face::Pci).size(), 1u);  // the second read alone
    EXPECT_EQ(kernel.dpcRuns(), 1u);
}

TEST_F(Interrupt, InterruptDuringATransferLeavesItToStartIo) {
    kernel.hold(HoldPoint::ControllerAccess);
    ULONG word = 0x5A5A5A5A;
    RequestId a = 0;
    threads.emplace_back([&] { a = kernel.beginRead(handle, &word, 4); });
    ASSERT_TRUE(kernel.waitHeld(HoldPoint::ControllerAccess));
    hw.raisePciInterrupt();
    kernel.settle();
    EXPECT_EQ(kernel.dpcRuns(), 1u);
    kernel.release(HoldPoint::ControllerAccess);
    threads[0].join();
    threads.clear();
    ULONG_PTR info = 99;
    EXPECT_EQ(kernel.wait(a, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
    const auto pci = onFace(kt40sim::Face::Pci);
    ASSERT_EQ(pci.size(), 1u);
    EXPECT_EQ(word, pci[0].value);
}

TEST_F(Interrupt, StopDisconnectsAndTheNextStartServicesWhatIsPending) {
    ASSERT_EQ(kernel.stop(adapter), STATUS_SUCCESS);
    EXPECT_EQ(kernel.connectedInterrupts(), 0u);
    hw.raisePciInterrupt();
    kernel.settle();
    EXPECT_EQ(kernel.interruptsClaimed(), 0u);
    EXPECT_TRUE(hw.pciInterruptLine());
    EXPECT_TRUE(onFace(kt40sim::Face::Bridge).empty());
    ASSERT_EQ(kernel.start(adapter), STATUS_SUCCESS);
    kernel.settle();
    EXPECT_EQ(kernel.interruptsClaimed(), 1u);
    EXPECT_FALSE(hw.pciInterruptLine());
    EXPECT_EQ(kernel.dpcRuns(), 1u);
}

TEST_F(Interrupt, ADpcQueuedBeforeAStopDoesNotRunAfterIt) {
    kernel.hold(HoldPoint::Dpc);
    hw.raisePciInterrupt();
    kernel.settle();
    EXPECT_EQ(kernel.interruptsClaimed(), 1u);
    ASSERT_EQ(kernel.stop(adapter), STATUS_SUCCESS);
    kernel.release(HoldPoint::Dpc);
    kernel.settle();
    EXPECT_EQ(kernel.dpcRuns(), 0u);
}

TEST_F(Interrupt, ACancelThatClaimedTheCurrentRequestLeavesTheDpcNothing) {
    kernel.hold(HoldPoint::StartIo);
    kernel.hold(HoldPoint::Dpc);
    ULONG word = 0x5A5A5A5A;
    RequestId a = 0;
    threads.emplace_back([&] { a = kernel.beginRead(handle, &word, 4); });
    ASSERT_TRUE(kernel.waitHeld(HoldPoint::StartIo));
    hw.raisePciInterrupt();
    kernel.settle();  // the DPC is queued
    ASSERT_EQ(kernel.outstanding().size(), 1u);
    EXPECT_TRUE(kernel.cancel(kernel.outstanding()[0]));
    kernel.release(HoldPoint::Dpc);
    kernel.settle();
    EXPECT_EQ(kernel.dpcRuns(), 1u);
    kernel.release(HoldPoint::StartIo);
    for (auto& t : threads) t.join();
    threads.clear();
    ULONG_PTR info = 99;
    EXPECT_EQ(kernel.wait(a, &info), STATUS_CANCELLED);  // once: the kernel faults a second completion
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(word, 0x5A5A5A5Au);
    EXPECT_TRUE(onFace(kt40sim::Face::Pci).empty());
}

TEST_F(Interrupt, StopDisconnectsARunningServiceRoutineBeforeTheBridgeGoes) {
    // The service routine is about to run when the stop comes: the stop
    // must wait for it before the bridge block is given back.
    kernel.hold(HoldPoint::Interrupt);
    hw.raisePciInterrupt();
    ASSERT_TRUE(kernel.waitHeld(HoldPoint::Interrupt));
    NTSTATUS stopped = STATUS_PENDING;
    std::thread stopper([&] { stopped = kernel.stop(adapter); });
    ASSERT_TRUE(eventually([&] { return kernel.blockedWaiters() == 1; }));
    kernel.release(HoldPoint::Interrupt);
    stopper.join();
    EXPECT_EQ(stopped, STATUS_SUCCESS);
    EXPECT_EQ(kernel.interruptsClaimed(), 1u);
    EXPECT_EQ(bridgeWrites().size(), 1u);
    // Its DPC was taken off the queue or ran before the stop finished;
    // none is left to run afterwards.
    const uint64_t runs = kernel.dpcRuns();
    kernel.settle();
    EXPECT_EQ(kernel.dpcRuns(), runs);
    EXPECT_EQ(kernel.connectedInterrupts(), 0u);
}

TEST_F(Interrupt, ACardGoneFromTheBusDeclinesTheSharedLine) {
    // Its interrupt register reads all ones, pending bit included.
    kernel.dropCard();
    kernel.raiseSharedInterrupt();
    kernel.settle();
    EXPECT_EQ(kernel.interruptsDeclined(), 1u);
    EXPECT_EQ(kernel.interruptsClaimed(), 0u);
    for (auto& a : kernel.portTranscript()) EXPECT_FALSE(a.write) << std::hex << a.phys;
    EXPECT_EQ(kernel.dpcRuns(), 0u);
}

TEST_F(Interrupt, SurpriseRemovalDisconnectsBeforeItWaitsForACycleInFlight) {
    kernel.hold(HoldPoint::ControllerAccess);
    NTSTATUS controlled = STATUS_PENDING;
    ULONG in[2] = {KT40DRV_ADDRESS(0, 5, 0, 16, 0), 1}, out[2] = {};
    threads.emplace_back([&] { controlled = kernel.deviceControl(handle, KT40DRV_IOCTL_ADDRESSCOMMAND, in, 8, out, 8); });
    EXPECT_TRUE(kernel.waitHeld(HoldPoint::ControllerAccess));
    kernel.dropCard();
    NTSTATUS removed = STATUS_PENDING;
    threads.emplace_back([&] { removed = kernel.sendPnp(adapter, IRP_MN_SURPRISE_REMOVAL); });
    // The cycle still holds its request: the removal waits for it, with the
    // interrupt already gone.
    // (EXPECT: the threads use this frame's variables until joined below.)
    EXPECT_TRUE(eventually([&] { return kernel.connectedInterrupts() == 0; }));
    EXPECT_EQ(removed, STATUS_PENDING);
    kernel.release(HoldPoint::ControllerAccess);
    for (auto& t : threads) t.join();
    EXPECT_EQ(controlled, STATUS_SUCCESS);
    EXPECT_EQ(out[0], KT40DRV_RESULT_ERROR);
    EXPECT_EQ(removed, STATUS_SUCCESS);
}

TEST_F(Interrupt, RemovalWaitsOutACycleInFlightBeforeTheDeviceGoes) {
    kernel.hold(HoldPoint::ControllerAccess);
    NTSTATUS controlled = STATUS_PENDING;
    ULONG in[2] = {0, KT40DRV_CRATE_C}, out[2] = {};
    threads.emplace_back([&] { controlled = kernel.deviceControl(handle, KT40DRV_IOCTL_CRATECOMMAND, in, 8, out, 8); });
    EXPECT_TRUE(kernel.waitHeld(HoldPoint::ControllerAccess));
    NTSTATUS removed = STATUS_PENDING;
    threads.emplace_back([&] { removed = kernel.remove(adapter); });
    EXPECT_TRUE(eventually([&] { return kernel.blockedWaiters() == 1; }));
    EXPECT_EQ(removed, STATUS_PENDING);
    EXPECT_EQ(kernel.deviceNames().size(), 1u);
    kernel.release(HoldPoint::ControllerAccess);
    for (auto& t : threads) t.join();
    EXPECT_EQ(controlled, STATUS_SUCCESS);
    EXPECT_EQ(out[0], KT40DRV_RESULT_OK);
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_TRUE(kernel.deviceNames().empty());
    handle = 0;  // its device is gone; finish() drops the handle
}

// A control caller behind another's long cycle gives up after the
// driver's CycleWaitMilliseconds.
class Gate : public Interrupt {
protected:
    void SetUp() override {
        kernel.setRegistryDword(kt40kernel::Kernel::servicePath() + L"\\Parameters", L"CycleWaitMilliseconds", 200);
        Bring();
    }
};

TEST_F(Gate, ACallerBehindALongCycleIsRefusedAsBusyWithoutTouchingThePort) {
    kernel.hold(HoldPoint::ControllerAccess);
    NTSTATUS first = STATUS_PENDING;
    ULONG in[2] = {0, KT40DRV_CRATE_Z}, out[2] = {};
    threads.emplace_back([&] { first = kernel.deviceControl(handle, KT40DRV_IOCTL_CRATECOMMAND, in, 8, out, 8); });
    EXPECT_TRUE(kernel.waitHeld(HoldPoint::ControllerAccess));
    const size_t accesses = kernel.portTranscript().size();
    ULONG in2[1] = {0}, out2[3] = {7, 7, 7};
    ULONG_PTR info = 99;
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in2, 4, out2, 12, &info), STATUS_DEVICE_BUSY);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(out2[0], 7u);
    EXPECT_EQ(kernel.portTranscript().size(), accesses);
    EXPECT_TRUE(traced("kt40drv: Controller busy: no cycle within 0x000000c8 ms, status 0x80000011"));
    kernel.release(HoldPoint::ControllerAccess);
    for (auto& t : threads) t.join();
    EXPECT_EQ(first, STATUS_SUCCESS);
    // Free again: the next caller gets its cycle.
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in2, 4, out2, 12, &info), STATUS_SUCCESS);
}

}  // namespace
