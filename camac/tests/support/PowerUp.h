// For tests: the library without a connection, the service and the virtual
// adapter at power-up, and an all-zero status record.
#pragma once

#include <cstring>

#include "State.h"
#include "camac.h"
#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"

namespace camac::test {

inline void powerUp() {
    camac::disconnect();
    wdsim::controls().reset();
    kt40sim::Adapter::instance().reset();
    std::memset(cdata(), 0, sizeof(CamacStatus));
}

}  // namespace camac::test
