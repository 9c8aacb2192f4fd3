// The same routines over each adapter path: the register path to the
// stand-in service (virtual), the packed path through the real kt40drv under
// the stand-in kernel (virtual-pci), and the packed path carried out here
// over a sysfs resource file that reaches the virtual adapter's PCI face
// (pci, through the seam). The crate is the default one: a register in
// station 5, the LAM source in 3, station 7 empty.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "Fixture.h"
#include "Packed.h"
#include "Sysfs.h"
#include "camac_private.h"
#include "kt40kernel/Kernel.h"

namespace camac::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// ---- A sysfs devices folder whose card is the virtual adapter ---------------------

struct FakeSysfs {
    static inline int portFd = -1;
    static inline bool refuse = false;     // opening resource3: EACCES
    static inline bool allOnes = false;    // the card is off the bus
    static inline std::atomic<uint64_t> accesses{0};

    static int open(const char* path, int flags) {
        const std::string p(path);
        if (p.size() > 10 && p.compare(p.size() - 10, 10, "/resource3") == 0) {
            if (refuse) {
                errno = EACCES;
                return -1;
            }
            portFd = ::open("/dev/null", O_RDONLY);
            return portFd;
        }
        return ::open(path, flags);
    }
    static ssize_t pread(int fd, void* buf, size_t n, off_t off) {
        if (fd != portFd) return ::pread(fd, buf, n, off);
        ++accesses;
        const uint32_t v = allOnes ? 0xFFFFFFFF : kt40sim::Adapter::instance().pciRead(static_cast<uint32_t>(off));
        std::memcpy(buf, &v, 4);
        return 4;
    }
    static ssize_t pwrite(int fd, const void* buf, size_t, off_t off) {
        uint32_t v = 0;
        std::memcpy(&v, buf, 4);
        ++accesses;
        kt40sim::Adapter::instance().pciWrite(static_cast<uint32_t>(off), v);
        (void)fd;
        return 4;
    }
    static int close(int fd) { return ::close(fd); }

    static constexpr sysfs::Calls kCalls{open, pread, pwrite, close};

    fs::path root;

    explicit FakeSysfs(const std::vector<std::string>& cards, uint16_t vendor = sysfs::kVendor) {
        static int trees = 0;
        root = fs::temp_directory_path() /
               ("kt40-sysfs-" + std::to_string(::getpid()) + "-" + std::to_string(++trees));
        fs::remove_all(root);
        fs::create_directories(root / "0000:00:1f.0");  // some other device
        write(root / "0000:00:1f.0" / "vendor", "0x8086\n");
        write(root / "0000:00:1f.0" / "device", "0x0040\n");
        for (const auto& c : cards) {
            fs::create_directories(root / c);
            char id[16];
            std::snprintf(id, sizeof id, "0x%04x\n", vendor);
            write(root / c / "vendor", id);
            std::snprintf(id, sizeof id, "0x%04x\n", sysfs::kDevice);
            write(root / c / "device", id);
            write(root / c / "resource3", "");
        }
        refuse = allOnes = false;
        sysfs::use(root.c_str(), &kCalls);
    }
    ~FakeSysfs() {
        sysfs::use(nullptr, nullptr);
        fs::remove_all(root);
    }
    static void write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }
};

// ---- The routines, once per path -----------------------------------------------------

class PathTest : public LibraryTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        if (std::strcmp(GetParam(), "pci") == 0) sysfs_ = std::make_unique<FakeSysfs>(std::vector<std::string>{"0000:03:00.0"});
        setenv("KT40_ADAPTER", GetParam(), 1);
        ASSERT_EQ(ccinit(), 0) << error_text();
        // The packed path never touches the ISA registers, not even CSR.
        for (const auto& a : hw.log()) EXPECT_EQ(a.face == Face::Isa, !packed());
        hw.clearLog();
    }
    void TearDown() override {
        LibraryTest::TearDown();
        unsetenv("KT40_ADAPTER");
        sysfs_.reset();
    }
    bool packed() const { return std::strcmp(GetParam(), "virtual") != 0; }

    std::unique_ptr<FakeSysfs> sysfs_;
};

TEST_P(PathTest, WritesAndReadsBackBothWidthsWithQAndX) {
    const CamacStatus& st = *cdata();
    int data = 0xABCDEF;
    char q = 0;
    ASSERT_EQ(cssa(16, ext(0, 5, 0, 24), &data, &q), 0);
    EXPECT_EQ(q, 1);
    EXPECT_EQ(st.x, 1);
    EXPECT_EQ(st.lastWritten, 0xABCDEF);
    data = 0;
    ASSERT_EQ(cssa(0, ext(0, 5, 0, 24), &data, &q), 0);
    EXPECT_EQ(data, 0xABCDEF);
    EXPECT_EQ(st.lastRead, 0xABCDEF);
    EXPECT_EQ(st.error, 0);
    data = 0;
    ASSERT_EQ(cssa(0, ext(0, 5, 0, 16), &data, &q), 0);
    EXPECT_EQ(data, 0xCDEF);  // 16 bits of the same register

    // An empty station answers without X and Q: no failure on either path.
    data = 0x55;
    ASSERT_EQ(cssa(0, ext(0, 7, 0), &data, &q), 0);
    EXPECT_EQ(st.x, 0);
    EXPECT_EQ(q, 0);
    EXPECT_EQ(st.error, 0);
}

TEST_P(PathTest, CrateCommandsInhibitAndLams) {
    const CamacStatus& st = *cdata();
    char l = 9;
    ASSERT_EQ(cccz(ext(0, 1, 0)), 0);
    EXPECT_EQ(st.i, 1);  // Z sets the inhibit
    ASSERT_EQ(ctci(ext(0, 1, 0), &l), 0);
    EXPECT_EQ(l, 1);
    ASSERT_EQ(ccci(ext(0, 1, 0), 0), 0);
    ASSERT_EQ(ctci(ext(0, 1, 0), &l), 0);
    EXPECT_EQ(l, 0);
    ASSERT_EQ(cccc(ext(0, 1, 0)), 0);

    int data = 0;
    char q = 0;
    ASSERT_EQ(ctgl(ext(0, 3, 0), &l), 0);
    EXPECT_EQ(l, 0);
    EXPECT_EQ(st.lamPattern, 0u);
    ASSERT_EQ(cssa(25, ext(0, 3, 0), &data, &q), 0);  // the LAM source raises its LAM
    ASSERT_EQ(ctgl(ext(0, 3, 0), &l), 0);
    EXPECT_EQ(l, 1);
    EXPECT_EQ(st.lamPattern, 0x4u);
    EXPECT_EQ(st.l, 1);
}

TEST_P(PathTest, AdapterFailuresBecomeTheLibrarysErrorCodes) {
    int data = 1;
    char q = 0;
    hw.setFault(kt40sim::Fault::ErrorBit);
    EXPECT_EQ(cssa(0, ext(0, 5, 0), &data, &q), 1);
    EXPECT_EQ(cdata()->error, CAMAC_ERR_ADAPTER);
    EXPECT_EQ(data, 0);
    EXPECT_EQ(cccc(ext(0, 5, 0)), 1);
    EXPECT_EQ(cdata()->error, CAMAC_ERR_ADAPTER);
    hw.setFault(kt40sim::Fault::None);
    EXPECT_EQ(cssa(16, ext(0, 5, 0), &data, &q), 0);
    EXPECT_EQ(cdata()->error, 0);
    if (packed()) {
        hw.setFault(kt40sim::Fault::WrongCrate);
        EXPECT_EQ(cssa(16, ext(0, 5, 0), &data, &q), 1);
        EXPECT_EQ(cdata()->error, CAMAC_ERR_WRONG_CRATE);
    }
}

std::atomic<int> g_handled{0};
void clearingHandler() {
    int e = 0, data = 0;
    char q = 0;
    cdreg(&e, 16, 0, 3, 0);
    cssa(10, e, &data, &q);  // F10 clears the LAM source's LAM
    ++g_handled;
}

TEST_P(PathTest, LinkedHandlerRunsForEachLam) {
    g_handled = 0;
    ASSERT_EQ(cclnk(clearingHandler), 0);
    int data = 0;
    char q = 0;
    for (int k = 1; k <= 3; ++k) {
        ASSERT_EQ(cssa(25, ext(0, 3, 0), &data, &q), 0);
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (g_handled < k && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
        ASSERT_EQ(g_handled, k);
        EXPECT_EQ(hw.lamPattern(0), 0u);
    }
    EXPECT_EQ(cculnk(), 0);
    ASSERT_EQ(cssa(25, ext(0, 3, 0), &data, &q), 0);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(g_handled, 3);
}

TEST_P(PathTest, BlocksGoInOneRequestOnThePackedPathOnly) {
    camac_private_action list[3] = {{ext(0, 5, 0), 16, 0x1234, 0, 0}, {ext(0, 5, 0), 0, 0, 0, 0},
                                    {ext(0, 7, 0), 0, 0, 0, 0}};
    unsigned error = 7;
    const int done = camac_private_block(CAMAC_PRIVATE_LIST, list, 3, 0, &error);
    if (!packed()) {
        EXPECT_EQ(done, -1);  // the caller goes one by one
        return;
    }
    EXPECT_EQ(done, 3);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(list[1].data, 0x1234);
    EXPECT_EQ(list[1].q, 1);
    EXPECT_EQ(list[2].x, 0);  // the empty station: done, without X

    // Q-stop: the register's word 0 gives Q each time, its word 1 none.
    camac_private_action words[4] = {};
    for (auto& w : words) w = {ext(0, 5, 0), 0, 0, 0, 0};
    EXPECT_EQ(camac_private_block(CAMAC_PRIVATE_QSTOP, words, 4, 0, &error), 4);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(words[3].data, 0x1234);
    for (auto& w : words) w = {ext(0, 5, 1), 0, 0, 0, 0};
    EXPECT_EQ(camac_private_block(CAMAC_PRIVATE_QSTOP, words, 4, 0, &error), 0);
    EXPECT_EQ(error, 0u);

    // Q-repeat: a word without Q fails after the limit; without X at once.
    hw.clearLog();
    EXPECT_EQ(camac_private_block(CAMAC_PRIVATE_QREPEAT, words, 2, 5, &error), 0);
    EXPECT_EQ(error, unsigned{CAMAC_PRIVATE_ERR_NO_Q});
    EXPECT_EQ(cdata()->error, CAMAC_PRIVATE_ERR_NO_Q);
    camac_private_action never[2] = {{ext(0, 7, 0), 0, 0, 0, 0}, {ext(0, 7, 0), 0, 0, 0, 0}};
    EXPECT_EQ(camac_private_block(CAMAC_PRIVATE_QREPEAT, never, 2, 5, &error), 0);
    EXPECT_EQ(error, unsigned{CAMAC_PRIVATE_ERR_NO_X});
}

INSTANTIATE_TEST_SUITE_P(Paths, PathTest, ::testing::Values("virtual", "virtual-pci", "pci"),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (auto& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

// ---- The same sequence gives the same status record on every path ------------------

std::vector<CamacStatus> run_sequence(const char* adapter) {
    powerUp();
    setenv("KT40_ADAPTER", adapter, 1);
    std::vector<CamacStatus> seen;
    if (ccinit() != 0) return seen;
    int e1 = 0, e3 = 0, e5 = 0, e7 = 0, e5w = 0;
    cdreg(&e1, 16, 0, 1, 0);
    cdreg(&e3, 16, 0, 3, 0);
    cdreg(&e5, 16, 0, 5, 0);
    cdreg(&e5w, 24, 0, 5, 0);
    cdreg(&e7, 16, 0, 7, 0);
    int data = 0;
    char q = 0, l = 0;
    auto keep = [&] { seen.push_back(*cdata()); };
    cccz(e1), keep();
    ctci(e1, &l), keep();
    ccci(e1, 0), keep();
    data = 0x12345, cssa(16, e5w, &data, &q), keep();
    cssa(0, e5w, &data, &q), keep();
    cssa(25, e3, &data, &q), keep();  // LAM raised
    ctgl(e3, &l), keep();
    data = 0x77, cssa(17, e1, &data, &q), keep();
    cssa(24, e1, &data, &q), keep();
    cssa(0, e7, &data, &q), keep();
    cssa(16, e7, &data, &q), keep();
    cssa(10, e3, &data, &q), keep();
    ctgl(e3, &l), keep();
    cccc(e1), keep();
    disconnect();
    unsetenv("KT40_ADAPTER");
    return seen;
}

TEST(PathStatus, EveryFieldMeansTheSameOnBothPaths) {
    const auto reg = run_sequence("virtual");
    ASSERT_EQ(reg.size(), 14u);
    for (const char* adapter : {"virtual-pci"}) {
        const auto packed = run_sequence(adapter);
        ASSERT_EQ(packed.size(), reg.size()) << adapter;
        for (size_t k = 0; k < reg.size(); ++k) {
            SCOPED_TRACE(std::string(adapter) + ", step " + std::to_string(k));
            EXPECT_EQ(packed[k].error, reg[k].error);
            EXPECT_EQ(packed[k].x, reg[k].x);
            EXPECT_EQ(packed[k].q, reg[k].q);
            EXPECT_EQ(packed[k].l, reg[k].l);
            EXPECT_EQ(packed[k].i, reg[k].i);
            EXPECT_EQ(packed[k].lamPattern, reg[k].lamPattern);
            EXPECT_EQ(packed[k].bit11, reg[k].bit11);
            EXPECT_EQ(packed[k].bit10, reg[k].bit10);
            EXPECT_EQ(packed[k].lastRead, reg[k].lastRead);
            EXPECT_EQ(packed[k].lastWritten, reg[k].lastWritten);
        }
    }
}

// ---- Choosing, and what each refusal says ----------------------------------------------

class ChoiceTest : public LibraryTest {
protected:
    void TearDown() override {
        LibraryTest::TearDown();
        unsetenv("KT40_ADAPTER");
        unsetenv("KT40_PCI_DEVICE");
    }
    std::string refusal(const char* adapter) {
        setenv("KT40_ADAPTER", adapter, 1);
        EXPECT_EQ(ccinit(), 1) << adapter;
        return error_text();
    }
};

TEST_F(ChoiceTest, ValuesAndUnits) {
    AdapterChoice c;
    ASSERT_TRUE(parse_adapter("pci:12", c));
    EXPECT_EQ(c.kind, AdapterKind::Pci);
    EXPECT_EQ(c.unit, 12u);
    ASSERT_TRUE(parse_adapter("pci", c));
    EXPECT_EQ(c.unit, 0u);
    ASSERT_TRUE(parse_adapter("virtual-pci", c));
    EXPECT_EQ(c.kind, AdapterKind::VirtualPci);
    for (const char* bad : {"", "PCI", "pci:", "pci:x", "pci:1x", "pci:-1", "pci:100", "virtual ", "isa:0"})
        EXPECT_FALSE(parse_adapter(bad, c)) << bad;
}

TEST_F(ChoiceTest, RefusalsNameTheValueAndWhatToDo) {
    EXPECT_NE(refusal("bogus").find("KT40_ADAPTER='bogus' names no adapter"), std::string::npos);
    EXPECT_NE(refusal("isa").find("Windows"), std::string::npos);
    {
        FakeSysfs tree({});
        EXPECT_NE(refusal("pci").find("No KT40 PCI card found"), std::string::npos);
    }
    {
        FakeSysfs tree({"0000:03:00.0"});
        FakeSysfs::refuse = true;
        EXPECT_NE(refusal("pci").find("No access to " + tree.root.string() + "/0000:03:00.0/resource3"),
                  std::string::npos);
        FakeSysfs::refuse = false;
        FakeSysfs::allOnes = true;
        EXPECT_NE(refusal("pci").find("answers all ones"), std::string::npos);
        FakeSysfs::allOnes = false;
        EXPECT_NE(refusal("pci:1").find("No KT40 PCI card 1: 1 found"), std::string::npos);
        setenv("KT40_PCI_DEVICE", "../x", 1);
        EXPECT_NE(refusal("pci").find("is not a PCI address"), std::string::npos);
    }
    EXPECT_EQ(hw.accessCount(), 0u);  // nothing reached the crate
}

TEST_F(ChoiceTest, CardsAreFoundByTheirIdsInAddressOrder) {
    FakeSysfs tree({"0000:05:00.0", "0000:02:00.0"});
    EXPECT_EQ(sysfs::find_cards(), (std::vector<std::string>{"0000:02:00.0", "0000:05:00.0"}));
    EXPECT_TRUE(sysfs_card_present());
    FakeSysfs other({"0000:02:00.0"}, 0x10B5);
    EXPECT_TRUE(sysfs::find_cards().empty());
    EXPECT_FALSE(sysfs_card_present());
    // Unset, the library takes the card when there is one, else the virtual crate.
    unsetenv("KT40_ADAPTER");
    AdapterChoice c;
    ASSERT_TRUE(choose_adapter(c));
    EXPECT_EQ(c.kind, AdapterKind::Virtual);
}

}  // namespace
}  // namespace camac::test
