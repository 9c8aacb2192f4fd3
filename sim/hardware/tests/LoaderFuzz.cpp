// libFuzzer targets for the two loaders of the virtual crate: the crate
// description (LOADER_CRATE_FILE) and the state file (otherwise). Any input
// is either refused with "LINE: why" (LINE at least 1) or taken; a taken one
// saves as a state that loads again and saves to the same text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "CrateSetup.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool lineNumbered(const std::string& error) {
    const size_t colon = error.find(": ");
    if (colon == 0 || colon == std::string::npos || colon > 9) return false;
    for (size_t k = 0; k < colon; ++k)
        if (error[k] < '0' || error[k] > '9') return false;
    return std::atol(error.c_str()) >= 1;
}

std::string save(kt40sim::CrateSetup& setup) {
    kt40sim::CrateView view[kt40sim::kCrates];
    for (int c = 0; c < kt40sim::kCrates; ++c) {
        view[c].online = setup.online[c];
        view[c].inhibit = setup.inhibit[c];
    }
    for (auto& [c, n, m] : setup.modules) {
        check(c >= 0 && c < kt40sim::kCrates && n >= 1 && n <= kt40sim::kStations && m);
        check(view[c].stations[n] == nullptr);  // a station is taken once
        view[c].stations[n] = m.get();
    }
    return kt40sim::writeState(view, "default");
}

// A scaler (or bank) that counts by itself moves on between two saves: its counts
// are left out when two saves are compared.
std::string withoutCounts(const std::string& state) {
    std::string out;
    size_t from = 0;
    while (from < state.size()) {
        size_t end = state.find('\n', from);
        if (end == std::string::npos) end = state.size();
        std::string line = state.substr(from, end - from);
        if (line.find(" scaler ") != std::string::npos || line.find(" scalerbank ") != std::string::npos) {
            const size_t data = line.find(" data=");
            if (data != std::string::npos) line.erase(data, line.find(' ', data + 1) - data);
        }
        out += line + "\n";
        from = end + 1;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly the input's size, so that a read past its end is caught.
    auto bytes = std::make_unique<char[]>(size ? size : 1);
    if (size) std::memcpy(bytes.get(), data, size);
    const std::string text(bytes.get(), size);
    kt40sim::CrateSetup setup;
    std::string error;
#ifdef LOADER_CRATE_FILE
    const bool taken = kt40sim::parseCrates(text, setup, error);
#else
    const bool taken = kt40sim::parseState(text, "default", setup, error);
#endif
    if (!taken) {
        check(lineNumbered(error));
        return 0;
    }
    const std::string saved = save(setup);
    kt40sim::CrateSetup again;
    check(kt40sim::parseState(saved, "default", again, error));
    check(withoutCounts(save(again)) == withoutCounts(saved));
    return 0;
}
