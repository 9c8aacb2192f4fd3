// The stored inputs of the two loaders, replayed through the adapter: every
// ok-* file loads, every bad-* file is refused with a line number and leaves
// the crates as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "kt40sim/Adapter.h"

namespace {

namespace fs = std::filesystem;
using kt40sim::Adapter;

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void replay(const char* folder, bool (*load)(const std::string&, std::string&)) {
    Adapter& hw = Adapter::instance();
    int files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ok-", 0) != 0 && name.rfind("bad-", 0) != 0) continue;
        ++files;
        hw.reset();
        hw.install(0, 2, std::make_unique<kt40sim::Scaler>(4, 0.0));  // one that stands still
        hw.install(0, 16, nullptr);                                    // and no scaler bank counting
        hw.withModule(0, 5, [](kt40sim::Module& m) { uint32_t v = 0x5A5A; m.cycle(0, 16, v); });
        const std::string before = hw.saveState("default");
        std::string error;
        const bool taken = load(readFile(entry.path()), error);
        if (name.rfind("ok-", 0) == 0) {
            EXPECT_TRUE(taken) << name << ": " << error;
        } else {
            EXPECT_FALSE(taken) << name;
            EXPECT_GE(std::atoi(error.c_str()), 1) << name << ": " << error;
            EXPECT_EQ(hw.saveState("default"), before) << name << " changed the crates";
        }
    }
    EXPECT_GE(files, 5) << folder;
}

TEST(LoaderCorpus, CrateDescriptions) {
    replay(LOADER_CRATE_CORPUS, [](const std::string& text, std::string& error) {
        return Adapter::instance().loadCrates(text, error);
    });
}

TEST(LoaderCorpus, CrateStates) {
    replay(LOADER_STATE_CORPUS, [](const std::string& text, std::string& error) {
        return Adapter::instance().loadState(text, "default", error);
    });
}

TEST(LoaderCorpus, AStateKeepsWhatTheCratesHold) {
    Adapter& hw = Adapter::instance();
    std::string error;
    const std::string text = readFile(fs::path(LOADER_STATE_CORPUS) / "ok-default.state");
    ASSERT_TRUE(hw.loadState(text, "default", error)) << error;
    EXPECT_EQ(hw.saveState("default"), text);  // word for word: nothing lost or made up
    EXPECT_TRUE(hw.inhibit(3));
    EXPECT_EQ(hw.lamPattern(0), 0u);  // station 3 requests, masked
    EXPECT_EQ(hw.moduleKind(3, 24), "memory");
}

}  // namespace
