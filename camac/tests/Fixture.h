// A fresh library, service and adapter for every test, and helpers to read
// what the adapter saw.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "PowerUp.h"
#include "State.h"
#include "camac.h"
#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"

namespace camac::test {

using kt40sim::Access;
using kt40sim::Direction;
using kt40sim::Face;

inline Access R(uint16_t offset, uint16_t value) { return {0, Face::Isa, Direction::Read, offset, value}; }
inline Access W(uint16_t offset, uint16_t value) { return {0, Face::Isa, Direction::Write, offset, value}; }

inline std::string describe(const std::vector<Access>& log) {
    std::string s;
    char line[48];
    for (const auto& a : log) {
        std::snprintf(line, sizeof line, "%s %u=0x%04x\n", a.dir == Direction::Read ? "R" : "W", a.offset,
                      static_cast<unsigned>(a.value));
        s += line;
    }
    return s;
}

class LibraryTest : public ::testing::Test {
protected:
    kt40sim::Adapter& hw = kt40sim::Adapter::instance();
    wdsim::Controls& service = wdsim::controls();

    void SetUp() override {
        powerUp();
    }

    void TearDown() override { camac::disconnect(); }

    // Opens the connection and forgets what it took, so that the log holds
    // only what the test does next.
    void open() {
        ASSERT_EQ(ccinit(), 0) << camac::error_text();
        hw.clearLog();
        service.clearRequests();
    }

    int ext(int c, int n, int a, int b = 16) {
        int e = 0;
        cdreg(&e, b, c, n, a);
        return e;
    }

    std::vector<Access> seen() const { return hw.log(); }
};

}  // namespace camac::test
