// Crate descriptions: the default crate, the text format and its errors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"

namespace {

using kt40sim::Adapter;

class CrateFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        Adapter::instance().reset();
        wdsim::controls().reset();
    }
    void TearDown() override {
        for (const auto& p : files_) std::filesystem::remove(p);
    }

    Adapter& ad = Adapter::instance();

    std::string writeFile(const std::string& name, const std::string& text) {
        const auto path = std::filesystem::temp_directory_path() /
                          ("kt40sim-" + std::to_string(::getpid()) + "-" + name);
        std::ofstream(path) << text;
        files_.push_back(path);
        return path.string();
    }

    // What every crate holds: "C.N kind" for each filled station, and
    // "C online" for each crate on-line.
    std::vector<std::string> contents() {
        std::vector<std::string> out;
        for (int c = 0; c < kt40sim::kCrates; ++c) {
            ad.isaWrite(kt40sim::kCsr, static_cast<uint16_t>(c));
            ad.isaWrite(kt40sim::kRsel, 4);
            ad.isaRead(kt40sim::kCsr);
            if (ad.isaRead(kt40sim::kCmd) & 0x0400) out.push_back(std::to_string(c) + " online");
            for (int n = 1; n <= kt40sim::kStations; ++n)
                if (auto k = ad.moduleKind(c, n); !k.empty())
                    out.push_back(std::to_string(c) + "." + std::to_string(n) + " " + k);
        }
        ad.isaWrite(kt40sim::kCsr, 0);
        return out;
    }

    // X and Q of one cycle on crate `c`, as bits X = 2, Q = 1.
    int xq(int c, int n, int a, int f) {
        ad.isaWrite(kt40sim::kCsr, static_cast<uint16_t>(c));
        ad.isaWrite(kt40sim::kCmd, static_cast<uint16_t>(n << 9 | a << 5 | f));
        return ad.isaRead(kt40sim::kCsr) & 3;
    }

private:
    std::vector<std::filesystem::path> files_;
};

const std::vector<std::string> kDefault{"0 online",   "0.1 memory", "0.2 scaler", "0.3 lamsource", "0.5 register", "0.8 adc",
                                        "0.10 tdc",   "0.12 input", "0.14 output", "0.16 scalerbank", "0.18 trigger"};

TEST_F(CrateFileTest, DefaultCrateHoldsWhatItsFileSays) {
    EXPECT_EQ(contents(), kDefault);
    EXPECT_EQ(xq(0, 1, 15, 0), 3) << "memory of 16 words";
    EXPECT_EQ(xq(0, 2, 3, 0), 3) << "scaler of 4 channels";
    EXPECT_EQ(xq(0, 2, 4, 0), 2);
    EXPECT_EQ(xq(0, 5, 1, 0), 2) << "register: A0 only";
    EXPECT_EQ(xq(0, 3, 0, 25), 3) << "lamsource answers F25";
    EXPECT_EQ(ad.lamPattern(0), 1u << 2);

    // The scaler of the default crate counts by itself.
    ad.isaWrite(kt40sim::kCsr, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    uint16_t counted = 0;
    while (counted == 0 && std::chrono::steady_clock::now() < deadline) {
        ad.isaWrite(kt40sim::kCmd, 2 << 9);
        ad.isaRead(kt40sim::kCsr);
        counted = ad.isaRead(kt40sim::kCmd);
    }
    EXPECT_GT(counted, 0);

    std::string error;
    ad.clearCrates();
    EXPECT_TRUE(contents().empty());
    ASSERT_TRUE(ad.loadCrates(Adapter::defaultCrateText(), error)) << error;
    EXPECT_EQ(contents(), kDefault);
}

TEST_F(CrateFileTest, TextFormatCommentsOptionsAndOfflineCrates) {
    const std::string text =
        "# a comment line\n"
        "\n"
        "crate 3   # trailing comment\n"
        "\t7\tmemory words=2\r\n"
        "  24 scaler channels=16 rate=0\n"
        "crate 1 offline\n"
        "  01 lamsource\n"
        "crate 3\n"
        "  8 register\n";
    std::string error;
    ASSERT_TRUE(ad.loadCrates(text, error)) << error;
    EXPECT_EQ(contents(), (std::vector<std::string>{"1.1 lamsource", "3 online", "3.7 memory", "3.8 register",
                                                     "3.24 scaler"}));
    EXPECT_EQ(xq(3, 7, 1, 0), 3);
    EXPECT_EQ(xq(3, 7, 2, 0), 2);
    EXPECT_EQ(xq(3, 24, 15, 0), 3);
    EXPECT_EQ(xq(1, 1, 0, 0), 0) << "the off-line crate holds its module but does not answer";
    ad.setCrateOnline(1, true);
    EXPECT_EQ(xq(1, 1, 0, 0), 3);
}

TEST_F(CrateFileTest, EmptyTextLeavesEveryCrateEmptyAndOffline) {
    std::string error;
    ASSERT_TRUE(ad.loadCrates("# nothing\n\n", error)) << error;
    EXPECT_TRUE(contents().empty());
}

TEST_F(CrateFileTest, EveryErrorNamesItsLineAndChangesNothing) {
    struct Bad {
        const char* text;
        int line;
    };
    const std::vector<Bad> bad{
        {"crate\n", 1},
        {"crate 4\n", 1},
        {"crate -1\n", 1},
        {"crate x\n", 1},
        {"crate 0 0\n", 1},
        {"crate 0 online\n", 1},
        {"crate 0 offline now\n", 1},
        {"# header\n5 register\n", 2},
        {"crate 0\n\n 0 register\n", 3},
        {"crate 0\n 25 register\n", 2},
        {"crate 0\n 1234 register\n", 2},
        {"crate 0\n register 5\n", 2},
        {"crate 0\n 5\n", 2},
        {"crate 0\n 5 register\n 6 lamsource\n 5 lamsource\n", 4},
        {"crate 0\n 5 register\ncrate 1\n 5 register\ncrate 0\n 5 memory\n", 6},
        {"crate 2\n 4 widget\n", 2},
        {"crate 2\n 4 memory words=99\n", 2},
        {"crate 2\n 4 memory words\n", 2},
        {"crate 2\n 4 scaler rate=fast\n", 2},
        {"crate 2\r\n 4 lamsource\r\n 4 register\r\n", 3},
    };
    ad.install(0, 20, std::make_unique<kt40sim::RegisterModule>());
    ad.setCrateOnline(2, true);
    const auto before = contents();
    for (const auto& b : bad) {
        std::string error;
        EXPECT_FALSE(ad.loadCrates(b.text, error)) << b.text;
        const std::string prefix = std::to_string(b.line) + ": ";
        EXPECT_EQ(error.substr(0, prefix.size()), prefix) << b.text << " -> " << error;
        EXPECT_GT(error.size(), prefix.size()) << "says why";
        EXPECT_EQ(contents(), before) << b.text;
    }
}

TEST_F(CrateFileTest, FilesLoadAndTheirErrorsNameFileAndLine) {
    std::string error;
    const std::string good = writeFile("good.crate", "crate 1\n 9 register\n");
    ASSERT_TRUE(ad.loadCrateFile(good, error)) << error;
    EXPECT_EQ(contents(), (std::vector<std::string>{"1 online", "1.9 register"}));

    const std::string badFile = writeFile("bad.crate", "crate 0\n 3 lamsource\n 3 lamsource\n");
    EXPECT_FALSE(ad.loadCrateFile(badFile, error));
    EXPECT_EQ(error.rfind(badFile + ":3: ", 0), 0u) << error;
    EXPECT_EQ(contents(), (std::vector<std::string>{"1 online", "1.9 register"}));

    const std::string missing = badFile + ".missing";
    error.clear();
    EXPECT_FALSE(ad.loadCrateFile(missing, error));
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_EQ(contents(), (std::vector<std::string>{"1 online", "1.9 register"}));

    EXPECT_FALSE(ad.loadCrateFile(std::filesystem::temp_directory_path().string(), error)) << "a directory";
    EXPECT_EQ(contents(), (std::vector<std::string>{"1 online", "1.9 register"}));
}

TEST_F(CrateFileTest, LoadingReplacesModulesAndClearsTheInhibit) {
    ad.isaWrite(kt40sim::kCmd, 0x8002);  // Z: inhibit on
    ASSERT_TRUE(ad.inhibit(0));
    std::string error;
    ASSERT_TRUE(ad.loadCrates("crate 0\n 5 register\n", error)) << error;
    EXPECT_FALSE(ad.inhibit(0));
    EXPECT_EQ(contents(), (std::vector<std::string>{"0 online", "0.5 register"}));
    ad.reset();
    EXPECT_EQ(contents(), kDefault);
}

}  // namespace
