// The user's virtual crate: kept between programs in a memory-mapped image
// where every completed action is at once, held by one program at a time,
// taken whole or put aside under a name of its own; a private crate touches
// nothing. Each test works in a folder of its own as XDG_STATE_HOME.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Access.h"
#include "PowerUp.h"
#include "State.h"
#include "camac.h"
#include "UserCrate.h"
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

    // The crate's image as another program maps it; null when it cannot be.
    kt40sim::AdapterImage* mapImage() const {
        const int fd = ::open((folder / "crate.image").c_str(), O_RDWR);
        if (fd < 0) return nullptr;
        void* at = mmap(nullptr, sizeof(kt40sim::AdapterImage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        return at == MAP_FAILED ? nullptr : static_cast<kt40sim::AdapterImage*>(at);
    }

    // Another program takes the crate, writes `data` to N1 A3, hands the
    // image to `leave` and ends.
    void programThatLeaves(int data, void (*leave)(kt40sim::AdapterImage&)) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            char q = 0;
            if (ccinit() != 0 || cssa(16, ext(1, 3), &data, &q) != 0) _exit(2);
            kt40sim::AdapterImage* image = mapImage();
            if (!image) _exit(3);
            leave(*image);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    // What trying the image's lock gives: 0 when it is free and sound (it is
    // let go again at once).
    int tryImageLock() const {
        kt40sim::AdapterImage* image = mapImage();
        if (!image) return -1;
        const int r = pthread_mutex_trylock(&image->mutex);
        if (r == 0) pthread_mutex_unlock(&image->mutex);
        munmap(image, sizeof *image);
        return r;
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
    EXPECT_TRUE(fs::exists(folder / "crate.image"));
    for (const auto& entry : fs::directory_iterator(folder))  // no temporary file left behind
        EXPECT_TRUE(entry.path().filename() == "crate.image" || entry.path().filename() == "crate.lock")
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

std::vector<std::string> setAside(const fs::path& folder, const std::string& kind) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind("crate.image." + kind + "-", 0) == 0) names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The register of station 5 in crate 0 as the image file holds it.
uint32_t& registerInImage(std::string& bytes) {
    auto* image = reinterpret_cast<kt40sim::AdapterImage*>(bytes.data());
    return image->crates[0].stations[5].words[0];
}

TEST_F(UserCrateTest, ADamagedImageIsPutAsideNeverOverAnEarlierOneAndTheCrateStartsFresh) {
    ASSERT_EQ(ccinit(), 0);
    write(5, 0, 77);
    nextProgram();
    std::string image = readFile(folder / "crate.image");
    ASSERT_EQ(image.size(), sizeof(kt40sim::AdapterImage));
    ASSERT_EQ(registerInImage(image), 77u) << "the write is not in the file";
    std::vector<std::string> kept;
    for (int round = 0; round < 2; ++round) {  // twice within the same second: two names
        std::string bad = image;
        registerInImage(bad) = 0x1000000 + static_cast<uint32_t>(round);  // past 24 bits
        { std::ofstream(folder / "crate.image", std::ios::binary) << bad; }
        testing::internal::CaptureStderr();
        ASSERT_EQ(ccinit(), 0);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("crate 0 station 5"), std::string::npos) << said;
        EXPECT_EQ(read(5, 0), 0) << "not a fresh crate";
        kept.push_back(bad);
        nextProgram();
    }
    const auto names = setAside(folder, "damaged");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(setAside(folder, "previous").empty()) << "damage taken for another crate";
    std::vector<std::string> contents{readFile(names[0]), readFile(names[1])};
    std::sort(contents.begin(), contents.end());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(contents, kept) << "a set-aside file is not the one that was there";

    { std::ofstream(folder / "crate.image", std::ios::binary) << "short"; }
    testing::internal::CaptureStderr();
    ASSERT_EQ(ccinit(), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(setAside(folder, "damaged").size(), 3u) << "a cut file is damage too";
    nextProgram();

    // A trigger whose rate is no number would fire at random.
    std::string bad = readFile(folder / "crate.image");
    reinterpret_cast<kt40sim::AdapterImage*>(bad.data())->crates[0].stations[18].rate = std::nan("");
    { std::ofstream(folder / "crate.image", std::ios::binary) << bad; }
    testing::internal::CaptureStderr();
    ASSERT_EQ(ccinit(), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("crate 0 station 18"), std::string::npos) << said;
    EXPECT_EQ(setAside(folder, "damaged").size(), 4u);
}

TEST_F(UserCrateTest, TheCrateOfAnotherDescriptionIsPutAsideAsPreviousAndAMistypedOneChangesNothing) {
    ASSERT_EQ(ccinit(), 0);
    write(5, 0, 55);
    nextProgram();
    const std::string before = readFile(folder / "crate.image");

    // A crate description that is not there: the user's crate stays as it is.
    setenv("KT40_CRATE_FILE", (home / "typo.crate").c_str(), 1);
    testing::internal::CaptureStderr();
    ASSERT_EQ(ccinit(), 0);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("left as it is"), std::string::npos) << said;
    EXPECT_EQ(read(5, 0), 0) << "the run has a default crate of its own";
    write(5, 0, 99);
    nextProgram();
    EXPECT_EQ(readFile(folder / "crate.image"), before) << "a mistyped crate file changed the user's crate";
    EXPECT_TRUE(setAside(folder, "previous").empty());
    EXPECT_TRUE(setAside(folder, "damaged").empty());

    // A sound description of another crate: the kept one is put aside whole.
    { std::ofstream(home / "other.crate") << "crate 0\n 5 register\n"; }
    setenv("KT40_CRATE_FILE", (home / "other.crate").c_str(), 1);
    for (int round = 0; round < 2; ++round) {
        testing::internal::CaptureStderr();
        ASSERT_EQ(ccinit(), 0);
        said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("previous"), std::string::npos) << said;
        EXPECT_EQ(read(5, 0), 0);
        EXPECT_EQ(hw.moduleKind(0, 1), round == 0 ? "" : "memory") << "not the described crate";
        write(5, 0, 66);
        nextProgram();
        // Back to the default: this time the other crate's image goes aside.
        unsetenv("KT40_CRATE_FILE");
    }
    unsetenv("KT40_CRATE_FILE");
    const auto names = setAside(folder, "previous");
    ASSERT_EQ(names.size(), 2u) << "an earlier set-aside file was overwritten";
    EXPECT_TRUE(readFile(names[0]) == before || readFile(names[1]) == before) << "the first crate is lost";
    EXPECT_TRUE(setAside(folder, "damaged").empty()) << "another crate taken for damage";
}

// A program killed with SIGKILL in the middle of a write loop: the next one
// reads the last write that completed.
TEST_F(UserCrateTest, SigkillInAWriteLoopLosesNoCompletedWrite) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        if (ccinit() != 0) _exit(2);
        for (uint32_t i = 1;; ++i) {
            int data = static_cast<int>(i & 0xFFFFFF);
            char q = 0;
            int e = 0;
            cdreg(&e, 24, 0, 1, 3);
            if (cssa(16, e, &data, &q) != 0) _exit(3);
            if (::write(report[1], &i, sizeof i) != sizeof i) _exit(4);  // i is complete
        }
    }
    close(report[1]);
    uint32_t last = 0, got = 0;
    while (last < 5000 && ::read(report[0], &got, sizeof got) == sizeof got) last = got;
    ASSERT_GE(last, 5000u) << "the child never wrote";
    kill(child, SIGKILL);
    while (::read(report[0], &got, sizeof got) == sizeof got) last = got;  // what it finished before it died
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    ASSERT_EQ(ccinit(), 0) << "the killed program's lock was not let go";
    const int found = read(1, 3);
    // The write after the last one reported may have completed too.
    EXPECT_TRUE(found == static_cast<int>(last) || found == static_cast<int>(last + 1)) << found << " after " << last;
}

// A program that dies in the middle of an action, the image's lock taken:
// the next one takes the crate with the last completed write and goes on.
TEST_F(UserCrateTest, AProgramThatDiesHoldingTheImageLockLeavesTheCrateToTheNext) {
    ASSERT_NO_FATAL_FAILURE(programThatLeaves(0x1234, [](kt40sim::AdapterImage& image) {
        if (pthread_mutex_lock(&image.mutex) != 0) _exit(5);  // and dies with it taken
    }));
    ASSERT_EQ(ccinit(), 0);
    EXPECT_EQ(read(1, 3), 0x1234);
    write(1, 3, 0x4321);
    EXPECT_EQ(read(1, 3), 0x4321);
    EXPECT_EQ(tryImageLock(), 0) << "the lock was not made whole again";
}

// A lock left taken in the image before the machine restarted: no program
// owns it, and nothing tells that its owner is gone. The next holder waits a
// while for it, then makes it anew and keeps the crate.
TEST_F(UserCrateTest, ALockLeftTakenBeforeARestartIsMadeAnew) {
    ASSERT_NO_FATAL_FAILURE(programThatLeaves(0x2345, [](kt40sim::AdapterImage& image) {
        if (pthread_mutex_lock(&image.mutex) != 0) _exit(5);
        pthread_mutex_t taken;
        std::memcpy(&taken, &image.mutex, sizeof taken);
        pthread_mutex_unlock(&image.mutex);
        std::memcpy(&image.mutex, &taken, sizeof taken);  // taken, as on the disk, by no living program
    }));
    ASSERT_EQ(ccinit(), 0);
    EXPECT_EQ(read(1, 3), 0x2345);
    EXPECT_EQ(tryImageLock(), 0) << "the lock was not made anew";
}

std::atomic<int> g_lamCalls{0};
void onLam() { ++g_lamCalls; }

// A program waiting in cclnk wakes when the bench of another program raises
// a LAM, although it addresses nothing.
TEST_F(UserCrateTest, ALamFromTheBenchOfAnotherProgramWakesAWaitingHandler) {
    ASSERT_EQ(ccinit(), 0);
    g_lamCalls = 0;
    ASSERT_EQ(cclnk(onLam), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(g_lamCalls, 0) << "a LAM before the bench";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string error;
        wdsim::releaseUserCrate();  // the parent's hold on it is not the bench's
        if (!wdsim::attachBench(error)) _exit(2);
        hw.raiseLam(0, 3);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (g_lamCalls == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int calls = g_lamCalls;
    cculnk();
    EXPECT_GE(calls, 1) << "the handler was not called within 5 s";
}

// Scalers count in real time while no program holds the crate.
TEST_F(UserCrateTest, ScalersCountBetweenProgramsAtTheirRate) {
    ASSERT_EQ(ccinit(), 0);
    char q = 0;
    int none = 0;
    cssa(9, ext(2, 0), &none, &q);  // the scaler of station 2, 1000 a second, cleared
    const int64_t cleared = kt40sim::realTimeNs();
    nextProgram();
    EXPECT_EQ(hw.moduleKind(0, 2), "scaler");
    const int64_t until = cleared + 200000000;
    while (kt40sim::realTimeNs() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(ccinit(), 0);
    const int counted = read(2, 0);
    const double seconds = static_cast<double>(kt40sim::realTimeNs() - cleared) / 1e9;
    EXPECT_GE(counted, 190) << "the scaler stood still between programs";
    EXPECT_LE(counted, static_cast<int>(1000 * seconds) + 1) << "more than its rate";
}

// The bench of another program acts on the crate that this one holds.
TEST_F(UserCrateTest, ABenchBesideTheHolderReachesTheSameCrate) {
    ASSERT_EQ(ccinit(), 0);
    write(5, 0, 4321);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string error;
        wdsim::releaseUserCrate();  // the parent's hold on it is not the bench's
        if (!wdsim::attachBench(error)) _exit(2);
        uint32_t seen = 0;
        hw.withModule(0, 5, [&](kt40sim::Module& m) { m.cycle(0, 0, seen); });
        hw.raiseLam(0, 3);
        hw.unplug(0, 1);
        _exit(seen == 4321 ? 0 : 3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the bench did not see the holder's write";
    EXPECT_EQ(hw.lamPattern(0) & 0x4u, 0x4u) << "the bench's LAM did not reach the holder";
    EXPECT_EQ(hw.moduleKind(0, 1), "") << "an unplugged module still answers";
    char q = 1;
    int data = 0;
    EXPECT_EQ(cssa(0, ext(1, 0), &data, &q), 0);
    EXPECT_EQ(q, 0);
    EXPECT_EQ(cdata()->x, 0) << "an empty station gives X";
}

// A crate kept as text by an earlier version is taken into the first image.
TEST_F(UserCrateTest, AnEarlierVersionsStateIsTakenIntoTheFirstImage) {
    hw.withModule(0, 5, [](kt40sim::Module& m) { uint32_t v = 4321; m.cycle(0, 16, v); });
    const std::string state = hw.saveState("default");
    fs::create_directories(folder);
    { std::ofstream(folder / "crate.state") << state; }
    nextProgram();
    testing::internal::CaptureStderr();
    ASSERT_EQ(ccinit(), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("taken into"), std::string::npos) << said;
    EXPECT_EQ(read(5, 0), 4321);
    EXPECT_FALSE(fs::exists(folder / "crate.state"));
    std::vector<std::string> taken;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind("crate.state.taken-", 0) == 0) taken.push_back(entry.path());
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(readFile(taken[0]), state) << "the text is not kept whole";
    nextProgram();
    fs::remove(folder / "crate.image");  // starting afresh does not bring it back
    ASSERT_EQ(ccinit(), 0);
    EXPECT_EQ(read(5, 0), 0);
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

// The folder is the user's state folder; a variable that is no absolute path
// counts as unset, and with neither the program runs on a private crate.
TEST_F(UserCrateTest, TheFolderComesFromXdgStateHomeOrHomeAndARelativePathIsIgnored) {
    const char* saved = std::getenv("HOME");
    const std::string ownHome = saved ? saved : "";
    EXPECT_EQ(wdsim::userCrateFolder(), folder.string());
    setenv("HOME", home.c_str(), 1);
    for (const char* xdg : {"", "state", "./state"}) {
        setenv("XDG_STATE_HOME", xdg, 1);
        EXPECT_EQ(wdsim::userCrateFolder(), (home / ".local/state/kt40").string()) << "XDG_STATE_HOME='" << xdg << "'";
    }
    setenv("HOME", "home", 1);
    EXPECT_EQ(wdsim::userCrateFolder(), "");
    unsetenv("HOME");
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(wdsim::userCrateFolder(), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ccinit(), 0);
    write(5, 0, 1);
    nextProgram();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("neither XDG_STATE_HOME nor HOME is set"), std::string::npos);
    if (saved) setenv("HOME", ownHome.c_str(), 1);
    EXPECT_TRUE(fs::is_empty(home)) << "nothing is made without a state folder";
}

}  // namespace
