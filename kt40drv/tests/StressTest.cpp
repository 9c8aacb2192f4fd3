// The device under load: control cycles, reads, writes and cancels from
// several threads while the adapter interrupts, a stop and a start in the
// middle, then removal with requests outstanding. Every request must
// complete once with a status its path allows, no controller cycle may be
// interleaved with another access of the port, and removal must wait for
// the requests and then succeed. A fixed seed and a bounded count keep it
// repeatable in what it asks; the interleavings are the machine's.
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "DriverFixture.h"

namespace {

using kt40kernel::HoldPoint;
using kt40kernel::RequestId;

constexpr unsigned kSeed = 20261208;
constexpr int kOpsPerThread = 300;
constexpr ULONG kSentinel = 0x5A5A5A5A;

// A 16-bit register per crate: what a thread writes it reads back.
class Register : public kt40sim::Module {
public:
    Register() : Module("register") {}
    kt40sim::Response cycle(int, int f, uint32_t& data) override {
        if (f < 8) data = value_;
        if (f >= 16 && f < 24) value_ = data & 0xFFFF;
        return {true, true};
    }
    uint32_t value_ = 0;
};

bool refused(NTSTATUS s) {
    return s == STATUS_DEVICE_NOT_READY || s == STATUS_INVALID_DEVICE_REQUEST || s == STATUS_DELETE_PENDING;
}

class Stress : public DriverTest {
protected:
    void SetUp() override {
        Bring();
        for (int c = 0; c < 2; ++c) {
            hw.setCrateOnline(c, true);
            hw.install(c, 7, std::make_unique<Register>());
        }
        hw.setDonePolls(2);
        hw.setLogging(false);  // the kernel's transcript is the record here
    }
    void TearDown() override {
        kernel.release(HoldPoint::ControllerAccess);
        DriverTest::TearDown();
    }

    // Records a failed expectation from a worker thread.
    void bad(const std::string& what) {
        std::lock_guard lock(mu);
        problems.push_back(what);
    }
    void count(const std::string& outcome) {
        std::lock_guard lock(mu);
        ++outcomes[outcome];
    }

    // Control cycles on the thread's own crate; a read returns what the
    // thread last wrote.
    void controlThread(int crate) {
        std::mt19937 rng(kSeed + static_cast<unsigned>(crate));
        ULONG written = 0;
        bool known = false;
        for (int i = 0; i < kOpsPerThread; ++i, ++done[crate]) {
            ULONG out[3] = {kSentinel, kSentinel, kSentinel};
            const int op = static_cast<int>(rng() % 3);
            NTSTATUS s;
            if (op == 0) {
                ULONG in[1] = {static_cast<ULONG>(crate) << 14};
                s = kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in, 4, out, 12);
            } else if (op == 1) {
                ULONG in[1] = {KT40DRV_ADDRESS(crate, 7, 0, 0, 0)};
                s = kernel.deviceControl(handle, KT40DRV_IOCTL_ADDRESSCOMMAND, in, 4, out, 12);
                if (s == STATUS_SUCCESS && out[0] == 0 && known && out[2] != written)
                    bad("crate " + std::to_string(crate) + " read back another value than written");
            } else {
                const ULONG data = rng() & 0xFFFF;
                ULONG in[2] = {KT40DRV_ADDRESS(crate, 7, 0, 16, 0), data};
                s = kernel.deviceControl(handle, KT40DRV_IOCTL_ADDRESSCOMMAND, in, 8, out, 8);
                if (s == STATUS_SUCCESS && out[0] == 0) {
                    written = data;
                    known = true;
                }
            }
            if (s == STATUS_SUCCESS) {
                if (out[0] != 0) bad("a control cycle ended with result code " + std::to_string(out[0]));
                count("control ok");
            } else if (refused(s)) {
                count("control refused");
            } else {
                bad("control request completed with " + std::to_string(s));
            }
        }
    }

    // Reads or writes with up to three outstanding; some are cancelled.
    void transferThread(unsigned index, bool write, bool cancels) {
        std::mt19937 rng(kSeed + 100 + index);
        struct Pending {
            RequestId id;
            ULONG* word;
            bool cancelTried;
        };
        std::vector<Pending> window;
        std::vector<ULONG> words(kOpsPerThread, kSentinel);
        // RSEL 4 to crate 3: starts an action, touches no module.
        const ULONG access = kt40sim::accessWord(kt40sim::kTargetRsel, 3, 4);
        auto finish = [&](const Pending& p) {
            ULONG_PTR info = 99;
            const NTSTATUS s = kernel.wait(p.id, &info);
            if (s == STATUS_SUCCESS && info == 1) {
                count(write ? "write done" : "read done");
                if (!write && *p.word == kSentinel) bad("a read completed with a word but left the buffer as it was");
            } else if (s == STATUS_SUCCESS && info == 0) {
                count("completed by the DPC");
                if (!write && *p.word != kSentinel) bad("a request the DPC completed had its buffer written");
            } else if (s == STATUS_CANCELLED && info == 0 && p.cancelTried) {
                count("cancelled");
                if (!write && *p.word != kSentinel) bad("a cancelled read had its buffer written");
            } else if (refused(s) && info == 0) {
                count("transfer refused");
            } else {
                bad("a transfer completed with " + std::to_string(s) + ", information " + std::to_string(info));
            }
        };
        for (int i = 0; i < kOpsPerThread; ++i, ++done[2 + index]) {
            ULONG* word = &words[static_cast<size_t>(i)];
            if (write) *word = access;
            const RequestId id = write ? kernel.beginWrite(handle, word, 4) : kernel.beginRead(handle, word, 4);
            window.push_back({id, word, false});
            if (cancels) {
                for (unsigned spin = rng() % 4; spin; --spin) std::this_thread::yield();
                window.back().cancelTried = true;
                kernel.cancel(id);
            }
            if (window.size() == 3) {
                finish(window.front());
                window.erase(window.begin());
            }
        }
        for (auto& p : window) finish(p);
    }

    std::mutex mu;
    std::vector<std::string> problems;
    std::map<std::string, int> outcomes;
    std::atomic<int> done[5] = {};  // operations issued, per worker
};

// The accesses of each control request to the controller's port must form
// one unbroken run among all accesses to that port.
std::vector<std::string> interleavedCycles(const std::vector<kt40kernel::PortAccess>& transcript) {
    struct Run {
        size_t first, last, count;
    };
    std::map<uint64_t, Run> runs;
    size_t index = 0;
    for (auto& a : transcript) {
        if (a.phys < kt40sim::kControllerIoBase || a.phys >= kt40sim::kControllerIoBase + kt40sim::kControllerIoLength)
            continue;
        if (a.major == IRP_MJ_DEVICE_CONTROL) {
            auto [it, fresh] = runs.try_emplace(a.request, Run{index, index, 0});
            it->second.last = index;
            ++it->second.count;
        }
        ++index;
    }
    std::vector<std::string> broken;
    for (auto& [request, run] : runs)
        if (run.last - run.first + 1 != run.count) broken.push_back("control request " + std::to_string(request));
    return broken;
}

TEST_F(Stress, EveryRequestCompletesOnceAndCyclesNeverInterleave) {
    // ---- Load, with a stop and a start in the middle ----
    std::atomic<bool> stopInterrupts{false};
    std::thread interrupter([&] {
        for (unsigned i = 0; !stopInterrupts; ++i) {
            if (i % 7 == 0)
                kernel.raiseSharedInterrupt();
            else
                hw.raisePciInterrupt();
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    std::vector<std::thread> workers;
    workers.emplace_back([&] { controlThread(0); });
    workers.emplace_back([&] { controlThread(1); });
    workers.emplace_back([&] { transferThread(0, false, false); });
    workers.emplace_back([&] { transferThread(1, true, false); });
    workers.emplace_back([&] { transferThread(2, false, true); });
    // Stop once every worker is a third of the way through.
    EXPECT_TRUE(eventually([&] {
        return std::all_of(std::begin(done), std::end(done), [](auto& d) { return d >= kOpsPerThread / 3; });
    }));
    EXPECT_EQ(kernel.stop(adapter), STATUS_SUCCESS);
    EXPECT_EQ(kernel.connectedInterrupts(), 0u);
    EXPECT_EQ(kernel.start(adapter), STATUS_SUCCESS);
    for (auto& t : workers) t.join();
    stopInterrupts = true;
    interrupter.join();
    kernel.settle();
    EXPECT_EQ(problems, std::vector<std::string>{});
    EXPECT_GT(outcomes["control ok"], 0);
    EXPECT_GT(outcomes["read done"], 0);
    EXPECT_GT(outcomes["write done"], 0);
    EXPECT_GT(kernel.interruptsClaimed(), 0u);
    for (auto& [outcome, n] : outcomes) std::printf("  %-22s %d\n", outcome.c_str(), n);

    // ---- Removal with requests outstanding ----
    // A read stops at the port holding the cycle lock; a second waits in the
    // queue, a third is cancelled there, a control request waits for the lock.
    kernel.hold(HoldPoint::ControllerAccess);
    ULONG w1 = kSentinel, w2 = kSentinel, w3 = kSentinel;
    RequestId r1 = 0;
    std::thread first([&] { r1 = kernel.beginRead(handle, &w1, 4); });
    ASSERT_TRUE(kernel.waitHeld(HoldPoint::ControllerAccess));
    const RequestId r2 = kernel.beginRead(handle, &w2, 4);
    const RequestId r3 = kernel.beginRead(handle, &w3, 4);
    ULONG lamIn[1] = {0}, lamOut[3] = {};
    NTSTATUS lamStatus = STATUS_PENDING;
    std::thread control([&] { lamStatus = kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, lamIn, 4, lamOut, 12); });
    ASSERT_TRUE(eventually([&] { return kernel.outstanding().size() == 4; }));
    EXPECT_TRUE(kernel.cancel(r3));
    ULONG_PTR info = 99;
    EXPECT_EQ(kernel.wait(r3, &info), STATUS_CANCELLED);
    EXPECT_EQ(w3, kSentinel);
    NTSTATUS removed = STATUS_PENDING;
    std::thread remover([&] { removed = kernel.remove(adapter); });
    ASSERT_TRUE(eventually([&] { return kernel.blockedWaiters() == 1; }));  // removal waits
    EXPECT_FALSE(traced("kt40drv: Entering Kt40drvDevice::OnRemoveDevice"));
    EXPECT_FALSE(kernel.completed(r2));
    kernel.release(HoldPoint::ControllerAccess);
    first.join();
    control.join();
    remover.join();
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_EQ(kernel.wait(r1, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
    EXPECT_EQ(kernel.wait(r2, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
    EXPECT_TRUE(lamStatus == STATUS_DELETE_PENDING || (lamStatus == STATUS_SUCCESS && lamOut[0] == 0)) << lamStatus;
    EXPECT_TRUE(traced("kt40drv: Entering Kt40drvDevice::OnRemoveDevice"));
    EXPECT_TRUE(kernel.deviceNames().empty());
    EXPECT_EQ(kernel.connectedInterrupts(), 0u);
    EXPECT_TRUE(kernel.outstanding().empty());
    handle = 0;  // the device is gone; the kernel drops the handle at the end

    EXPECT_EQ(interleavedCycles(kernel.portTranscript()), std::vector<std::string>{});
}

}  // namespace
