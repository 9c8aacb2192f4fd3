// The two adapter paths side by side on the virtual adapter (a program that
// prints its figures): for each path the kernel calls and port accesses of
// one action and of one block word, the time of one cssa, and the words
// per kernel call of a Q-stop block transfer (cfubc) of 1,000 words.
//
//   register     KT40_ADAPTER=virtual: the WinDriver stand-in service, one
//                request per 16-bit register access
//   packed/drv   KT40_ADAPTER=virtual-pci: kt40drv under the stand-in
//                kernel, one request per routine, one per block
//   packed/sysfs the Linux PCI path, the driver's sequences run in the
//                library over a resource file (here the virtual adapter's
//                PCI face behind the seam): one pread/pwrite per access
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Access.h"
#include "State.h"
#include "Sysfs.h"
#include "camac.h"
#include "camac758.h"
#include "kt40drv/Kt40drvIoctl.h"
#include "kt40kernel/Kernel.h"
#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"

namespace {

using Clock = std::chrono::steady_clock;
kt40sim::Adapter& hw() { return kt40sim::Adapter::instance(); }

// The sysfs seam over the virtual adapter's PCI face: every call one system
// call on a real machine.
int g_port = -1;
uint64_t g_syscalls = 0;
int s_open(const char* path, int) {
    ++g_syscalls;
    return std::strstr(path, "resource3") ? (g_port = 1000) : -1;
}
ssize_t s_pread(int, void* buf, size_t, off_t off) {
    ++g_syscalls;
    const uint32_t v = hw().pciRead(static_cast<uint32_t>(off));
    std::memcpy(buf, &v, 4);
    return 4;
}
ssize_t s_pwrite(int, const void* buf, size_t, off_t off) {
    ++g_syscalls;
    uint32_t v;
    std::memcpy(&v, buf, 4);
    hw().pciWrite(static_cast<uint32_t>(off), v);
    return 4;
}
int s_close(int) { return 0; }
constexpr camac::sysfs::Calls kSeam{s_open, s_pread, s_pwrite, s_close};

enum class Path { Register, Driver, Sysfs };

// Kernel calls so far on the path.
uint64_t kernel_calls(Path p) {
    switch (p) {
    case Path::Register: {
        auto& s = wdsim::controls();
        return s.requestCount(camac::kIoctlTransfer);
    }
    case Path::Driver: {
        uint64_t n = 0;
        for (const auto& r : kt40kernel::Kernel::instance().requests())
            if (r.major == IRP_MJ_DEVICE_CONTROL) ++n;
        return n;
    }
    case Path::Sysfs: return g_syscalls;
    }
    return 0;
}

struct Figures {
    double callsPerRead, accessesPerRead, callsPerWrite, accessesPerWrite;
    double nsPerCssa;
    double callsPerBlockWord, accessesPerBlockWord, wordsPerCall;
};

template <typename Fn>
void count(Path p, int times, Fn fn, double& calls, double& accesses) {
    const uint64_t c0 = kernel_calls(p), a0 = hw().accessCount();
    for (int k = 0; k < times; ++k) fn();
    calls = static_cast<double>(kernel_calls(p) - c0) / times;
    accesses = static_cast<double>(hw().accessCount() - a0) / times;
}

Figures measure(Path p, const char* adapter) {
    camac::disconnect();
    hw().reset();
    hw().setLogging(false);
    setenv("KT40_ADAPTER", adapter, 1);
    if (ccinit() != 0) {
        std::fprintf(stderr, "bench_paths: ccinit on %s failed: %s", adapter, camac::error_text());
        std::exit(1);
    }
    int ext = 0, ext16 = 0;
    cdreg(&ext, 16, 0, 5, 0);
    cdreg(&ext16, 16, 0, 1, 0);
    int data = 0x1234;
    char q = 0;
    Figures f{};
    count(p, 1000, [&] { cssa(0, ext, &data, &q); }, f.callsPerRead, f.accessesPerRead);
    count(p, 1000, [&] { cssa(16, ext, &data, &q); }, f.callsPerWrite, f.accessesPerWrite);

    constexpr int kTimed = 200000;
    const auto t0 = Clock::now();
    for (int k = 0; k < kTimed; ++k) cssa(0, ext, &data, &q);
    f.nsPerCssa = std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kTimed;

    // cfubc of 1,000 words from the memory module's word 0 (Q each time).
    static int words[1000];
    int cb[4] = {1000, 0, 0, 0};
    const uint64_t c0 = kernel_calls(p), a0 = hw().accessCount();
    if (cfubc(0, ext16 | 0x8000, words, cb) != 0 || cb[1] != 1000)
        std::fprintf(stderr, "bench_paths: cfubc on %s moved %d words (error 0x%04x)\n", adapter, cb[1],
                     cdata()->error);
    const double calls = static_cast<double>(kernel_calls(p) - c0);
    f.callsPerBlockWord = calls / 1000;
    f.accessesPerBlockWord = static_cast<double>(hw().accessCount() - a0) / 1000;
    f.wordsPerCall = calls > 0 ? 1000 / calls : 0;
    camac::disconnect();
    unsetenv("KT40_ADAPTER");
    return f;
}

}  // namespace

int main() {
    setenv("KT40_SIM_STATE", "private", 1);
    camac::sysfs::use("/nonexistent", &kSeam);
    setenv("KT40_PCI_DEVICE", "0000:00:00.0", 1);  // the seam's one card
    struct Row {
        const char* name;
        Path path;
        const char* adapter;
        Figures f;
    } rows[] = {{"register", Path::Register, "virtual", {}},
                {"packed/drv", Path::Driver, "virtual-pci", {}},
                {"packed/sysfs", Path::Sysfs, "pci", {}}};
    for (auto& r : rows) r.f = measure(r.path, r.adapter);

    std::printf("%-13s %11s %11s %11s %11s %9s %11s %11s %11s\n", "path", "calls/read", "ports/read", "calls/write",
                "ports/write", "ns/cssa", "calls/word", "ports/word", "words/call");
    for (const auto& r : rows)
        std::printf("%-13s %11.2f %11.2f %11.2f %11.2f %9.0f %11.4f %11.2f %11.1f\n", r.name, r.f.callsPerRead,
                    r.f.accessesPerRead, r.f.callsPerWrite, r.f.accessesPerWrite, r.f.nsPerCssa,
                    r.f.callsPerBlockWord, r.f.accessesPerBlockWord, r.f.wordsPerCall);
    const Figures& reg = rows[0].f;
    for (int k = 1; k < 3; ++k) {
        const Figures& f = rows[k].f;
        std::printf("%s against register: kernel calls per read %.2f, per write %.2f, per block word %.4f; "
                    "time per cssa %.2f\n",
                    rows[k].name, f.callsPerRead / reg.callsPerRead, f.callsPerWrite / reg.callsPerWrite,
                    f.callsPerBlockWord / reg.callsPerBlockWord, f.nsPerCssa / reg.nsPerCssa);
    }
    return 0;
}
