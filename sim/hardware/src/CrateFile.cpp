// Crate descriptions: the small text format of crates/default.crate.
#include <sstream>
#include <tuple>

#include "CrateSetup.h"

namespace kt40sim {

const std::string& Adapter::defaultCrateText() {
    static const std::string text =
#include "default_crate.inc"
        ;
    return text;
}

namespace {

bool parseInt(const std::string& s, int lo, int hi, int& out) {
    if (s.empty() || s.size() > 3) return false;
    int v = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return false;
        v = v * 10 + (ch - '0');
    }
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

}  // namespace

bool parseCrates(const std::string& text, CrateSetup& setup, std::string& error) {
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    int crate = -1;
    bool used[kCrates][kStations + 1] = {};
    auto fail = [&](const std::string& why) {
        error = std::to_string(lineNo) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.empty()) continue;
        if (w[0] == "crate") {
            if (w.size() < 2 || w.size() > 3 || !parseInt(w[1], 0, kCrates - 1, crate))
                return fail("expected 'crate C [offline]' with C 0-3");
            if (w.size() == 3 && w[2] != "offline") return fail("unexpected '" + w[2] + "' after the crate number");
            setup.online[crate] = w.size() == 2;
            continue;
        }
        int station = 0;
        if (!parseInt(w[0], 1, kStations, station)) return fail("expected 'crate C' or a station number 1-24, got '" + w[0] + "'");
        if (crate < 0) return fail("station " + w[0] + " comes before any 'crate' line");
        if (w.size() < 2) return fail("station " + w[0] + " has no module kind");
        if (used[crate][station]) return fail("station " + w[0] + " of crate " + std::to_string(crate) + " is taken twice");
        used[crate][station] = true;
        std::string why;
        auto module = makeModule(w[1], std::vector<std::string>(w.begin() + 2, w.end()), why);
        if (!module) return fail(why);
        setup.modules.emplace_back(crate, station, std::move(module));
    }
    return true;
}

}  // namespace kt40sim
