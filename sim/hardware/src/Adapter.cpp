#include "kt40sim/Adapter.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "CrateSetup.h"

namespace kt40sim {

namespace {

struct Crate {
    bool online = false;
    bool inhibit = false;
    std::array<std::unique_ptr<Module>, kStations + 1> stations;  // [0] unused

    uint32_t lamPattern() const {
        uint32_t p = 0;
        if (!online) return 0;
        for (int n = 1; n <= kStations; ++n)
            if (stations[n] && stations[n]->lam()) p |= 1u << (n - 1);
        return p;
    }
};

uint64_t nowNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool validStation(int crate, int station) {
    return crate >= 0 && crate < kCrates && station >= 1 && station <= kStations;
}

}  // namespace

struct Adapter::State {
    std::array<Crate, kCrates> crates;

    // CSR as written: bits 0-1 crate, bit 2 interrupt enable.
    uint16_t csr = 0;
    std::optional<int> controllerCrate;

    // The action in progress or last completed.
    bool pending = false;    // an action waits to show done
    uint32_t doneCountdown = 0;
    uint32_t busyCountdown = 0;
    bool done = false;
    bool error = false;
    bool q = false;
    bool x = false;

    uint16_t wdlo = 0;
    uint16_t wdhi = 0;
    uint32_t readData = 0;   // 24 bits of the last read
    uint16_t cmdOut = 0;     // what a read of CMD delivers

    uint32_t donePolls = 0;
    uint32_t busyPolls = 0;
    Fault fault = Fault::None;

    bool logging = true;
    std::vector<Access> ring;
    size_t head = 0;          // next slot to write once the ring is full
    uint64_t count = 0;

    bool line = false;
    int nextListener = 1;
    std::vector<std::pair<int, std::function<void(bool)>>> listeners;

    int crate() const { return csr & 3; }
    Crate& selected() { return crates[static_cast<size_t>(crate())]; }

    void record(Direction dir, uint16_t offset, uint32_t value) {
        ++count;
        if (!logging) return;
        Access a{nowNs(), Face::Isa, dir, offset, value};
        if (ring.size() < kLogCapacity) {
            ring.push_back(a);
        } else {
            ring[head] = a;
            head = (head + 1) % kLogCapacity;
        }
    }

    uint16_t statusWord() {
        Crate& c = selected();
        const uint32_t lams = c.lamPattern();
        uint16_t w = static_cast<uint16_t>((lams >> 16) & 0xFF);
        if (lams) w |= 0x8000;
        if (x) w |= 0x4000;
        if (q) w |= 0x2000;
        if (c.inhibit) w |= 0x1000;
        if (c.online) w |= 0x0400;
        return w;
    }

    void startAction() {
        done = false;
        error = false;
        pending = true;
        doneCountdown = donePolls;
    }

    void startBusy() { busyCountdown = busyPolls; }

    uint16_t readCsr() {
        if (pending) {
            if (doneCountdown > 0) {
                --doneCountdown;
            } else if (fault != Fault::DoneNever) {
                pending = false;
                if (fault == Fault::ErrorBit)
                    error = true;
                else
                    done = true;
            }
        }
        const bool busy = fault == Fault::BusyStuck || busyCountdown > 0;
        if (busyCountdown > 0) --busyCountdown;
        const int ctl = controllerCrate ? *controllerCrate & 3 : crate();
        return static_cast<uint16_t>((q ? 1 : 0) | (x ? 2 : 0) | (busy ? 4 : 0) | (done ? 0x10 : 0) |
                                     (error ? 0x20 : 0) | (crate() << 6) | ((csr & 4) ? 0x100 : 0) |
                                     (ctl << 14));
    }

    void addressed(uint16_t word) {
        const int f = word & 31;
        const int a = (word >> 5) & 15;
        const int n = (word >> 9) & 31;
        const bool wide = word & 0x4000;
        Crate& c = selected();
        uint32_t data = 0;
        if (f >= 16 && f <= 23) data = wide ? (wdlo | (uint32_t{wdhi} & 0xFF) << 16) : wdlo;
        Response r;
        if (c.online && n >= 1 && n <= kStations && c.stations[static_cast<size_t>(n)])
            r = c.stations[static_cast<size_t>(n)]->cycle(a, f, data);
        q = r.q;
        x = r.x;
        if (f <= 7) {
            readData = r.x ? data & 0xFFFFFF : 0;
            cmdOut = static_cast<uint16_t>(readData & 0xFFFF);
        } else {
            cmdOut = statusWord();
        }
    }

    void unaddressed(uint16_t word) {
        Crate& c = selected();
        if (c.online) {
            if (word & 1)
                for (auto& m : c.stations)
                    if (m) m->clear();
            if (word & 2) {
                for (auto& m : c.stations)
                    if (m) m->initialise();
                setInhibit(c, true);
            }
            if (word & 4) setInhibit(c, true);
            if (word & 8) setInhibit(c, false);
        }
        x = q = c.online;
        cmdOut = statusWord();
    }

    static void setInhibit(Crate& c, bool on) {
        c.inhibit = on;
        for (auto& m : c.stations)
            if (m) m->setInhibit(on);
    }

    void updateLine() {
        bool lam = false;
        for (const auto& c : crates) lam = lam || c.lamPattern() != 0;
        const bool now = lam && (csr & 4);
        if (now == line) return;
        line = now;
        for (auto& l : listeners) l.second(now);
    }
};

Adapter& Adapter::instance() {
    static Adapter adapter;
    return adapter;
}

Adapter::Adapter() : s_(std::make_unique<State>()) {
    reset();
    // A crate of the user's own at power-up, for the panel and the demo.
    if (const char* path = std::getenv("KT40_CRATE_FILE"); path && *path) {
        std::string error;
        if (!loadCrateFile(path, error)) std::fprintf(stderr, "kt40sim: %s; keeping the default crate\n", error.c_str());
    }
}

// ---- ISA face ----------------------------------------------------------------

uint16_t Adapter::isaRead(uint16_t offset) {
    std::lock_guard lock(mu_);
    uint16_t v = 0;
    if (s_->fault != Fault::Dead) {
        switch (offset) {
        case kCmd: v = s_->cmdOut; break;
        case kCsr: v = s_->readCsr(); break;
        default: v = 0xFFFF; break;  // write-only registers: nothing drives the bus
        }
    }
    s_->record(Direction::Read, offset, v);
    return v;
}

void Adapter::isaWrite(uint16_t offset, uint16_t value) {
    std::lock_guard lock(mu_);
    s_->record(Direction::Write, offset, value);
    if (s_->fault == Fault::Dead) return;
    State& s = *s_;
    switch (offset) {
    case kCmd:
        s.startAction();
        s.startBusy();
        if (value & 0x8000)
            s.unaddressed(value);
        else
            s.addressed(value);
        break;
    case kRsel:
        s.startAction();
        switch (value) {
        case 1: s.cmdOut = static_cast<uint16_t>((s.readData >> 16) & 0xFF); break;
        case 2: s.cmdOut = static_cast<uint16_t>(s.selected().lamPattern() & 0xFFFF); break;
        case 4: s.cmdOut = s.statusWord(); break;
        default: s.cmdOut = 0; break;
        }
        break;
    case kWdlo:
        s.wdlo = value;
        s.startBusy();
        break;
    case kWdhi:
        s.wdhi = value & 0xFF;
        s.startBusy();
        break;
    case kCsr:
        s.csr = value & 7;
        s.startBusy();
        break;
    default:
        break;
    }
    s.updateLine();
}

bool Adapter::interruptLine() const {
    std::lock_guard lock(mu_);
    return s_->line;
}

// ---- Crates ------------------------------------------------------------------

void Adapter::reset() {
    std::string error;
    CrateSetup setup;
    parseCrates(defaultCrateText(), setup, error);
    std::lock_guard lock(mu_);
    auto listeners = std::move(s_->listeners);
    const int nextListener = s_->nextListener;
    const bool line = s_->line;
    s_ = std::make_unique<State>();
    s_->listeners = std::move(listeners);
    s_->nextListener = nextListener;
    s_->line = line;
    for (int c = 0; c < kCrates; ++c) s_->crates[static_cast<size_t>(c)].online = setup.online[c];
    for (auto& [c, n, m] : setup.modules) s_->crates[static_cast<size_t>(c)].stations[static_cast<size_t>(n)] = std::move(m);
    s_->ring.reserve(4096);
    s_->updateLine();
}

void Adapter::clearCrates() {
    std::lock_guard lock(mu_);
    for (auto& c : s_->crates) {
        c = Crate{};
    }
    s_->updateLine();
}

bool Adapter::loadCrates(const std::string& text, std::string& error) {
    CrateSetup setup;
    if (!parseCrates(text, setup, error)) return false;
    std::lock_guard lock(mu_);
    for (int c = 0; c < kCrates; ++c) {
        s_->crates[static_cast<size_t>(c)] = Crate{};
        s_->crates[static_cast<size_t>(c)].online = setup.online[c];
    }
    for (auto& [c, n, m] : setup.modules) s_->crates[static_cast<size_t>(c)].stations[static_cast<size_t>(n)] = std::move(m);
    s_->updateLine();
    return true;
}

bool Adapter::loadCrateFile(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot open";
        return false;
    }
    // Read through istream::read so that a read error (a directory, say)
    // shows as badbit instead of as an empty description.
    std::string text;
    char buf[4096];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) text.append(buf, static_cast<size_t>(in.gcount()));
    if (in.bad()) {
        error = path + ": cannot read";
        return false;
    }
    if (!loadCrates(text, error)) {
        error = path + ":" + error;
        return false;
    }
    return true;
}

void Adapter::setCrateOnline(int crate, bool online) {
    if (crate < 0 || crate >= kCrates) return;
    std::lock_guard lock(mu_);
    s_->crates[static_cast<size_t>(crate)].online = online;
    s_->updateLine();
}

void Adapter::install(int crate, int station, std::unique_ptr<Module> module) {
    if (!validStation(crate, station)) return;
    std::lock_guard lock(mu_);
    auto& c = s_->crates[static_cast<size_t>(crate)];
    if (module) module->setInhibit(c.inhibit);
    c.stations[static_cast<size_t>(station)] = std::move(module);
    s_->updateLine();
}

bool Adapter::withModule(int crate, int station, const std::function<void(Module&)>& fn) {
    if (!validStation(crate, station)) return false;
    std::lock_guard lock(mu_);
    auto& m = s_->crates[static_cast<size_t>(crate)].stations[static_cast<size_t>(station)];
    if (!m) return false;
    fn(*m);
    s_->updateLine();
    return true;
}

std::string Adapter::moduleKind(int crate, int station) const {
    if (!validStation(crate, station)) return {};
    std::lock_guard lock(mu_);
    const auto& m = s_->crates[static_cast<size_t>(crate)].stations[static_cast<size_t>(station)];
    return m ? m->kind() : std::string{};
}

bool Adapter::inhibit(int crate) const {
    if (crate < 0 || crate >= kCrates) return false;
    std::lock_guard lock(mu_);
    return s_->crates[static_cast<size_t>(crate)].inhibit;
}

uint32_t Adapter::lamPattern(int crate) const {
    if (crate < 0 || crate >= kCrates) return 0;
    std::lock_guard lock(mu_);
    return s_->crates[static_cast<size_t>(crate)].lamPattern();
}

void Adapter::raiseLam(int crate, int station) {
    withModule(crate, station, [](Module& m) { m.raiseLam(); });
}

void Adapter::clearLam(int crate, int station) {
    withModule(crate, station, [](Module& m) { m.clearLam(); });
}

// ---- Timing and faults -------------------------------------------------------

void Adapter::setDonePolls(uint32_t polls) {
    std::lock_guard lock(mu_);
    s_->donePolls = polls;
}

void Adapter::setBusyPolls(uint32_t polls) {
    std::lock_guard lock(mu_);
    s_->busyPolls = polls;
}

void Adapter::setFault(Fault fault) {
    std::lock_guard lock(mu_);
    s_->fault = fault;
}

Fault Adapter::fault() const {
    std::lock_guard lock(mu_);
    return s_->fault;
}

void Adapter::setControllerCrate(std::optional<int> crate) {
    std::lock_guard lock(mu_);
    s_->controllerCrate = crate;
}

// ---- Log ---------------------------------------------------------------------

void Adapter::setLogging(bool on) {
    std::lock_guard lock(mu_);
    s_->logging = on;
}

void Adapter::clearLog() {
    std::lock_guard lock(mu_);
    s_->ring.clear();
    s_->head = 0;
}

std::vector<Access> Adapter::log() const {
    std::lock_guard lock(mu_);
    std::vector<Access> out;
    out.reserve(s_->ring.size());
    out.insert(out.end(), s_->ring.begin() + static_cast<std::ptrdiff_t>(s_->head), s_->ring.end());
    out.insert(out.end(), s_->ring.begin(), s_->ring.begin() + static_cast<std::ptrdiff_t>(s_->head));
    return out;
}

uint64_t Adapter::accessCount() const {
    std::lock_guard lock(mu_);
    return s_->count;
}

// ---- Interrupt line ----------------------------------------------------------

int Adapter::addInterruptListener(std::function<void(bool)> fn) {
    std::lock_guard lock(mu_);
    const int id = s_->nextListener++;
    s_->listeners.emplace_back(id, std::move(fn));
    return id;
}

void Adapter::removeInterruptListener(int id) {
    std::lock_guard lock(mu_);
    std::erase_if(s_->listeners, [id](const auto& l) { return l.first == id; });
}

}  // namespace kt40sim
