// kt40drv's request surface under libFuzzer, as driver certification drives
// a driver with random requests: each input is a program of operations on
// one loaded driver and started adapter under the stand-in kernel (control
// codes with random lengths, buffer addresses and words, reads, writes,
// cancels, interrupts, controller faults, and Plug and Play: stop, start,
// the queries and their cancels, surprise removal). Blocks of actions go as
// buffered requests of any length and content, the stand-in kernel copying
// them in and out as the I/O manager does. After every input the
// kernel's invariants must hold: every request completed exactly once,
// nothing pending at the end, no IRQL rule broken, nothing left behind (the
// kernel's fault list), and no port access on behalf of a refused request.
// A broken invariant aborts, which libFuzzer reports with the input.
#include <wdm.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kt40drv/Kt40drvIoctl.h"
#include "kt40kernel/Kernel.h"
#include "kt40sim/Adapter.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

kt40kernel::Kernel& kernel = kt40kernel::Kernel::instance();
kt40sim::Adapter& hw = kt40sim::Adapter::instance();

// Reads the input front to back; zeros once it is used up.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= uint32_t{byte()} << (8 * i);
        return w;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

constexpr ULONG kCodes[] = {KT40DRV_IOCTL_DEBUG,          KT40DRV_IOCTL_SETINTEVENT, KT40DRV_IOCTL_CLEARINTEVENT,
                            KT40DRV_IOCTL_ADDRESSCOMMAND, KT40DRV_IOCTL_CRATECOMMAND, KT40DRV_IOCTL_READLAM};

[[noreturn]] void broken(const std::string& what) {
    std::fprintf(stderr, "kt40drv fuzz: %s\n", what.c_str());
    std::abort();
}

// A caller's buffer: its own memory, null, system space, or an unmapped page.
void* bufferAt(uint8_t how, void* own) {
    switch (how % 8) {
    case 5: return nullptr;
    case 6: return reinterpret_cast<void*>(uintptr_t{0xFFFF800000001000});
    case 7: return reinterpret_cast<void*>(uintptr_t{0x1000});
    default: return own;
    }
}

bool refusal(NTSTATUS s) {
    return s == STATUS_INVALID_PARAMETER || s == STATUS_ACCESS_VIOLATION || s == STATUS_INVALID_DEVICE_REQUEST ||
           s == STATUS_DEVICE_NOT_READY || s == STATUS_DELETE_PENDING;
}

struct Run {
    kt40kernel::Handle handle = 0;
    int adapter = -1;
    bool started = true;
    bool removed = false;  // surprise removal: only the final removal may follow
    std::vector<kt40kernel::RequestId> pending;
    std::map<kt40kernel::RequestId, std::vector<ULONG>> buffers;
    std::vector<std::thread> workers;
};

// A KT40DRV_IOCTL_BLOCK request: mostly well formed, with the kinds,
// counts, limits, addresses and lengths it must refuse mixed in. A block
// that the driver takes must return whole result pairs inside its input.
void block(Input& in, kt40kernel::Handle handle) {
    const uint8_t kind = in.byte(), size = in.byte(), shape = in.byte();
    // Up to 11 actions, now and then the largest number or one more.
    const ULONG count = size == 0xFF ? KT40DRV_BLOCK_MAX_ACTIONS + (shape >> 7) : size % 12;
    ULONG limit = in.word();
    // Q-repeat tries each word up to its limit: keep that short.
    if (limit <= KT40DRV_BLOCK_MAX_REPEAT) limit %= 64;
    std::vector<ULONG> words{ULONG{kind} % 4, count, limit, in.byte() == 0xFF ? in.word() : 0u};
    const bool sameAddress = kind & 0x80;  // as Q-stop and Q-repeat need
    for (ULONG i = 0; i < count; ++i) {
        words.push_back(sameAddress && i > 0 ? words[4] : in.word());
        words.push_back(in.word());
    }
    const ULONG exact = KT40DRV_BLOCK_BYTES(count);
    auto length = [&](uint8_t how) -> ULONG {
        switch (how % 8) {
        case 0: return exact - 4;
        case 1: return exact + 4;
        case 2: return in.byte();
        case 3: return 0;
        default: return exact;
        }
    };
    const ULONG inLength = length(shape), outLength = length(shape >> 3);
    words.resize(std::max<size_t>(words.size(), (inLength + 3) / 4));
    std::vector<ULONG> out((outLength + 3) / 4, 0xA5A5A5A5);
    ULONG_PTR info = 0;
    const NTSTATUS status =
        kernel.deviceControl(handle, KT40DRV_IOCTL_BLOCK, words.data(), inLength, out.data(), outLength, &info);
    if (status == STATUS_SUCCESS &&
        (info < KT40DRV_BLOCK_BYTES(0) || info > inLength || (info - KT40DRV_BLOCK_BYTES(0)) % 8 != 0))
        broken("a block of " + std::to_string(inLength) + " bytes returned " + std::to_string(info));
}

void deviceControl(Run& run, Input& in) {
    const uint8_t pick = in.byte();
    if (pick >= 0xE0 && pick < 0xF0) return block(in, run.handle);
    const ULONG code = pick < 0xF0 ? kCodes[pick % 6] : in.word();
    const ULONG inLength = in.byte() % 20, outLength = in.byte() % 20;
    const uint8_t where = in.byte();
    std::vector<ULONG> words(5), out(5, 0xA5A5A5A5);
    for (auto& w : words) w = in.word();
    // A crate command's code is passed on unchecked: bits 16-17 other than 0
    // name a register that starts no cycle, and the poll then runs its limit
    // out (16.7 million reads, seconds; the control tests cover it).
    if (code == KT40DRV_IOCTL_CRATECOMMAND) words[1] &= ~0x30000u;
    // Foreign addresses reach the driver only with METHOD_NEITHER: for the
    // other methods the I/O manager copies (and would refuse) them itself.
    const bool neither = (code & 3) == METHOD_NEITHER;
    void* inBuffer = neither ? bufferAt(where, words.data()) : words.data();
    void* outBuffer = neither ? bufferAt(where >> 3, out.data()) : out.data();
    kernel.deviceControl(run.handle, code, inBuffer, inLength, outBuffer, outLength);
}

void transfer(Run& run, Input& in, bool write) {
    const ULONG length = in.byte() % 9;
    std::vector<ULONG> words(3, 0x5A5A5A5A);
    words[0] = in.word();
    const auto id = write ? kernel.beginWrite(run.handle, words.data(), length)
                          : kernel.beginRead(run.handle, words.data(), length);
    run.buffers[id] = std::move(words);  // the storage stays where it was
    run.pending.push_back(id);
}

void pnp(Run& run, uint8_t which) {
    if (run.removed) return;
    switch (which % 6) {
    case 0:
        if (run.started) kernel.stop(run.adapter), run.started = false;
        break;
    case 1:
        if (!run.started) run.started = kernel.start(run.adapter) == STATUS_SUCCESS;
        break;
    case 2:
        kernel.sendPnp(run.adapter, IRP_MN_QUERY_STOP_DEVICE);
        kernel.sendPnp(run.adapter, IRP_MN_CANCEL_STOP_DEVICE);
        break;
    case 3:
        kernel.sendPnp(run.adapter, IRP_MN_QUERY_REMOVE_DEVICE);
        kernel.sendPnp(run.adapter, IRP_MN_CANCEL_REMOVE_DEVICE);
        break;
    case 4: kernel.sendPnp(run.adapter, IRP_MN_QUERY_CAPABILITIES); break;
    case 5:
        kernel.sendPnp(run.adapter, IRP_MN_SURPRISE_REMOVAL);
        run.removed = true;
        break;
    }
}

void controllerFault(Input& in) {
    static constexpr kt40sim::Fault kFaults[] = {kt40sim::Fault::None, kt40sim::Fault::ErrorBit,
                                                 kt40sim::Fault::WrongCrate, kt40sim::Fault::NoX};
    const uint8_t b = in.byte();
    hw.setFault(kFaults[b % 4]);  // never a fault that runs the poll limit out
    hw.setDonePolls(b >> 4);
    hw.setBusyPolls(in.byte() % 4);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("KT40_SIM_STATE", "private", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    Run run;
    if (kernel.loadDriver(DriverEntry) != STATUS_SUCCESS) broken("DriverEntry failed");
    run.adapter = kernel.addAdapter({});
    if (kernel.start(run.adapter) != STATUS_SUCCESS) broken("the start failed");
    if (kernel.open("\\\\.\\KT400", run.handle) != STATUS_SUCCESS) broken("the open failed");
    hw.setLogging(false);
    for (int ops = 0; !in.empty() && ops < 64; ++ops) {
        const uint8_t op = in.byte();
        switch (op % 12) {
        case 0: deviceControl(run, in); break;
        case 1: transfer(run, in, false); break;
        case 2: transfer(run, in, true); break;
        case 3:
            if (!run.pending.empty()) kernel.cancel(run.pending[in.byte() % run.pending.size()]);
            break;
        case 4:
            if (!run.pending.empty()) {
                const size_t i = in.byte() % run.pending.size();
                kernel.wait(run.pending[i]);
                run.pending.erase(run.pending.begin() + static_cast<long>(i));
            }
            break;
        case 5: hw.raisePciInterrupt(); break;
        case 6: kernel.raiseSharedInterrupt(); break;
        case 7: pnp(run, in.byte()); break;
        case 8: controllerFault(in); break;
        case 9:
            // A control request from another thread, racing what follows.
            if (run.workers.size() < 2) {
                std::vector<uint8_t> copy;
                for (int i = 0; i < 28; ++i) copy.push_back(in.byte());
                run.workers.emplace_back([&run, copy] {
                    Input mine(copy.data(), copy.size());
                    deviceControl(run, mine);
                });
            }
            break;
        case 10: kernel.settle(); break;
        case 11: hw.raiseLam(in.byte() % 4, 1 + in.byte() % 24); break;
        }
    }
    for (auto& t : run.workers) t.join();
    kernel.settle();
    // Nothing may stay pending: each request completes (a wait that ends
    // without completion is a kernel fault).
    for (auto id : run.pending) kernel.wait(id);
    // No port access for a request the driver refused.
    std::map<uint64_t, int> accesses;
    for (auto& a : kernel.portTranscript()) ++accesses[a.request];
    for (auto& r : kernel.requests()) {
        const bool io = r.major == IRP_MJ_DEVICE_CONTROL || r.major == IRP_MJ_READ || r.major == IRP_MJ_WRITE;
        if (io && refusal(r.status) && accesses.count(r.id))
            broken("request " + std::to_string(r.id) + " (major " + std::to_string(r.major) + ") was refused with " +
                   std::to_string(r.status) + " after " + std::to_string(accesses[r.id]) + " port accesses");
    }
    kernel.close(run.handle);
    const auto faults = kernel.finish();
    if (!faults.empty()) {
        std::string all;
        for (auto& f : faults) all += "\n  " + f;
        broken("the kernel reports:" + all);
    }
    return 0;
}
