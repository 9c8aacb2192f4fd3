// The user's virtual crate: kept between programs in a state file, held by
// one program at a time, read whole or not at all; a private crate touches
// nothing. Each test works in a folder of its own as XDG_STATE_HOME.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Access.h"
#include "PowerUp.h"
#include "State.h"
#include "camac.h"
#include "kt40sim/Adapter.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class UserCrateTest : public ::testing::Test {
protected:
    kt40sim::Adapter& hw = kt40sim::Adapter::instance();
    fs::path home;
    fs::path folder;

    void SetUp() override {
        camac::test::powerUp();
        char name[] = "/tmp/kt40-usercrate-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        home = name;
        folder = home / "kt40";
        setenv("XDG_STATE_HOME", name, 1);
        unsetenv("KT40_SIM_STATE");  // the user's crate
    }
    void TearDown() override {
        camac::disconnect();
        setenv("KT40_SIM_STATE", "private", 1);
        unsetenv("XDG_STATE_HOME");
        fs::remove_all(home);
    }

    // A new program: the adapter at power-up, the library without a connection.
    void nextProgram() {
        camac::disconnect();
        camac::test::powerUp();
    }

    static int ext(int n, int a) {
        int e = 0;
        cdreg(&e, 24, 0, n, a);
        return e;
    }
    int read(int n, int a) {
        int data = -1;
        char q = 0;
        EXPECT_EQ(cssa(0, ext(n, a), &data, &q), 0);
        return data;
    }
    void write(int n, int a, int data) {
        char q = 0;
        EXPECT_EQ(cssa(16, ext(n, a), &data, &q), 0);
    }
};

TEST_F(UserCrateTest, WhatOneProgramLeavesTheNextFinds) {
    ASSERT_EQ(ccinit(), 0);
    write(5, 0, 1234);
    write(1, 7, 0xABCDEF);
    char q = 0;
    int none = 0;
    cssa(25, ext(3, 0), &none, &q);  // the LAM source raises its LAM
    cssa(24, ext(3, 0), &none, &q);  // and masks it
    ccci(ext(1, 0), 1);
    nextProgram();
    EXPECT_EQ(hw.inhibit(0), false);  // power-up

    ASSERT_EQ(ccinit(), 0);
    EXPECT_EQ(read(5, 0), 1234);
    EXPECT_EQ(read(1, 7), 0xABCDEF);
    EXPECT_EQ(hw.inhibit(0), true);
    EXPECT_EQ(hw.lamPattern(0), 0u);
    cssa(26, ext(3, 0), &none, &q);
    EXPECT_EQ(hw.lamPattern(0), 0x4u);  // requested all along
    EXPECT_TRUE(fs::exists(folder / "crate.state"));
    for (const auto& entry : fs::directory_iterator(folder))  // no temporary file left behind
        EXPECT_TRUE(entry.path().filename() == "crate.state" || entry.path().filename() == "crate.lock")
            << entry.path();
}

TEST_F(UserCrateTest, ASecondProgramIsRefusedWhileOneHoldsTheCrate) {
    ASSERT_EQ(ccinit(), 0);
    const std::string lockPath = (folder / "crate.lock").string();
    const int other = open(lockPath.c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0) << "the crate is not locked while held";
    nextProgram();  // lets it go

    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);  // now another program holds it
    testing::internal::CaptureStderr();
    EXPECT_EQ(ccinit(), 1);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string(camac::error_text()).find("Resource overlap"), std::string::npos) << camac::error_text();
    EXPECT_NE(said.find("held by another program"), std::string::npos) << said;
    EXPECT_NE(said.find("Resource overlap"), std::string::npos) << said;

    close(other);
    EXPECT_EQ(ccinit(), 0);
}

TEST_F(UserCrateTest, ADamagedStateIsPutAsideAndTheCrateStartsFresh) {
    ASSERT_EQ(ccinit(), 0);
    write(5, 0, 77);
    nextProgram();
    std::string state = readFile(folder / "crate.state");
    const auto at = state.find("data=77 register");
    ASSERT_NE(at, std::string::npos) << state;
    state.replace(at, 7, "data=x");
    // Line 8: the register's station line. Its crate's memory above it is fine.
    { std::ofstream(folder / "crate.state") << state; }
    hw.withModule(0, 5, [](kt40sim::Module& m) { uint32_t v = 99; m.cycle(0, 16, v); });
    testing::internal::CaptureStderr();
    ASSERT_EQ(ccinit(), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find((folder / "crate.state").string() + ":8:"), std::string::npos) << said;
    EXPECT_EQ(read(5, 0), 0) << "not a fresh crate";
    EXPECT_EQ(read(1, 7), 0);
    EXPECT_EQ(readFile(folder / "crate.state.damaged"), state);
}

TEST_F(UserCrateTest, StatesAreTakenWholeOrNotAtAll) {
    hw.withModule(0, 1, [](kt40sim::Module& m) { uint32_t v = 4242; m.cycle(3, 16, v); });
    const std::string good = hw.saveState("default");
    hw.reset();
    std::string error;
    ASSERT_TRUE(hw.loadState(good, "default", error)) << error;
    uint32_t word = 0;
    hw.withModule(0, 1, [&](kt40sim::Module& m) { m.cycle(3, 0, word); });
    EXPECT_EQ(word, 4242u);

    hw.reset();
    const std::string cut = good.substr(0, good.find("crate 2"));
    EXPECT_FALSE(hw.loadState(cut, "default", error));
    EXPECT_NE(error.find("ends early"), std::string::npos) << error;
    EXPECT_FALSE(hw.loadState(good, "/home/me/other.crate", error));
    EXPECT_EQ(error.rfind("3: ", 0), 0u) << error;
    std::string tooMany = good;
    tooMany.replace(tooMany.find("data=0 register"), 15, "data=0,0 register");
    EXPECT_FALSE(hw.loadState(tooMany, "default", error));
    hw.withModule(0, 1, [&](kt40sim::Module& m) { m.cycle(3, 0, word); });
    EXPECT_EQ(word, 0u) << "a refused state changed the crate";
}

TEST_F(UserCrateTest, APrivateCrateTouchesNothing) {
    for (const char* value : {"private", "elsewhere"}) {
        setenv("KT40_SIM_STATE", value, 1);
        testing::internal::CaptureStderr();
        ASSERT_EQ(ccinit(), 0);
        write(5, 0, 1);
        nextProgram();
        testing::internal::GetCapturedStderr();
        EXPECT_FALSE(fs::exists(folder)) << value;
    }
}

}  // namespace
