// The state of the virtual crates as a text file, so that the crate a user
// meets keeps what programs left in it.
//
//   kt40-crate-state 1                       first line: format and version
//   source default                           the description the crates came
//                                            from ("default" or a file path)
//   crate C online|offline inhibit=0|1       each of the crates 0-3, in order
//   station N pending=0|1 enabled=0|1 data=W,W,... KIND [KEY=VALUE ...]
//                                            a module of the crate above:
//                                            its LAM request and mask, what
//                                            it holds (decimal, 24 bits), and
//                                            its description as in a crate file
//   end                                      last line: the file is whole
//
// Lines starting with '#' are comments. A state is taken whole or not at all.
#include <charconv>
#include <cstdio>
#include <sstream>

#include "CrateSetup.h"

namespace kt40sim {

// ---- What the modules keep ----------------------------------------------------

std::string RegisterModule::description() const {
    return kind() == "memory" ? "memory words=" + std::to_string(count_) : kind();
}

std::vector<uint32_t> RegisterModule::savedWords() { return {words(), words() + count_}; }

bool RegisterModule::restoreWords(const std::vector<uint32_t>& w) {
    if (w.size() != static_cast<size_t>(count_)) return false;
    for (int a = 0; a < count_; ++a) words()[a] = w[static_cast<size_t>(a)];
    return true;
}

std::vector<uint32_t> Scaler::savedWords() {
    advance(realTimeNs());
    return {words(), words() + channels()};
}

bool Scaler::restoreWords(const std::vector<uint32_t>& w) {
    if (w.size() != static_cast<size_t>(channels())) return false;
    for (int c = 0; c < channels(); ++c) words()[c] = w[static_cast<size_t>(c)];
    image().clockNs = realTimeNs();
    return true;
}

bool LamSource::restoreWords(const std::vector<uint32_t>& w) {
    if (w.size() != 1) return false;
    words()[0] = w[0];
    return true;
}

namespace {

constexpr char kMagic[] = "kt40-crate-state 1";
constexpr uint32_t kMask24 = 0xFFFFFF;

bool parseNumber(const std::string& s, uint32_t hi, uint32_t& out) {
    if (s.empty() || s.size() > 8) return false;
    for (char ch : s)
        if (ch < '0' || ch > '9') return false;
    uint32_t v = 0;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || ptr != s.data() + s.size() || v > hi) return false;
    out = v;
    return true;
}

// "key=V" with V 0 or 1.
bool parseFlag(const std::string& word, const char* key, bool& out) {
    const std::string prefix = std::string(key) + "=";
    if (word != prefix + "0" && word != prefix + "1") return false;
    out = word.back() == '1';
    return true;
}

bool parseWords(const std::string& word, std::vector<uint32_t>& out) {
    if (word.rfind("data=", 0) != 0) return false;
    const std::string list = word.substr(5);
    if (list.empty()) return true;
    size_t from = 0;
    while (true) {
        const size_t comma = list.find(',', from);
        uint32_t v = 0;
        if (!parseNumber(list.substr(from, comma - from), kMask24, v)) return false;
        if (out.size() >= 64) return false;
        out.push_back(v);
        if (comma == std::string::npos) return true;
        from = comma + 1;
    }
}

std::vector<std::string> split(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    return w;
}

}  // namespace

std::string writeState(const CrateView (&crates)[kCrates], const std::string& source) {
    std::string out = "# The virtual KT40 crates, kept between programs; read whole or not at all.\n";
    out += kMagic;
    out += "\nsource " + source + "\n";
    for (int c = 0; c < kCrates; ++c) {
        out += "crate " + std::to_string(c) + (crates[c].online ? " online" : " offline") + " inhibit=" +
               (crates[c].inhibit ? "1" : "0") + "\n";
        for (int n = 1; n <= kStations; ++n) {
            Module* m = crates[c].stations[n];
            if (!m) continue;
            out += "station " + std::to_string(n) + " pending=" + (m->lamPending() ? "1" : "0") +
                   " enabled=" + (m->lamEnabled() ? "1" : "0") + " data=";
            const auto words = m->savedWords();
            for (size_t k = 0; k < words.size(); ++k) out += (k ? "," : "") + std::to_string(words[k] & kMask24);
            out += " " + m->description() + "\n";
        }
    }
    out += "end\n";
    return out;
}

bool parseState(const std::string& text, const std::string& source, CrateSetup& setup, std::string& error) {
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    enum class Expect { Magic, Source, Body, Nothing } expect = Expect::Magic;
    int crate = -1;
    int lastStation = 0;
    auto fail = [&](const std::string& why) {
        error = std::to_string(lineNo) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
        if (expect == Expect::Nothing) return fail("text after 'end'");
        if (expect == Expect::Magic) {
            if (line != kMagic) return fail(std::string("not a crate state (expected '") + kMagic + "')");
            expect = Expect::Source;
            continue;
        }
        if (expect == Expect::Source) {
            if (line.rfind("source ", 0) != 0) return fail("expected 'source' and the crate's description");
            if (line.substr(7) != source)
                return fail("the state is of the crate made from '" + line.substr(7) + "', not from '" + source + "'");
            expect = Expect::Body;
            continue;
        }
        const auto w = split(line);
        if (w.size() == 1 && w[0] == "end") {
            if (crate != kCrates - 1) return fail("'end' before every crate is given");
            expect = Expect::Nothing;
            continue;
        }
        if (!w.empty() && w[0] == "crate") {
            uint32_t c = 0;
            bool inhibit = false;
            if (w.size() != 4 || !parseNumber(w[1], kCrates - 1, c) || (w[2] != "online" && w[2] != "offline") ||
                !parseFlag(w[3], "inhibit", inhibit))
                return fail("expected 'crate C online|offline inhibit=0|1'");
            if (static_cast<int>(c) != crate + 1) return fail("crate " + w[1] + " out of order");
            crate = static_cast<int>(c);
            setup.online[crate] = w[2] == "online";
            setup.inhibit[crate] = inhibit;
            lastStation = 0;
            continue;
        }
        if (!w.empty() && w[0] == "station") {
            uint32_t n = 0;
            bool pending = false, enabled = false;
            std::vector<uint32_t> words;
            if (w.size() < 6 || !parseNumber(w[1], kStations, n) || n == 0 || !parseFlag(w[2], "pending", pending) ||
                !parseFlag(w[3], "enabled", enabled) || !parseWords(w[4], words))
                return fail("expected 'station N pending=0|1 enabled=0|1 data=W,... KIND [OPTIONS]'");
            if (crate < 0) return fail("station " + w[1] + " comes before any 'crate' line");
            if (static_cast<int>(n) <= lastStation) return fail("station " + w[1] + " out of order");
            lastStation = static_cast<int>(n);
            std::string why;
            auto module = makeModule(w[5], std::vector<std::string>(w.begin() + 6, w.end()), why);
            if (!module) return fail(why);
            if (!module->restoreWords(words)) return fail("the data of station " + w[1] + " do not fit a " + w[5]);
            if (pending) module->raiseLam();
            module->setLamEnabled(enabled);
            setup.modules.emplace_back(crate, static_cast<int>(n), std::move(module));
            continue;
        }
        return fail("unexpected '" + (w.empty() ? line : w[0]) + "'");
    }
    if (expect != Expect::Nothing) {
        ++lineNo;
        return fail("the state ends early (no 'end' line)");
    }
    return true;
}

}  // namespace kt40sim
