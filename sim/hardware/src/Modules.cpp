#include "kt40sim/Module.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <numbers>
#include <sstream>

namespace kt40sim {

namespace {
constexpr uint32_t kMask24 = 0xFFFFFF;
constexpr uint32_t kFullScale12 = 4095;
constexpr double kNsPerSecond = 1e9;

bool isRead(int f) { return f >= 0 && f <= 7; }
bool isWrite(int f) { return f >= 16 && f <= 23; }

std::string number(double v) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    return ec == std::errc() ? std::string(text, end) : std::string("0");
}
}  // namespace

int64_t realTimeNs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// ---- Module ----------------------------------------------------------------

Module::Module(std::string kind)
    : kind_(std::move(kind)), own_(std::make_unique<StationImage>()), m_(own_.get()) {
    m_->lamEnabled = 1;
    m_->present = 1;
    m_->clockNs = realTimeNs();
}

void Module::moveTo(StationImage& slot) {
    if (&slot == m_) return;
    const uint32_t generation = slot.generation + 1;
    slot = *m_;
    slot.generation = generation;
    slot.present = 1;
    const std::string text = description();
    std::memset(slot.description, 0, sizeof slot.description);
    std::memcpy(slot.description, text.data(), std::min(text.size(), sizeof slot.description - 1));
    m_ = &slot;
    own_.reset();
}

bool Module::adopt(StationImage& slot) {
    if (!imageFits(slot)) return false;
    m_ = &slot;
    own_.reset();
    return true;
}

bool Module::imageFits(const StationImage& slot) const {
    if (slot.lamPending > 1 || slot.lamEnabled > 1 || slot.inhibited > 1 || slot.clockNs < 0) return false;
    for (uint32_t w : slot.words)
        if (w > kMask24) return false;
    for (double c : slot.carry)
        if (!(c >= 0 && c < 1)) return false;
    return true;
}

bool Module::lamFunction(int f, Response& r) {
    switch (f) {
    case 8: r = {true, lamPending()}; return true;
    case 10: clearLam(); r = {true, true}; return true;
    case 24: setLamEnabled(false); r = {true, true}; return true;
    case 26: setLamEnabled(true); r = {true, true}; return true;
    default: return false;
    }
}

// ---- RegisterModule --------------------------------------------------------

RegisterModule::RegisterModule(int words, std::string kind)
    : Module(!kind.empty() ? std::move(kind) : words > 1 ? "memory" : "register"), count_(words) {}

Response RegisterModule::cycle(int a, int f, uint32_t& data) {
    Response r;
    if (lamFunction(f, r)) return r;
    const bool inRange = a >= 0 && a < count_;
    if (isRead(f) && f == 0) {
        data = inRange ? words()[a] : 0;
        return {true, inRange};
    }
    if (isWrite(f) && f == 16) {
        if (inRange) words()[a] = data & kMask24;
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
    for (int a = 0; a < count_; ++a) words()[a] = 0;
}

// ---- Scaler ----------------------------------------------------------------

Scaler::Scaler(int channels, double rate) : Scaler(std::vector<double>(static_cast<size_t>(channels), rate), "scaler") {}

Scaler::Scaler(std::vector<double> rates, std::string kind) : Module(std::move(kind)), rates_(std::move(rates)) {
    counting_ = false;
    for (double r : rates_) counting_ = counting_ || r > 0;
}

uint64_t Scaler::advance(int64_t now) {
    StationImage& m = image();
    if (now <= m.clockNs) {
        if (now < m.clockNs - 1000000000) m.clockNs = now;  // the clock was set back: count on from now
        return 0;
    }
    if (counting_ && !inhibited()) {
        const double elapsed = static_cast<double>(now - m.clockNs) / kNsPerSecond;
        for (int c = 0; c < channels(); ++c) {
            const double pulses = elapsed * rates_[static_cast<size_t>(c)] + m.carry[c];
            const double whole = std::floor(pulses);
            m.carry[c] = pulses - whole;
            if (whole >= 1) add(c, static_cast<uint64_t>(std::min(whole, 1e15)));
        }
    }
    m.clockNs = now;
    return 0;
}

int64_t Scaler::nextEventNs() const {
    if (!counting_ || inhibited()) return kNever;
    const StationImage& m = image();
    double soonest = 1e18;
    for (int c = 0; c < channels(); ++c) {
        const double rate = rates_[static_cast<size_t>(c)];
        if (rate <= 0) continue;
        const double left = static_cast<double>(kMask24 + 1 - m.words[c]) - m.carry[c];
        soonest = std::min(soonest, left / rate * kNsPerSecond);
    }
    return soonest >= 1e18 ? kNever : m.clockNs + static_cast<int64_t>(std::ceil(soonest));
}

void Scaler::add(int channel, uint64_t n) {
    auto& c = words()[channel];
    const uint64_t sum = uint64_t{c} + n;
    if (sum > kMask24) raiseLam();
    c = static_cast<uint32_t>(sum & kMask24);
}

void Scaler::pulse(int channel, uint32_t n) {
    advance(realTimeNs());
    if (channel >= 0 && channel < channels()) add(channel, n);
}

uint32_t Scaler::count(int channel) {
    advance(realTimeNs());
    return channel >= 0 && channel < channels() ? words()[channel] : 0;
}

Response Scaler::cycle(int a, int f, uint32_t& data) {
    Response r;
    if (lamFunction(f, r)) return r;
    advance(realTimeNs());
    const bool inRange = a >= 0 && a < channels();
    switch (f) {
    case 0:
    case 2:
        data = inRange ? words()[a] : 0;
        if (f == 2 && inRange) words()[a] = 0;
        return {true, inRange};
    case 9:
        for (int c = 0; c < channels(); ++c) words()[c] = 0;
        return {true, true};
    case 25:
        if (inRange) add(a, 1);
        return {true, inRange};
    default:
        return {false, false};
    }
}

void Scaler::clear() {
    advance(realTimeNs());
    Module::clear();
    for (int c = 0; c < channels(); ++c) words()[c] = 0;
}

void Scaler::initialise() {
    Module::initialise();
    for (auto& c : image().carry) c = 0;
}

void Scaler::setInhibit(bool on) {
    advance(realTimeNs());  // count up to the moment the inhibit changes
    Module::setInhibit(on);
}

std::string Scaler::description() const {
    std::string text = kind() + " channels=" + std::to_string(channels()) + " rate=" + number(rates_.empty() ? 0 : rates_[0]);
    if (kind() == "scalerbank")
        for (int c = 1; c < channels(); ++c)
            if (rates_[static_cast<size_t>(c)] != rates_[0]) text += " rate" + std::to_string(c) + "=" + number(rates_[static_cast<size_t>(c)]);
    return text;
}

// ---- LamSource -------------------------------------------------------------

LamSource::LamSource() : Module("lamsource") {}

Response LamSource::cycle(int a, int f, uint32_t& data) {
    Response r;
    if (lamFunction(f, r)) return r;
    if (f == 0 && a == 0) {
        data = words()[0];
        return {true, true};
    }
    if (f == 16 && a == 0) {
        words()[0] = data & kMask24;
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
    words()[0] = 0;
}

// ---- Digitizer (ADC, TDC) ----------------------------------------------------

Digitizer::Digitizer(std::string kind, int channels, Spectrum spectrum)
    : Module(std::move(kind)), channels_(channels), spectrum_(spectrum) {
    image().random = spectrum_.seed;
}

// splitmix64: small, fast and the same everywhere, so that a seed repeats.
uint32_t Digitizer::draw() {
    auto next = [this] {
        uint64_t z = (image().random += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    };
    auto uniform = [&] { return (static_cast<double>(next() >> 11) + 0.5) / 9007199254740992.0; };
    double v;
    if (uniform() < spectrum_.noise) {
        v = uniform() * (kFullScale12 + 1);
    } else {
        // Box-Muller: one normal deviate from two uniform ones.
        const double n = std::sqrt(-2.0 * std::log(uniform())) * std::cos(2.0 * std::numbers::pi * uniform());
        v = spectrum_.peak + spectrum_.width * n;
    }
    return static_cast<uint32_t>(std::clamp(std::floor(v), 0.0, double{kFullScale12}));
}

bool Digitizer::gate(int64_t) {
    if (ready()) return false;  // busy with the last event: this gate is lost
    for (int c = 0; c < channels_; ++c) words()[c] = draw();
    image().flags |= 1;
    raiseLam();
    return true;
}

Response Digitizer::cycle(int a, int f, uint32_t& data) {
    Response r;
    if (lamFunction(f, r)) return r;
    const bool inRange = a >= 0 && a < channels_;
    switch (f) {
    case 0:
    case 2:
        if (!inRange) return {true, false};
        data = ready() ? words()[a] : 0;
        r = {true, ready()};
        if (f == 2 && ready()) {
            words()[a] = 0;
            if (a == channels_ - 1) clear();
        }
        return r;
    case 9:
        clear();
        return {true, true};
    case 25:
        gate(0);
        return {true, true};
    default:
        return {false, false};
    }
}

void Digitizer::clear() {
    Module::clear();
    for (int c = 0; c < channels_; ++c) words()[c] = 0;
    image().flags &= ~1u;
}

std::string Digitizer::description() const {
    return kind() + " channels=" + std::to_string(channels_) + " peak=" + number(spectrum_.peak) +
           " width=" + number(spectrum_.width) + " noise=" + number(spectrum_.noise) +
           " seed=" + std::to_string(spectrum_.seed);
}

std::vector<uint32_t> Digitizer::savedWords() {
    std::vector<uint32_t> w(words(), words() + channels_);
    w.push_back(image().flags & 1);
    return w;
}

bool Digitizer::restoreWords(const std::vector<uint32_t>& w) {
    if (w.size() != static_cast<size_t>(channels_) + 1 || w.back() > 1) return false;
    for (int c = 0; c < channels_; ++c) {
        if (w[static_cast<size_t>(c)] > kFullScale12) return false;
        words()[c] = w[static_cast<size_t>(c)];
    }
    image().flags = w.back();
    return true;
}

bool Digitizer::imageFits(const StationImage& slot) const {
    if (!Module::imageFits(slot) || slot.flags > 1) return false;
    for (int c = 0; c < channels_; ++c)
        if (slot.words[c] > kFullScale12) return false;
    return true;
}

// ---- Input register ------------------------------------------------------------
// words: [0] inputs, [1] changes since the last F2, [2] change mask.

InputRegister::InputRegister() : Module("input") { words()[2] = kMask24; }

bool InputRegister::setInputs(uint32_t bits) {
    bits &= kMask24;
    const uint32_t changed = bits ^ words()[0];
    words()[0] = bits;
    words()[1] |= changed;
    if (changed & words()[2]) raiseLam();
    return true;
}

Response InputRegister::cycle(int a, int f, uint32_t& data) {
    Response r;
    if (lamFunction(f, r)) return r;
    if (f == 0 && (a == 0 || a == 1)) {
        data = words()[a == 0 ? 0 : 2];
        return {true, true};
    }
    if (f == 2 && a == 0) {
        data = words()[1];
        words()[1] = 0;
        return {true, true};
    }
    if (f == 16 && a == 1) {
        words()[2] = data & kMask24;
        return {true, true};
    }
    if (f == 9) {
        clear();
        return {true, true};
    }
    return {false, false};
}

void InputRegister::clear() {
    Module::clear();
    words()[1] = 0;
}

void InputRegister::initialise() {
    Module::initialise();
    words()[2] = kMask24;
}

bool InputRegister::restoreWords(const std::vector<uint32_t>& w) {
    if (w.size() != 3) return false;
    for (int k = 0; k < 3; ++k) words()[k] = w[static_cast<size_t>(k)];
    return true;
}

// ---- Output register -----------------------------------------------------------

OutputRegister::OutputRegister() : Module("output") {}

Response OutputRegister::cycle(int a, int f, uint32_t& data) {
    Response r;
    if (lamFunction(f, r)) return r;
    if (a != 0 && f != 9) return {false, false};
    switch (f) {
    case 0: data = words()[0]; return {true, true};
    case 16: words()[0] = data & kMask24; return {true, true};
    case 18: words()[0] |= data & kMask24; return {true, true};
    case 21: words()[0] &= ~data & kMask24; return {true, true};
    case 9: clear(); return {true, true};
    default: return {false, false};
    }
}

void OutputRegister::clear() {
    Module::clear();
    words()[0] = 0;
}

bool OutputRegister::restoreWords(const std::vector<uint32_t>& w) {
    if (w.size() != 1) return false;
    words()[0] = w[0];
    return true;
}

// ---- Trigger ----------------------------------------------------------------------
// words[0] the trigger count; flags bit 0 running; spare: triggers asked for
// by F25 and not yet sent to the crate; carry[0] the fraction of a trigger.

Trigger::Trigger(double rate, bool running) : Module("trigger") {
    image().rate = rate;
    image().flags = running ? 1 : 0;
}

void Trigger::setRate(double rate, bool run, int64_t now) {
    advance(now);
    image().rate = rate;
    image().flags = run ? 1 : 0;
    image().carry[0] = 0;
}

uint64_t Trigger::advance(int64_t now) {
    StationImage& m = image();
    uint64_t fires = m.spare;
    m.spare = 0;
    if (now > m.clockNs) {
        if (running() && m.rate > 0 && !inhibited()) {
            const double pulses = static_cast<double>(now - m.clockNs) / kNsPerSecond * m.rate + m.carry[0];
            const double whole = std::floor(pulses);
            m.carry[0] = pulses - whole;
            fires += static_cast<uint64_t>(std::min(whole, 1e15));
        }
        m.clockNs = now;
    } else if (now < m.clockNs - 1000000000) {
        m.clockNs = now;
    }
    words()[0] = static_cast<uint32_t>((words()[0] + fires) & kMask24);
    return fires;
}

int64_t Trigger::nextEventNs() const {
    const StationImage& m = image();
    if (m.spare) return m.clockNs;
    if (!running() || m.rate <= 0 || inhibited()) return kNever;
    return m.clockNs + static_cast<int64_t>(std::ceil((1.0 - m.carry[0]) / m.rate * kNsPerSecond));
}

Response Trigger::cycle(int a, int f, uint32_t& data) {
    Response r;
    if (a == 1 && (f == 24 || f == 26)) {
        setRate(image().rate, f == 26, realTimeNs());
        return {true, true};
    }
    if (lamFunction(f, r)) return r;
    switch (f) {
    case 0:
        if (a != 0) return {false, false};
        advance(realTimeNs());
        data = words()[0];
        return {true, true};
    case 9: words()[0] = 0; return {true, true};
    case 25: ++image().spare; return {true, true};
    default: return {false, false};
    }
}

void Trigger::clear() {
    Module::clear();
    words()[0] = 0;
}

std::string Trigger::description() const {
    return "trigger rate=" + number(image().rate) + " run=" + (running() ? "1" : "0");
}

bool Trigger::imageFits(const StationImage& slot) const {
    return Module::imageFits(slot) && slot.flags <= 1 && slot.rate >= 0 && slot.rate <= 1e9;
}

bool Trigger::restoreWords(const std::vector<uint32_t>& w) {
    if (w.size() != 1) return false;
    words()[0] = w[0];
    return true;
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

// "rate7" -> 7 for a bank's per-channel rate; -1 otherwise.
int channelRate(const std::string& key) {
    if (key.size() < 5 || key.size() > 6 || key.compare(0, 4, "rate") != 0) return -1;
    int c = 0;
    for (size_t k = 4; k < key.size(); ++k) {
        if (key[k] < '0' || key[k] > '9') return -1;
        c = c * 10 + (key[k] - '0');
    }
    return key.size() == 6 && key[4] == '0' ? -1 : c < kImageChannels ? c : -1;
}

}  // namespace

std::unique_ptr<Module> makeModule(const std::string& kind, const std::vector<std::string>& options,
                                   std::string& error) {
    const bool digitizer = kind == "adc" || kind == "tdc";
    const bool scaler = kind == "scaler" || kind == "scalerbank";
    int words = kind == "memory" ? 16 : 1;
    int channels = kind == "scalerbank" ? 16 : digitizer ? 8 : 4;
    double rate = kind == "trigger" ? 10 : 0;
    bool run = false;
    double rates[kImageChannels];
    bool rateSet[kImageChannels] = {};
    Spectrum spectrum;
    if (kind == "tdc") spectrum = {2000, 200, 0.05, 1};
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
        } else if ((scaler || digitizer) && key == "channels" && whole && value >= 1 && value <= 16) {
            channels = static_cast<int>(value);
        } else if ((scaler || kind == "trigger") && key == "rate" && value >= 0 && value <= 1e9) {
            rate = value;
        } else if (kind == "scalerbank" && channelRate(key) >= 0 && value >= 0 && value <= 1e9) {
            rates[channelRate(key)] = value;
            rateSet[channelRate(key)] = true;
        } else if (kind == "trigger" && key == "run" && (value == 0 || value == 1)) {
            run = value == 1;
        } else if (digitizer && (key == "peak" || key == "width") && value >= 0 && value <= kFullScale12) {
            (key == "peak" ? spectrum.peak : spectrum.width) = value;
        } else if (digitizer && key == "noise" && value >= 0 && value <= 1) {
            spectrum.noise = value;
        } else if (digitizer && key == "seed" && whole && value >= 0 && value <= 1e15) {
            spectrum.seed = static_cast<uint64_t>(value);
        } else {
            error = "option '" + opt + "' does not fit a " + kind;
            return nullptr;
        }
    }
    if (kind == "register") return std::make_unique<RegisterModule>(1);
    if (kind == "memory") return std::make_unique<RegisterModule>(words, "memory");
    if (kind == "scaler") return std::make_unique<Scaler>(channels, rate);
    if (kind == "scalerbank") {
        std::vector<double> r(static_cast<size_t>(channels), rate);
        for (int c = 0; c < channels; ++c)
            if (rateSet[c]) r[static_cast<size_t>(c)] = rates[c];
        for (int c = channels; c < kImageChannels; ++c)
            if (rateSet[c]) {
                error = "rate" + std::to_string(c) + " is past the bank's " + std::to_string(channels) + " channels";
                return nullptr;
            }
        return std::make_unique<Scaler>(std::move(r), "scalerbank");
    }
    if (kind == "lamsource") return std::make_unique<LamSource>();
    if (digitizer) return std::make_unique<Digitizer>(kind, channels, spectrum);
    if (kind == "input") return std::make_unique<InputRegister>();
    if (kind == "output") return std::make_unique<OutputRegister>();
    if (kind == "trigger") return std::make_unique<Trigger>(rate, run);
    error = "unknown module kind '" + kind + "'";
    return nullptr;
}

std::unique_ptr<Module> makeModule(const std::string& description, std::string& error) {
    std::istringstream in(description);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) {
        error = "no module kind";
        return nullptr;
    }
    return makeModule(w[0], std::vector<std::string>(w.begin() + 1, w.end()), error);
}

}  // namespace kt40sim
