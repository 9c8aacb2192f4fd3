// A parsed crate description, before it is put into the adapter.
#pragma once

#include <tuple>
#include <vector>

#include "kt40sim/Adapter.h"

namespace kt40sim {

struct CrateSetup {
    bool online[kCrates] = {};
    bool inhibit[kCrates] = {};  // set by a state only
    std::vector<std::tuple<int, int, std::unique_ptr<Module>>> modules;
};

// Parses the text format of crates/default.crate. On error returns false with
// "LINE: why" in `error`.
bool parseCrates(const std::string& text, CrateSetup& setup, std::string& error);

// The crates as the adapter holds them, for writing a state.
struct CrateView {
    bool online = false;
    bool inhibit = false;
    Module* stations[kStations + 1] = {};  // [0] unused
};

// A state file (see CrateState.cpp): written from the crates, and parsed
// all or nothing ("LINE: why" in `error`). `source` names the description the
// crate was made from; a state of another source is refused.
std::string writeState(const CrateView (&crates)[kCrates], const std::string& source);
bool parseState(const std::string& text, const std::string& source, CrateSetup& setup, std::string& error);

}  // namespace kt40sim
