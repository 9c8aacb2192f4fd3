// The control codes as a program uses them: the access words the controller
// receives, result codes, output words and Information, the poll limits and
// the checks of the caller's buffers.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "DriverFixture.h"

namespace {

constexpr ULONG kUntouched = 0xA5A5A5A5;

// A module that answers every cycle with fixed data, X and Q.
class Fixed : public kt40sim::Module {
public:
    explicit Fixed(uint32_t data) : Module("fixed"), data_(data) {}
    kt40sim::Response cycle(int, int f, uint32_t& data) override {
        if (f < 8) data = data_;
        if (f >= 16 && f < 24) data_ = data;
        return {true, true};
    }
    uint32_t data_;
};

class Control : public DriverTest {
protected:
    void SetUp() override {
        Bring();
        std::fill(std::begin(out), std::end(out), kUntouched);
    }
    NTSTATUS call(ULONG code, std::vector<ULONG> in, ULONG outWords) {
        inWords = in;
        return kernel.deviceControl(handle, code, inWords.data(), static_cast<ULONG>(inWords.size() * 4), out,
                                    outWords * 4, &info);
    }
    uint64_t portReads() const {
        uint64_t n = 0;
        for (auto& a : hw.log())
            if (a.face == kt40sim::Face::Pci && a.dir == kt40sim::Direction::Read) ++n;
        return n;
    }
    std::vector<ULONG> inWords;
    ULONG out[4];
    ULONG_PTR info = 99;
};

TEST_F(Control, DebugWritesThePatternAndLeavesWordTwo) {
    ASSERT_EQ(call(KT40DRV_IOCTL_DEBUG, {5}, 4), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(out, out + 4), (std::vector<ULONG>{10, 11, kUntouched, 6}));
    EXPECT_EQ(info, 3u);
    EXPECT_TRUE(hw.log().empty());
    EXPECT_TRUE(traced("kt40drv: Entering Kt40drvDevice::KT40DRV_IOCTL_DEBUG_Handler, IRP_MJ_DEVICE_CONTROL code "
                       "0x00222003 in 0x00000004 out 0x00000010"));
}

TEST_F(Control, InterruptEventCodesDoNothing) {
    for (ULONG code : {KT40DRV_IOCTL_SETINTEVENT, KT40DRV_IOCTL_CLEARINTEVENT}) {
        EXPECT_EQ(kernel.deviceControl(handle, code, nullptr, 0, nullptr, 0, &info), STATUS_SUCCESS);
        EXPECT_EQ(info, 0u);
    }
    EXPECT_TRUE(traced("kt40drv: Entering Kt40drvDevice::KT40DRV_IOCTL_SETINTEVENT_Handler, IRP_MJ_DEVICE_CONTROL "
                       "code 0x00222007 in 0x00000000 out 0x00000000"));
    EXPECT_TRUE(hw.log().empty());
}

TEST_F(Control, UnknownCodesAreRefused) {
    for (ULONG code : {0x00222004u, 0x00222000u, 0x0022201Bu, 0x00122003u}) {
        EXPECT_EQ(call(code, {0, 0}, 4), STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_EQ(out[0], kUntouched);
    }
    EXPECT_TRUE(hw.log().empty());
}

TEST_F(Control, ReadOf24BitsSelectsTheHighByte) {
    hw.setCrateOnline(1, true);
    hw.install(1, 5, std::make_unique<Fixed>(0xABCDEF));
    ASSERT_EQ(call(KT40DRV_IOCTL_ADDRESSCOMMAND, {0x14A40}, 3), STATUS_SUCCESS);
    EXPECT_EQ(pciWriteValues(), (std::vector<uint32_t>{0x44A40, 0x50001}));
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[1] & 0xFFFF, 0xCDEFu);
    EXPECT_EQ(out[2], 0xABCDEFu);
    EXPECT_EQ(info, 4u);
}

TEST_F(Control, ReadWhoseHighByteStepFailsKeepsTheLowHalf) {
    hw.setCrateOnline(1, true);
    hw.install(1, 5, std::make_unique<Fixed>(0xABCDEF));
    // The command, its completion, the select-high-byte word; then the error bit.
    hw.setFaultAfter(3, kt40sim::Fault::ErrorBit);
    ASSERT_EQ(call(KT40DRV_IOCTL_ADDRESSCOMMAND, {0x14A40}, 3), STATUS_SUCCESS);
    EXPECT_EQ(pciWriteValues(), (std::vector<uint32_t>{0x44A40, 0x50001}));
    EXPECT_EQ(out[0], KT40DRV_RESULT_ERROR);
    EXPECT_TRUE(out[1] & KT40DRV_COMPLETION_DONE) << "word 1 is the first, clean completion";
    EXPECT_EQ(out[1] & 0xFFFF, 0xCDEFu);
    EXPECT_EQ(out[2], 0xCDEFu);
    EXPECT_EQ(info, 2u);
}

TEST_F(Control, ReadOf16BitsReturnsTheLowHalfOfTheCompletionWord) {
    hw.install(0, 7, std::make_unique<Fixed>(0x12345));
    ASSERT_EQ(call(KT40DRV_IOCTL_ADDRESSCOMMAND, {KT40DRV_ADDRESS(0, 7, 0, 0, 0)}, 3), STATUS_SUCCESS);
    EXPECT_EQ(out[0], 0u);
    EXPECT_TRUE(out[1] & KT40DRV_COMPLETION_DONE);
    EXPECT_EQ(out[2], out[1] & 0xFFFF);
    EXPECT_EQ(out[2], 0x2345u);
    EXPECT_EQ(info, 4u);
}

TEST_F(Control, WriteLoadsDataWaitsForBusyThenSendsTheCommand) {
    hw.setCrateOnline(2, true);
    auto module = std::make_unique<Fixed>(0);
    Fixed* written = module.get();
    hw.install(2, 3, std::move(module));
    hw.setBusyPolls(3);
    ASSERT_EQ(call(KT40DRV_IOCTL_ADDRESSCOMMAND, {0x8610, 0x1234}, 2), STATUS_SUCCESS);
    using kt40sim::Direction;
    std::vector<std::pair<Direction, uint32_t>> transcript;
    for (auto& a : hw.log()) transcript.emplace_back(a.dir, a.dir == Direction::Write ? a.value : 0);
    // Data low, busy for three reads, clear, one more read, then the command.
    const std::vector<std::pair<Direction, uint32_t>> expected{
        {Direction::Write, 0xA1234}, {Direction::Read, 0}, {Direction::Read, 0}, {Direction::Read, 0},
        {Direction::Read, 0},        {Direction::Read, 0}, {Direction::Write, 0x80610}};
    ASSERT_GE(transcript.size(), expected.size());
    EXPECT_EQ(std::vector(transcript.begin(), transcript.begin() + 7), expected);
    EXPECT_EQ(written->data_, 0x1234u);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[2], kUntouched);
    EXPECT_EQ(info, 2u);
}

TEST_F(Control, WriteOf24BitsLoadsBothDataHalves) {
    auto module = std::make_unique<Fixed>(0);
    Fixed* written = module.get();
    hw.install(0, 9, std::move(module));
    ASSERT_EQ(call(KT40DRV_IOCTL_ADDRESSCOMMAND, {KT40DRV_ADDRESS(0, 9, 1, 16, 1), 0x00ABCDEF}, 2), STATUS_SUCCESS);
    EXPECT_EQ(pciWriteValues(), (std::vector<uint32_t>{0x2CDEF, 0x300AB, 0x4000 | 9 << 9 | 1 << 5 | 16}));
    EXPECT_EQ(written->data_, 0xABCDEFu);
    EXPECT_EQ(info, 2u);
}

TEST_F(Control, CrateCommandAndLamReadout) {
    ASSERT_EQ(call(KT40DRV_IOCTL_CRATECOMMAND, {3u << 14, KT40DRV_CRATE_Z}, 2), STATUS_SUCCESS);
    EXPECT_EQ(pciWriteValues(), (std::vector<uint32_t>{0xC8002}));
    // Crate 3 is off-line: no X, which a crate command does not need.
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(info, 2u);

    hw.clearLog();
    hw.raiseLam(0, 3);
    ASSERT_EQ(call(KT40DRV_IOCTL_READLAM, {0}, 3), STATUS_SUCCESS);
    EXPECT_EQ(pciWriteValues(), (std::vector<uint32_t>{0x10002, 0x10004}));
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[2], hw.lamPattern(0));
    EXPECT_EQ(out[2] & (1u << 2), 1u << 2);
    EXPECT_EQ(info, 3u);
}

TEST_F(Control, CrateCommandPassesTheHighBitsOfItsCodeOn) {
    ASSERT_EQ(call(KT40DRV_IOCTL_CRATECOMMAND, {1u << 14, 0xF0000000u | KT40DRV_CRATE_C}, 2), STATUS_SUCCESS);
    EXPECT_EQ(pciWriteValues(), (std::vector<uint32_t>{0xF0000000u | 1u << 18 | 0x8000 | KT40DRV_CRATE_C}));
}

TEST_F(Control, ControlCommandReturnsTwoWordsAndNoInformation) {
    ASSERT_EQ(call(KT40DRV_IOCTL_ADDRESSCOMMAND, {KT40DRV_ADDRESS(0, 3, 0, 24, 0)}, 2), STATUS_SUCCESS);
    EXPECT_EQ(out[0], 0u);
    EXPECT_NE(out[1], kUntouched);
    EXPECT_EQ(out[2], kUntouched);
    EXPECT_EQ(info, 0u);
}

TEST_F(Control, ControllerFaultsBecomeResultCodes) {
    hw.setFault(kt40sim::Fault::WrongCrate);
    ASSERT_EQ(call(KT40DRV_IOCTL_ADDRESSCOMMAND, {KT40DRV_ADDRESS(0, 5, 0, 0, 0)}, 3), STATUS_SUCCESS);
    EXPECT_EQ(out[0], KT40DRV_RESULT_WRONG_CRATE);
    EXPECT_TRUE(out[1] & KT40DRV_COMPLETION_DONE);
    EXPECT_EQ(out[2], kUntouched);
    EXPECT_EQ(info, 2u);

    hw.setFault(kt40sim::Fault::NoX);
    ASSERT_EQ(call(KT40DRV_IOCTL_ADDRESSCOMMAND, {KT40DRV_ADDRESS(0, 5, 0, 16, 0), 7}, 2), STATUS_SUCCESS);
    EXPECT_EQ(out[0], KT40DRV_RESULT_NO_X);
    EXPECT_EQ(info, 2u);
    ASSERT_EQ(call(KT40DRV_IOCTL_CRATECOMMAND, {0, KT40DRV_CRATE_C}, 2), STATUS_SUCCESS);
    EXPECT_EQ(out[0], KT40DRV_RESULT_OK);
    EXPECT_EQ(info, 2u);

    // The error bit wins over busy in the same word: one read.
    hw.setFault(kt40sim::Fault::ErrorBit);
    hw.setBusyPolls(1000);
    hw.clearLog();
    std::fill(std::begin(out), std::end(out), kUntouched);
    ASSERT_EQ(call(KT40DRV_IOCTL_CRATECOMMAND, {0, KT40DRV_CRATE_C}, 2), STATUS_SUCCESS);
    EXPECT_EQ(out[0], KT40DRV_RESULT_ERROR);
    EXPECT_TRUE(out[1] & KT40DRV_COMPLETION_BUSY);
    EXPECT_EQ(portReads(), 1u);
    EXPECT_EQ(info, 1u);
    std::fill(std::begin(out), std::end(out), kUntouched);
    ASSERT_EQ(call(KT40DRV_IOCTL_READLAM, {0}, 3), STATUS_SUCCESS);
    EXPECT_EQ(out[0], KT40DRV_RESULT_ERROR);
    EXPECT_EQ(out[2], kUntouched);
    EXPECT_EQ(info, 2u);
}

// The adapter may show done while busy or the cycle bit still shows: the
// first word with done gets the cycle bit, the second the busy bit.
std::atomic<int> g_doneWords{0};
uint32_t DoneWithCycleThenBusy(uint32_t value) {
    if (!(value & KT40DRV_COMPLETION_DONE)) return value;
    const int n = g_doneWords++;
    return value | (n == 0 ? KT40DRV_COMPLETION_CYCLE : n == 1 ? KT40DRV_COMPLETION_BUSY : 0);
}

TEST_F(Control, DoneTogetherWithCycleOrBusyKeepsThePollGoing) {
    hw.install(0, 7, std::make_unique<Fixed>(0x1234));
    g_doneWords = 0;
    kernel.filterControllerReads(DoneWithCycleThenBusy);
    ASSERT_EQ(call(KT40DRV_IOCTL_ADDRESSCOMMAND, {KT40DRV_ADDRESS(0, 7, 0, 0, 0)}, 3), STATUS_SUCCESS);
    EXPECT_EQ(g_doneWords, 3);  // the driver read on until done stood alone
    EXPECT_EQ(out[0], 0u);
    EXPECT_FALSE(out[1] & (KT40DRV_COMPLETION_CYCLE | KT40DRV_COMPLETION_BUSY));
    EXPECT_EQ(out[2], 0x1234u);
}

TEST_F(Control, DoneThatNeverComesEndsAfterTheReadLimit) {
    hw.setFault(kt40sim::Fault::DoneNever);
    hw.setLogging(false);
    const uint64_t before = hw.accessCount();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(call(KT40DRV_IOCTL_ADDRESSCOMMAND, {KT40DRV_ADDRESS(0, 5, 0, 0, 0)}, 3), STATUS_SUCCESS);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(hw.accessCount() - before, 1u + KT40DRV_POLL_LIMIT);  // the command, then every poll
    EXPECT_EQ(out[0], KT40DRV_RESULT_NO_DONE);
    EXPECT_TRUE(out[1] & KT40DRV_COMPLETION_CYCLE);
    EXPECT_FALSE(out[1] & KT40DRV_COMPLETION_DONE);
    EXPECT_EQ(info, 2u);
    RecordProperty("poll_limit_seconds", std::to_string(seconds));
}

TEST_F(Control, BusyThatNeverClearsFailsTheWriteWithoutACommand) {
    hw.setFault(kt40sim::Fault::BusyStuck);
    hw.setLogging(false);
    const uint64_t before = hw.accessCount();
    ASSERT_EQ(call(KT40DRV_IOCTL_ADDRESSCOMMAND, {KT40DRV_ADDRESS(0, 5, 0, 16, 0), 1}, 2), STATUS_SUCCESS);
    // Data low, the polls, the extra read; no command.
    EXPECT_EQ(hw.accessCount() - before, 1u + KT40DRV_POLL_LIMIT + 1u);
    EXPECT_EQ(out[0], KT40DRV_RESULT_BUSY);
    EXPECT_EQ(out[1], kUntouched);
    EXPECT_EQ(info, 1u);
}

TEST_F(Control, ACardThatReadsAllOnesEndsEveryWaitAtItsFirstWord) {
    kernel.dropCard();
    struct Case {
        ULONG code;
        std::vector<ULONG> in;
        ULONG outWords;
        size_t accesses;  // port accesses of the whole request
        ULONG_PTR information;
    } cases[] = {
        // Data low, one busy read, the extra read; no command.
        {KT40DRV_IOCTL_ADDRESSCOMMAND, {KT40DRV_ADDRESS(0, 5, 0, 16, 1), 7}, 2, 3, 1},
        {KT40DRV_IOCTL_ADDRESSCOMMAND, {KT40DRV_ADDRESS(0, 5, 0, 0, 1)}, 3, 2, 2},
        {KT40DRV_IOCTL_CRATECOMMAND, {0, KT40DRV_CRATE_Z}, 2, 2, 1},
        {KT40DRV_IOCTL_READLAM, {0}, 3, 2, 2},
    };
    for (const Case& c : cases) {
        const size_t before = kernel.portTranscript().size();
        ASSERT_EQ(call(c.code, c.in, c.outWords), STATUS_SUCCESS);
        EXPECT_EQ(kernel.portTranscript().size() - before, c.accesses) << std::hex << c.in[0];
        EXPECT_EQ(out[0], KT40DRV_RESULT_ERROR);
        EXPECT_EQ(info, c.information);
    }
    // A block stops at its first action.
    std::vector<ULONG> block = {KT40DRV_BLOCK_LIST, 2, 0, 0, KT40DRV_ADDRESS(0, 5, 0, 16, 0), 1,
                                KT40DRV_ADDRESS(0, 5, 0, 16, 0), 2};
    std::vector<ULONG> reply(block.size(), kUntouched);
    ULONG_PTR bytes = 0;
    ASSERT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_BLOCK, block.data(), KT40DRV_BLOCK_BYTES(2), reply.data(),
                                   KT40DRV_BLOCK_BYTES(2), &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(reply[0], KT40DRV_RESULT_ERROR);
    EXPECT_EQ(reply[1], 0u);
    EXPECT_EQ(bytes, KT40DRV_BLOCK_BYTES(1));
}

TEST_F(Control, ShortBuffersAreRefusedBeforeThePortAndLeftUntouched) {
    struct Case {
        ULONG code;
        std::vector<ULONG> in;
        ULONG outWords;
    } cases[] = {
        {KT40DRV_IOCTL_DEBUG, {}, 4},
        {KT40DRV_IOCTL_DEBUG, {1}, 3},
        {KT40DRV_IOCTL_ADDRESSCOMMAND, {}, 3},
        {KT40DRV_IOCTL_ADDRESSCOMMAND, {KT40DRV_ADDRESS(0, 5, 0, 0, 0)}, 2},   // read needs 3 out
        {KT40DRV_IOCTL_ADDRESSCOMMAND, {KT40DRV_ADDRESS(0, 5, 0, 16, 0)}, 2},  // write needs its data
        {KT40DRV_IOCTL_ADDRESSCOMMAND, {KT40DRV_ADDRESS(0, 5, 0, 24, 0)}, 1},
        {KT40DRV_IOCTL_CRATECOMMAND, {0}, 2},
        {KT40DRV_IOCTL_CRATECOMMAND, {0, 1}, 1},
        {KT40DRV_IOCTL_READLAM, {0}, 2},
    };
    for (const Case& c : cases) {
        info = 99;
        EXPECT_EQ(call(c.code, c.in, c.outWords), STATUS_INVALID_PARAMETER) << std::hex << c.code;
        EXPECT_EQ(info, 0u);
        for (ULONG w : out) EXPECT_EQ(w, kUntouched);
    }
    EXPECT_TRUE(hw.log().empty());
}

TEST_F(Control, AddressesOutsideTheCallersSpaceAreRefused) {
    auto* kernelSpace = reinterpret_cast<ULONG*>(reinterpret_cast<uintptr_t>(MmUserProbeAddress) + 0x1000);
    auto* straddling = reinterpret_cast<ULONG*>(reinterpret_cast<uintptr_t>(MmUserProbeAddress) - 4);
    ULONG in[2] = {0, 1};
    // A bad output address is found before the cycle runs.
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, in, 4, kernelSpace, 12, &info), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_CRATECOMMAND, in, 8, straddling, 8, &info), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_DEBUG, kernelSpace, 4, out, 16, &info), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_DEBUG, nullptr, 4, out, 16, &info), STATUS_ACCESS_VIOLATION);
    for (ULONG w : out) EXPECT_EQ(w, kUntouched);
    EXPECT_TRUE(hw.log().empty());
}

// Within the caller's space, a range is used only when the memory manager can
// secure it with the access needed: pages that are read-only, inaccessible or
// not mapped at all are refused before the port is touched, and nothing of a
// range that is partly usable is written.
TEST_F(Control, CallerRangesThatCannotBeSecuredAreRefused) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto* base = static_cast<UCHAR*>(mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    auto* readOnly = reinterpret_cast<ULONG*>(base);
    auto* writable = reinterpret_cast<ULONG*>(base + page);
    auto* noAccess = reinterpret_cast<ULONG*>(base + 2 * page);
    auto* unmapped = reinterpret_cast<ULONG*>(base + 3 * page);
    std::fill(writable, writable + page / 4, kUntouched);
    readOnly[0] = KT40DRV_ADDRESS(0, 5, 0, 0, 0);
    readOnly[1] = 7;
    ASSERT_EQ(mprotect(readOnly, page, PROT_READ), 0);
    ASSERT_EQ(mprotect(noAccess, page, PROT_NONE), 0);
    ASSERT_EQ(munmap(unmapped, page), 0);

    // Output into a read-only page, input from pages that cannot be read.
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_READLAM, writable, 4, readOnly, 12, &info), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(readOnly[1], 7u);
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_DEBUG, noAccess, 4, out, 16, &info), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_CRATECOMMAND, unmapped, 8, out, 8, &info), STATUS_ACCESS_VIOLATION);
    // Output words that run from a writable page into an inaccessible one:
    // the word that could have been written is left alone too.
    ULONG* lastWord = reinterpret_cast<ULONG*>(base + 2 * page) - 1;
    EXPECT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_ADDRESSCOMMAND, readOnly, 4, lastWord, 12, &info),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(*lastWord, kUntouched);
    for (ULONG w : out) EXPECT_EQ(w, kUntouched);
    EXPECT_TRUE(hw.log().empty());

    // Read-only input is enough for input.
    ASSERT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_DEBUG, readOnly + 1, 4, writable, 16, &info), STATUS_SUCCESS);
    EXPECT_EQ(writable[3], 8u);
    EXPECT_EQ(info, 3u);
    munmap(base, 3 * page);
}

// A caller's page that the memory manager secures but cannot bring in (its
// backing store fails) faults at the copy: the request ends with
// STATUS_INVALID_USER_BUFFER and Information 0, before the port when the
// page is one of input or output, and the driver goes on serving.
TEST_F(Control, CallerPagesThatCannotBeBroughtInFailTheRequestNotTheMachine) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto* base = static_cast<UCHAR*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    ULONG* lastGood = reinterpret_cast<ULONG*>(base + page) - 1;  // the bad page follows
    auto* bad = reinterpret_cast<ULONG*>(base + page);
    ASSERT_TRUE(kernel.markInPageError(bad, page));
    const ULONG read5 = KT40DRV_ADDRESS(0, 5, 0, 0, 0);
    const ULONG write5[2] = {KT40DRV_ADDRESS(0, 5, 0, 16, 0), 0x1234};
    struct Case {
        const char* what;
        ULONG code;
        const void* in;
        ULONG inLength;
        void* out;
        ULONG outLength;
    } cases[] = {
        {"input on the page", KT40DRV_IOCTL_DEBUG, bad, 4, out, 16},
        {"output on the page", KT40DRV_IOCTL_READLAM, write5, 4, bad, 12},
        {"a write's data word on the page", KT40DRV_IOCTL_ADDRESSCOMMAND, lastGood, 8, out, 8},
        {"output running onto the page", KT40DRV_IOCTL_CRATECOMMAND, write5, 8, lastGood, 8},
    };
    *lastGood = write5[0];
    for (const Case& c : cases) {
        info = 99;
        EXPECT_EQ(kernel.deviceControl(handle, c.code, c.in, c.inLength, c.out, c.outLength, &info),
                  STATUS_INVALID_USER_BUFFER)
            << c.what;
        EXPECT_EQ(info, 0u) << c.what;
        EXPECT_TRUE(hw.log().empty()) << c.what;
    }
    ASSERT_EQ(kernel.deviceControl(handle, KT40DRV_IOCTL_ADDRESSCOMMAND, &read5, 4, out, 12, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 4u);
    munmap(base, page);
}

}  // namespace
