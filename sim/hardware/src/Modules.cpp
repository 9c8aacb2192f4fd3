#include "kt40sim/Module.h"

#include <charconv>
#include <cmath>

namespace kt40sim {

namespace {
constexpr uint32_t kMask24 = 0xFFFFFF;

bool isRead(int f) { return f >= 0 && f <= 7; }
bool isWrite(int f) { return f >= 16 && f <= 23; }
}  // namespace

bool Module::lamFunction(int f, Response& r) {
    switch (f) {
    case 8: r = {true, lamPending_}; return true;
    case 10: lamPending_ = false; r = {true, true}; return true;
    case 24: lamEnabled_ = false; r = {true, true}; return true;
    case 26: lamEnabled_ = true; r = {true, true}; return true;
    default: return false;
    }
}

// ---- RegisterModule --------------------------------------------------------

RegisterModule::RegisterModule(int words, std::string kind)
    : Module(!kind.empty() ? std::move(kind) : words > 1 ? "memory" : "register"),
      words_(static_cast<size_t>(words), 0) {}

Response RegisterModule::cycle(int a, int f, uint32_t& data) {
    Response r;
    if (lamFunction(f, r)) return r;
    const bool inRange = static_cast<size_t>(a) < words_.size();
    if (isRead(f) && f == 0) {
        data = inRange ? words_[static_cast<size_t>(a)] : 0;
        return {true, inRange};
    }
    if (isWrite(f) && f == 16) {
        if (inRange) words_[static_cast<size_t>(a)] = data & kMask24;
        return {true, inRange};
    }
    if (f == 9) {
        clear();
        return {true, true};
    }
    return {false, false};
}

void RegisterModule::clear() {
    Module::clear();
    for (auto& w : words_) w = 0;
}

// ---- Scaler ----------------------------------------------------------------

Scaler::Scaler(int channels, double rate)
    : Module("scaler"), counts_(static_cast<size_t>(channels), 0), rate_(rate) {}

void Scaler::catchUp() {
    const auto now = Clock::now();
    if (rate_ > 0 && !inhibited_) {
        const double elapsed = std::chrono::duration<double>(now - since_).count();
        const double pulses = elapsed * rate_ + carry_;
        const double whole = std::floor(pulses);
        carry_ = pulses - whole;
        if (whole >= 1)
            for (size_t c = 0; c < counts_.size(); ++c) add(static_cast<int>(c), static_cast<uint64_t>(whole));
    }
    since_ = now;
}

void Scaler::add(int channel, uint64_t n) {
    auto& c = counts_[static_cast<size_t>(channel)];
    const uint64_t sum = uint64_t{c} + n;
    if (sum > kMask24) raiseLam();
    c = static_cast<uint32_t>(sum & kMask24);
}

void Scaler::pulse(int channel, uint32_t n) {
    catchUp();
    if (static_cast<size_t>(channel) < counts_.size()) add(channel, n);
}

uint32_t Scaler::count(int channel) {
    catchUp();
    return static_cast<size_t>(channel) < counts_.size() ? counts_[static_cast<size_t>(channel)] : 0;
}

Response Scaler::cycle(int a, int f, uint32_t& data) {
    Response r;
    if (lamFunction(f, r)) return r;
    catchUp();
    const bool inRange = static_cast<size_t>(a) < counts_.size();
    switch (f) {
    case 0:
    case 2:
        data = inRange ? counts_[static_cast<size_t>(a)] : 0;
        if (f == 2 && inRange) counts_[static_cast<size_t>(a)] = 0;
        return {true, inRange};
    case 9:
        for (auto& c : counts_) c = 0;
        return {true, true};
    case 25:
        if (inRange) add(a, 1);
        return {true, inRange};
    default:
        return {false, false};
    }
}

void Scaler::clear() {
    catchUp();
    Module::clear();
    for (auto& c : counts_) c = 0;
}

void Scaler::initialise() {
    Module::initialise();
    carry_ = 0;
}

void Scaler::setInhibit(bool on) {
    catchUp();  // count up to the moment the inhibit changes
    Module::setInhibit(on);
}

// ---- LamSource -------------------------------------------------------------

LamSource::LamSource() : Module("lamsource") {}

Response LamSource::cycle(int a, int f, uint32_t& data) {
    Response r;
    if (lamFunction(f, r)) return r;
    if (f == 0 && a == 0) {
        data = reg_;
        return {true, true};
    }
    if (f == 16 && a == 0) {
        reg_ = data & kMask24;
        return {true, true};
    }
    if (f == 25) {
        raiseLam();
        return {true, true};
    }
    return {false, false};
}

void LamSource::clear() {
    Module::clear();
    reg_ = 0;
}

// ---- Factory ---------------------------------------------------------------

namespace {

bool parseOption(const std::string& opt, std::string& key, double& value) {
    const auto eq = opt.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    key = opt.substr(0, eq);
    const std::string v = opt.substr(eq + 1);
    const char* first = v.data();
    const char* last = v.data() + v.size();
    auto [ptr, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && ptr == last && std::isfinite(value);
}

}  // namespace

std::unique_ptr<Module> makeModule(const std::string& kind, const std::vector<std::string>& options,
                                   std::string& error) {
    int words = kind == "memory" ? 16 : 1;
    int channels = 4;
    double rate = 0;
    for (const auto& opt : options) {
        std::string key;
        double value = 0;
        if (!parseOption(opt, key, value)) {
            error = "bad option '" + opt + "' (expected KEY=NUMBER)";
            return nullptr;
        }
        const bool whole = value == std::floor(value);
        if (kind == "memory" && key == "words" && whole && value >= 1 && value <= 16) {
            words = static_cast<int>(value);
        } else if (kind == "scaler" && key == "channels" && whole && value >= 1 && value <= 16) {
            channels = static_cast<int>(value);
        } else if (kind == "scaler" && key == "rate" && value >= 0 && value <= 1e9) {
            rate = value;
        } else {
            error = "option '" + opt + "' does not fit a " + kind;
            return nullptr;
        }
    }
    if (kind == "register") return std::make_unique<RegisterModule>(1);
    if (kind == "memory") return std::make_unique<RegisterModule>(words, "memory");
    if (kind == "scaler") return std::make_unique<Scaler>(channels, rate);
    if (kind == "lamsource") return std::make_unique<LamSource>();
    error = "unknown module kind '" + kind + "'";
    return nullptr;
}

}  // namespace kt40sim
