// A parsed crate description, before it is put into the adapter.
#pragma once

#include <tuple>
#include <vector>

#include "kt40sim/Adapter.h"

namespace kt40sim {

struct CrateSetup {
    bool online[kCrates] = {};
    std::vector<std::tuple<int, int, std::unique_ptr<Module>>> modules;
};

// Parses the text format of crates/default.crate. On error returns false with
// "LINE: why" in `error`.
bool parseCrates(const std::string& text, CrateSetup& setup, std::string& error);

}  // namespace kt40sim
