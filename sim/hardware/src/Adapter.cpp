#include "kt40sim/Adapter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "CrateSetup.h"

namespace kt40sim {

namespace {

// A crate as this process sees it: the image where its stations keep what
// they hold, and a module object (a view) for each station, rebuilt whenever
// the image says that another module went into the station.
struct Crate {
    CrateImage* img = nullptr;
    std::array<std::unique_ptr<Module>, kStations + 1> modules;  // [0] unused
    std::array<uint32_t, kStations + 1> built{};  // generation each view was made for
    uint32_t clocked = 0;                         // bit n: station n runs on the clock

    Module* at(int n) {
        StationImage& s = img->stations[n];
        if (s.generation != built[static_cast<size_t>(n)]) rebuild(n);
        return s.present ? modules[static_cast<size_t>(n)].get() : nullptr;
    }

    void rebuild(int n) {
        StationImage& s = img->stations[n];
        auto& m = modules[static_cast<size_t>(n)];
        built[static_cast<size_t>(n)] = s.generation;
        m.reset();
        clocked &= ~(1u << n);
        if (!s.description[0]) return;
        std::string error;
        auto made = makeModule(std::string(s.description, strnlen(s.description, sizeof s.description)), error);
        if (!made || !made->adopt(s)) return;
        m = std::move(made);
        if (m->clocked()) clocked |= 1u << n;
        img->due = 0;
    }

    // Puts a module (or nothing) into a station, moving its state into the image.
    void put(int n, std::unique_ptr<Module> module) {
        StationImage& s = img->stations[n];
        auto& m = modules[static_cast<size_t>(n)];
        clocked &= ~(1u << n);
        if (module) {
            module->moveTo(s);
            if (module->clocked()) clocked |= 1u << n;
        } else {
            const uint32_t generation = s.generation + 1;
            s = StationImage{};
            s.generation = generation;
        }
        m = std::move(module);
        built[static_cast<size_t>(n)] = s.generation;
        img->due = 0;
    }

    // The modules up to now when one of them is due (`force`: whether or
    // not), and when the next is due. A rough clock is enough to tell.
    void catchUp(bool force) {
        if (!clocked) return;
        if (!force) {
            timespec t{};
            clock_gettime(CLOCK_REALTIME_COARSE, &t);
            if (static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec < img->due) return;
        }
        advance(realTimeNs());
        img->due = nextEvent();
    }

    // Every module up to `now`; the trigger's gates go to every converter.
    void advance(int64_t now) {
        uint64_t gates = 0;
        for (uint32_t bits = clocked; bits; bits &= bits - 1)
            if (Module* m = at(std::countr_zero(bits))) gates += m->advance(now);
        if (gates)
            for (int n = 1; n <= kStations; ++n)
                if (Module* m = at(n)) m->gate(now);
    }

    int64_t nextEvent() {
        int64_t soonest = kNever;
        for (uint32_t bits = clocked; bits; bits &= bits - 1)
            if (Module* m = at(std::countr_zero(bits))) soonest = std::min(soonest, m->nextEventNs());
        return soonest;
    }

    uint32_t lamPattern() {
        uint32_t p = 0;
        if (!img->online) return 0;
        for (int n = 1; n <= kStations; ++n)
            if (Module* m = at(n); m && m->lam()) p |= 1u << (n - 1);
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
    AdapterImage* image = nullptr;
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
    int cycleCrate = 0;      // crate of the last action, either face

    uint32_t donePolls = 0;
    uint32_t busyPolls = 0;
    Fault fault = Fault::None;
    Fault laterFault = Fault::None;
    std::optional<uint64_t> faultAt;  // access count at which laterFault begins

    bool logging = true;
    std::vector<Access> ring;
    size_t head = 0;          // next slot to write once the ring is full
    uint64_t count = 0;

    bool line = false;       // ISA line, and the controller's interrupt request
    int nextListener = 1;
    std::vector<std::pair<int, std::function<void(bool)>>> listeners;

    // PCI interface chip.
    uint32_t intcsr = kBridgeIntCsrPowerUp;  // control bits as written
    bool bridgePending = false;
    bool pciLine = false;
    std::vector<std::pair<int, std::function<void(bool)>>> pciListeners;

    // Test overrides of two readouts.
    uint8_t highUpperBits = 0;
    std::optional<bool> statusQ;

    int crate() const { return csr & 3; }
    Crate& crateAt(int c) { return crates[static_cast<size_t>(c & 3)]; }

    // A fault set to come later takes effect before the access that follows
    // the given number of accesses.
    void armFault() {
        if (faultAt && count >= *faultAt) {
            fault = laterFault;
            faultAt.reset();
        }
    }

    void record(Face face, Direction dir, uint16_t offset, uint32_t value) {
        ++count;
        if (!logging) return;
        Access a{nowNs(), face, dir, offset, value};
        if (ring.size() < kLogCapacity) {
            ring.push_back(a);
        } else {
            ring[head] = a;
            head = (head + 1) % kLogCapacity;
        }
    }

    uint16_t statusWord(int crate) {
        Crate& c = crateAt(crate);
        const uint32_t lams = c.lamPattern();
        uint16_t w = static_cast<uint16_t>((lams >> 16) & 0xFF);
        if (lams) w |= 0x8000;
        if (x) w |= 0x4000;
        if (statusQ.value_or(q)) w |= 0x2000;
        if (c.img->inhibit) w |= 0x1000;
        if (c.img->online) w |= 0x0400;
        return w;
    }

    void startAction(int crate) {
        done = false;
        error = false;
        pending = true;
        doneCountdown = donePolls;
        cycleCrate = crate & 3;
    }

    void startBusy() { busyCountdown = busyPolls; }

    // One poll of the status, by a CSR read or a PCI port read: the action
    // and the busy countdown move on. Returns whether busy shows.
    bool poll() {
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
        return busy;
    }

    uint16_t readCsr() {
        const bool busy = poll();
        const int ctl = controllerCrate ? *controllerCrate & 3 : crate();
        return static_cast<uint16_t>((q ? 1 : 0) | (x ? 2 : 0) | (busy ? 4 : 0) | (done ? 0x10 : 0) |
                                     (error ? 0x20 : 0) | (crate() << 6) | ((csr & 4) ? 0x100 : 0) |
                                     (ctl << 14));
    }

    uint32_t readPort() {
        const bool busy = poll();
        const int reported = fault == Fault::WrongCrate ? (cycleCrate + 1) & 3 : cycleCrate;
        return cmdOut | (q ? kCompletionQ : 0) | (x ? kCompletionX : 0) | (busy ? kCompletionBusy : 0) |
               (pending ? kCompletionCycle : 0) | (done ? kCompletionDone : 0) | (error ? kCompletionError : 0) |
               static_cast<uint32_t>(reported) << 22;
    }

    // A write to CMD, RSEL, WDLO or WDHI; `crate` is the crate of an action.
    void writeRegister(uint16_t reg, uint16_t value, int crate) {
        switch (reg) {
        case kCmd:
            startAction(crate);
            startBusy();
            if (value & 0x8000)
                unaddressed(value, crate);
            else
                addressed(value, crate);
            break;
        case kRsel:
            startAction(crate);
            crateAt(crate).catchUp(false);
            switch (value) {
            case 1: cmdOut = static_cast<uint16_t>(((readData >> 16) & 0xFF) | highUpperBits << 8); break;
            case 2: cmdOut = static_cast<uint16_t>(crateAt(crate).lamPattern() & 0xFFFF); break;
            case 4: cmdOut = statusWord(crate); break;
            default: cmdOut = 0; break;
            }
            break;
        case kWdlo:
            wdlo = value;
            startBusy();
            break;
        case kWdhi:
            wdhi = value & 0xFF;
            startBusy();
            break;
        default:
            break;
        }
    }

    void addressed(uint16_t word, int crate) {
        const int f = word & 31;
        const int a = (word >> 5) & 15;
        const int n = (word >> 9) & 31;
        const bool wide = word & 0x4000;
        Crate& c = crateAt(crate);
        uint32_t data = 0;
        if (f >= 16 && f <= 23) data = wide ? (wdlo | (uint32_t{wdhi} & 0xFF) << 16) : wdlo;
        Response r;
        if (c.img->online && n >= 1 && n <= kStations) {
            // The modules run on the clock up to this cycle, and a trigger
            // that fires in it (F25) gates the converters at once.
            c.catchUp(false);
            if (Module* m = c.at(n)) {
                r = m->cycle(a, f, data);
                if (c.clocked & (1u << n)) c.catchUp(true);
            }
        }
        q = r.q;
        x = r.x && fault != Fault::NoX;
        if (f <= 7) {
            readData = r.x ? data & 0xFFFFFF : 0;
            cmdOut = static_cast<uint16_t>(readData & 0xFFFF);
        } else {
            cmdOut = statusWord(crate);
        }
    }

    void unaddressed(uint16_t word, int crate) {
        Crate& c = crateAt(crate);
        if (c.img->online) {
            c.catchUp(false);
            if (word & 1)
                for (int n = 1; n <= kStations; ++n)
                    if (Module* m = c.at(n)) m->clear();
            if (word & 2) {
                for (int n = 1; n <= kStations; ++n)
                    if (Module* m = c.at(n)) m->initialise();
                setInhibit(c, true);
            }
            if (word & 4) setInhibit(c, true);
            if (word & 8) setInhibit(c, false);
            c.img->due = 0;
        }
        x = q = c.img->online;
        cmdOut = statusWord(crate);
    }

    static void setInhibit(Crate& c, bool on) {
        c.img->inhibit = on;
        for (int n = 1; n <= kStations; ++n)
            if (Module* m = c.at(n)) m->setInhibit(on);
    }

    // After every change: the ISA line follows the controller's request, the
    // bridge latches the request's rising edge, the PCI line follows the latch.
    void updateLine() {
        bool now = false;
        if (csr & 4)  // the LAMs only count with the interrupt enabled
            for (auto& c : crates) now = now || c.lamPattern() != 0;
        if (now != line) {
            line = now;
            if (now) bridgePending = true;
            for (auto& l : listeners) l.second(now);
        }
        updatePciLine();
    }

    void updatePciLine() {
        const bool now = bridgePending && (intcsr & 0x41) == 0x41;
        if (now == pciLine) return;
        pciLine = now;
        for (auto& l : pciListeners) l.second(now);
    }
};

Adapter& Adapter::instance() {
    static Adapter adapter;
    return adapter;
}

namespace {

// The lock of an image. A program that died holding it leaves it to the
// next, which finds the crates as the last completed action left them.
// (On Windows the virtual adapter's crate is the process's own: no image
// is shared, and winpthreads has no robust locks.)
void lockImage(pthread_mutex_t* m) {
#ifdef _WIN32
    pthread_mutex_lock(m);
#else
    if (pthread_mutex_lock(m) == EOWNERDEAD) pthread_mutex_consistent(m);
#endif
}

void initLock(pthread_mutex_t& m, bool shared) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
#ifndef _WIN32
    if (shared) {
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    }
#else
    (void)shared;
#endif
    pthread_mutex_init(&m, &attr);
    pthread_mutexattr_destroy(&attr);
}

}  // namespace

Adapter::Guard::Guard(const Adapter& a) {
    for (;;) {
        pthread_mutex_t* m = a.lock_.load(std::memory_order_acquire);
        lockImage(m);
        if (a.lock_.load(std::memory_order_acquire) == m) {
            held_ = m;
            return;
        }
        pthread_mutex_unlock(m);
    }
}

Adapter::Guard::~Guard() { pthread_mutex_unlock(held_); }

Adapter::Adapter() : s_(std::make_unique<State>()), own_(std::make_unique<AdapterImage>()) {
    initImage(*own_, "default");
    initLock(own_->mutex, false);
    lock_.store(&own_->mutex);
    s_->image = own_.get();
    for (int c = 0; c < kCrates; ++c) s_->crates[static_cast<size_t>(c)].img = &own_->crates[c];
    reset();
    // A crate of the user's own at power-up, for the panel and the demo.
    if (const char* path = std::getenv("KT40_CRATE_FILE"); path && *path) {
        std::string error;
        if (!loadCrateFile(path, error)) std::fprintf(stderr, "kt40sim: %s; keeping the default crate\n", error.c_str());
    }
}

// ---- ISA face ----------------------------------------------------------------

uint16_t Adapter::isaRead(uint16_t offset) {
    Guard lock(*this);
    s_->armFault();
    uint16_t v = 0;
    if (s_->fault != Fault::Dead) {
        switch (offset) {
        case kCmd: v = s_->cmdOut; break;
        case kCsr: v = s_->readCsr(); break;
        default: v = 0xFFFF; break;  // write-only registers: nothing drives the bus
        }
    }
    s_->record(Face::Isa, Direction::Read, offset, v);
    return v;
}

void Adapter::isaWrite(uint16_t offset, uint16_t value) {
    Guard lock(*this);
    s_->armFault();
    s_->record(Face::Isa, Direction::Write, offset, value);
    if (s_->fault == Fault::Dead) return;
    State& s = *s_;
    switch (offset) {
    case kCmd:
    case kRsel:
    case kWdlo:
    case kWdhi:
        s.writeRegister(offset, value, s.crate());
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
    Guard lock(*this);
    return s_->line;
}

// ---- PCI face ----------------------------------------------------------------

uint32_t Adapter::pciRead(uint32_t offset) {
    if (offset >= kControllerIoLength) return 0xFFFFFFFF;
    Guard lock(*this);
    s_->armFault();
    uint32_t v = 0;
    if (s_->fault != Fault::Dead && offset == kControllerPort) v = s_->readPort();
    s_->record(Face::Pci, Direction::Read, static_cast<uint16_t>(offset), v);
    return v;
}

void Adapter::pciWrite(uint32_t offset, uint32_t value) {
    if (offset >= kControllerIoLength) return;
    Guard lock(*this);
    s_->armFault();
    s_->record(Face::Pci, Direction::Write, static_cast<uint16_t>(offset), value);
    if (s_->fault == Fault::Dead || offset != kControllerPort) return;
    // Targets 0-3 are CMD, RSEL, WDLO and WDHI at ISA offsets 0, 2, 4, 6.
    const auto reg = static_cast<uint16_t>(((value >> 16) & 3) * 2);
    s_->writeRegister(reg, static_cast<uint16_t>(value & 0xFFFF), static_cast<int>((value >> 18) & 3));
    s_->updateLine();
}

uint32_t Adapter::bridgeRead(uint32_t offset) {
    if (offset >= kBridgeIoLength) return 0xFFFFFFFF;
    Guard lock(*this);
    s_->armFault();
    uint32_t v = 0;
    if (s_->fault != Fault::Dead && offset == kBridgeIntCsr)
        v = s_->intcsr | (s_->bridgePending ? kBridgeIntPending : 0);
    s_->record(Face::Bridge, Direction::Read, static_cast<uint16_t>(offset), v);
    return v;
}

void Adapter::bridgeWrite(uint32_t offset, uint32_t value) {
    if (offset >= kBridgeIoLength) return;
    Guard lock(*this);
    s_->armFault();
    s_->record(Face::Bridge, Direction::Write, static_cast<uint16_t>(offset), value);
    if (s_->fault == Fault::Dead || offset != kBridgeIntCsr) return;
    s_->intcsr = value & 0x3DB;  // bits 0-1, 3-4, 6-9
    if (value & kBridgeIntClear) s_->bridgePending = false;
    s_->updatePciLine();
}

uint32_t Adapter::pciConfigRead(uint32_t offset) const {
    if (offset >= 256) return 0xFFFFFFFF;
    uint32_t v = 0;
    switch (offset & ~3u) {
    case 0x00:
    case 0x2C: v = kPciVendorId | uint32_t{kPciDeviceId} << 16; break;
    case 0x04: v = 0x02000001; break;
    case 0x08: v = 0x11800001; break;
    case 0x14: v = kBridgeIoBase | 1; break;
    case 0x1C: v = kControllerIoBase | 1; break;
    case 0x3C: v = kPciInterruptLine | kPciInterruptPin << 8; break;
    default: break;
    }
    return v >> (8 * (offset & 3));
}

PciResources Adapter::pciResources() const { return PciResources{}; }

bool Adapter::pciInterruptLine() const {
    Guard lock(*this);
    return s_->pciLine;
}

void Adapter::raisePciInterrupt() {
    Guard lock(*this);
    s_->bridgePending = true;
    s_->updatePciLine();
}

// ---- Crates ------------------------------------------------------------------

void Adapter::reset() {
    std::string error;
    CrateSetup setup;
    parseCrates(defaultCrateText(), setup, error);
    Guard lock(*this);
    // Power-up: the crates of the process alone, whatever image was in use.
    const bool leave = s_->image != own_.get();
    if (leave) {
        lockImage(&own_->mutex);
        use(*own_);
    }
    auto listeners = std::move(s_->listeners);
    auto pciListeners = std::move(s_->pciListeners);
    const int nextListener = s_->nextListener;
    const bool line = s_->line;
    const bool pciLine = s_->pciLine;
    s_ = std::make_unique<State>();
    s_->listeners = std::move(listeners);
    s_->pciListeners = std::move(pciListeners);
    s_->nextListener = nextListener;
    s_->line = line;
    s_->pciLine = pciLine;
    s_->image = own_.get();
    for (int c = 0; c < kCrates; ++c) s_->crates[static_cast<size_t>(c)].img = &own_->crates[c];
    s_->ring.reserve(4096);
    apply(setup);
    if (leave) pthread_mutex_unlock(&own_->mutex);
}

void Adapter::clearCrates() {
    Guard lock(*this);
    for (auto& c : s_->crates) {
        c.img->online = 0;
        c.img->inhibit = 0;
        for (int n = 1; n <= kStations; ++n) c.put(n, nullptr);
    }
    s_->updateLine();
}

bool Adapter::loadCrates(const std::string& text, std::string& error) {
    CrateSetup setup;
    if (!parseCrates(text, setup, error)) return false;
    Guard lock(*this);
    apply(setup);
    return true;
}

void Adapter::apply(CrateSetup& setup) {
    for (int c = 0; c < kCrates; ++c) {
        Crate& crate = s_->crates[static_cast<size_t>(c)];
        crate.img->online = setup.online[c];
        crate.img->inhibit = setup.inhibit[c];
        for (int n = 1; n <= kStations; ++n) crate.put(n, nullptr);
    }
    for (auto& [c, n, m] : setup.modules) {
        m->setInhibit(setup.inhibit[c]);
        s_->crates[static_cast<size_t>(c)].put(n, std::move(m));
    }
    s_->updateLine();
}

std::string Adapter::saveState(const std::string& source) {
    Guard lock(*this);
    CrateView view[kCrates];
    for (int c = 0; c < kCrates; ++c) {
        Crate& crate = s_->crates[static_cast<size_t>(c)];
        view[c].online = crate.img->online;
        view[c].inhibit = crate.img->inhibit;
        for (int n = 1; n <= kStations; ++n) view[c].stations[n] = crate.at(n);
    }
    return writeState(view, source);
}

bool Adapter::loadState(const std::string& text, const std::string& source, std::string& error) {
    CrateSetup setup;
    if (!parseState(text, source, setup, error)) return false;
    Guard lock(*this);
    apply(setup);
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
    Guard lock(*this);
    s_->crates[static_cast<size_t>(crate)].img->online = online;
    s_->updateLine();
}

bool Adapter::crateOnline(int crate) const {
    if (crate < 0 || crate >= kCrates) return false;
    Guard lock(*this);
    return s_->crates[static_cast<size_t>(crate)].img->online;
}

void Adapter::install(int crate, int station, std::unique_ptr<Module> module) {
    if (!validStation(crate, station)) return;
    Guard lock(*this);
    auto& c = s_->crates[static_cast<size_t>(crate)];
    if (module) module->setInhibit(c.img->inhibit);
    c.put(station, std::move(module));
    s_->updateLine();
}

bool Adapter::withModule(int crate, int station, const std::function<void(Module&)>& fn) {
    if (!validStation(crate, station)) return false;
    Guard lock(*this);
    Crate& c = s_->crates[static_cast<size_t>(crate)];
    Module* m = c.at(station);
    if (!m) return false;
    fn(*m);
    if (c.clocked & (1u << station)) c.catchUp(true);
    s_->updateLine();
    return true;
}

std::string Adapter::moduleKind(int crate, int station) const {
    if (!validStation(crate, station)) return {};
    Guard lock(*this);
    const Module* m = s_->crates[static_cast<size_t>(crate)].at(station);
    return m ? m->kind() : std::string{};
}

bool Adapter::inhibit(int crate) const {
    if (crate < 0 || crate >= kCrates) return false;
    Guard lock(*this);
    return s_->crates[static_cast<size_t>(crate)].img->inhibit;
}

uint32_t Adapter::lamPattern(int crate) const {
    if (crate < 0 || crate >= kCrates) return 0;
    Guard lock(*this);
    Crate& c = s_->crates[static_cast<size_t>(crate)];
    c.catchUp(false);
    return c.lamPattern();
}

void Adapter::raiseLam(int crate, int station) {
    withModule(crate, station, [](Module& m) { m.raiseLam(); });
}

void Adapter::clearLam(int crate, int station) {
    withModule(crate, station, [](Module& m) { m.clearLam(); });
}

// ---- The bench -----------------------------------------------------------------

int Adapter::gate(int crate) {
    if (crate < 0 || crate >= kCrates) return 0;
    Guard lock(*this);
    Crate& c = s_->crates[static_cast<size_t>(crate)];
    c.catchUp(true);
    const int64_t now = realTimeNs();
    int took = 0;
    for (int n = 1; n <= kStations; ++n)
        if (Module* m = c.at(n)) took += m->gate(now) ? 1 : 0;
    s_->updateLine();
    return took;
}

bool Adapter::setInputs(int crate, int station, uint32_t bits) {
    bool done = false;
    withModule(crate, station, [&](Module& m) { done = m.setInputs(bits); });
    return done;
}

bool Adapter::setTrigger(int crate, int station, double rate, bool run) {
    bool done = false;
    withModule(crate, station, [&](Module& m) {
        if (auto* t = dynamic_cast<Trigger*>(&m)) {
            t->setRate(rate > 0 ? rate : t->image().rate, run, realTimeNs());
            done = true;
        }
    });
    return done;
}

bool Adapter::unplug(int crate, int station) {
    if (!validStation(crate, station)) return false;
    Guard lock(*this);
    Crate& c = s_->crates[static_cast<size_t>(crate)];
    if (!c.at(station)) return false;
    c.img->stations[station].present = 0;
    s_->updateLine();
    return true;
}

bool Adapter::plug(int crate, int station) {
    if (!validStation(crate, station)) return false;
    Guard lock(*this);
    Crate& c = s_->crates[static_cast<size_t>(crate)];
    StationImage& slot = c.img->stations[station];
    if (slot.present || !slot.description[0]) return false;
    slot.present = 1;
    Module* m = c.at(station);
    if (!m) {
        slot.present = 0;
        return false;
    }
    // A module just plugged in: power-up state, counting from now.
    m->initialise();
    m->setInhibit(c.img->inhibit);
    slot.clockNs = realTimeNs();
    c.img->due = 0;
    s_->updateLine();
    return true;
}

// ---- Time ----------------------------------------------------------------------

void Adapter::tick() {
    Guard lock(*this);
    for (auto& c : s_->crates) c.catchUp(true);
    s_->updateLine();
}

int64_t Adapter::nextEventNs() const {
    Guard lock(*this);
    int64_t soonest = kNever;
    for (auto& c : s_->crates) soonest = std::min(soonest, c.nextEvent());
    return soonest;
}

// ---- Images --------------------------------------------------------------------

void Adapter::initImage(AdapterImage& image, const std::string& source) {
    std::memset(static_cast<void*>(&image), 0, sizeof image);
    image.version = kImageVersion;
    image.size = sizeof image;
    std::memcpy(image.source, source.data(), std::min(source.size(), sizeof image.source - 1));
    initLock(image.mutex, true);
    std::memcpy(image.magic, kImageMagic, sizeof image.magic);
}

void Adapter::resetImageLock(AdapterImage& image) { initLock(image.mutex, true); }

ImageProblem Adapter::checkImage(const AdapterImage& image, size_t size, const std::string& source, std::string& why) {
    if (size != sizeof image || std::memcmp(image.magic, kImageMagic, sizeof image.magic) != 0 ||
        image.version != kImageVersion || image.size != sizeof image) {
        why = "not a crate image of this version";
        return ImageProblem::Damaged;
    }
    if (strnlen(image.source, sizeof image.source) == sizeof image.source) {
        why = "the name of its crate description is cut";
        return ImageProblem::Damaged;
    }
    for (int c = 0; c < kCrates; ++c) {
        const CrateImage& crate = image.crates[c];
        if (crate.online > 1 || crate.inhibit > 1) {
            why = "crate " + std::to_string(c) + " is neither on- nor off-line";
            return ImageProblem::Damaged;
        }
        for (int n = 1; n <= kStations; ++n) {
            const StationImage& s = crate.stations[n];
            const std::string where = "crate " + std::to_string(c) + " station " + std::to_string(n);
            const size_t length = strnlen(s.description, sizeof s.description);
            if (length == sizeof s.description || s.present > 1 || (s.present && !length)) {
                why = where + ": no sound module";
                return ImageProblem::Damaged;
            }
            if (!length) continue;
            std::string error;
            auto m = makeModule(std::string(s.description, length), error);
            if (!m) {
                why = where + ": " + error;
                return ImageProblem::Damaged;
            }
            if (!m->imageFits(s)) {
                why = where + ": what the " + m->kind() + " holds does not fit it";
                return ImageProblem::Damaged;
            }
        }
    }
    if (source != image.source) {
        why = std::string("the crate was made from '") + image.source + "', not from '" + source + "'";
        return ImageProblem::OtherSource;
    }
    return ImageProblem::None;
}

void Adapter::use(AdapterImage& image) {
    s_->image = &image;
    for (int c = 0; c < kCrates; ++c) {
        Crate& crate = s_->crates[static_cast<size_t>(c)];
        crate.img = &image.crates[c];
        for (int n = 1; n <= kStations; ++n) crate.rebuild(n);
    }
    lock_.store(&image.mutex, std::memory_order_release);
}

void Adapter::attachImage(AdapterImage& image, bool take) {
    Guard lock(*this);
    if (s_->image == &image) return;
    lockImage(&image.mutex);
    if (take) {
        // Fresh: the crates as they are now go into the image.
        for (int c = 0; c < kCrates; ++c) image.crates[c] = s_->image->crates[c];
    }
    use(image);
    s_->updateLine();
    pthread_mutex_unlock(&image.mutex);
}

void Adapter::detachImage(AdapterImage& image) {
    // The process's own lock before the image's, in the order attachImage
    // takes them (from the own crate to an image), so that the two never
    // wait on each other.
    lockImage(&own_->mutex);
    // Nothing attached: the own lock is the adapter's, and held here. (It
    // cannot become the adapter's lock meanwhile: that takes the own lock.)
    if (lock_.load(std::memory_order_acquire) == &own_->mutex) {
        pthread_mutex_unlock(&own_->mutex);
        return;
    }
    {
        Guard lock(*this);
        if (s_->image == &image) {
            for (int c = 0; c < kCrates; ++c) own_->crates[c] = image.crates[c];
            use(*own_);
        }
    }
    pthread_mutex_unlock(&own_->mutex);
}

bool Adapter::usesImage(const AdapterImage& image) const {
    Guard lock(*this);
    return s_->image == &image;
}

// ---- Timing and faults -------------------------------------------------------

void Adapter::setDonePolls(uint32_t polls) {
    Guard lock(*this);
    s_->donePolls = polls;
}

void Adapter::setBusyPolls(uint32_t polls) {
    Guard lock(*this);
    s_->busyPolls = polls;
}

void Adapter::setFault(Fault fault) {
    Guard lock(*this);
    s_->fault = fault;
    s_->faultAt.reset();
}

void Adapter::setFaultAfter(uint64_t accesses, Fault fault) {
    Guard lock(*this);
    s_->laterFault = fault;
    s_->faultAt = s_->count + accesses;
}

Fault Adapter::fault() const {
    Guard lock(*this);
    return s_->fault;
}

void Adapter::setControllerCrate(std::optional<int> crate) {
    Guard lock(*this);
    s_->controllerCrate = crate;
}

void Adapter::setHighReadoutUpperBits(uint8_t bits) {
    Guard lock(*this);
    s_->highUpperBits = bits;
}

void Adapter::setStatusWordQ(std::optional<bool> q) {
    Guard lock(*this);
    s_->statusQ = q;
}

// ---- Log ---------------------------------------------------------------------

void Adapter::setLogging(bool on) {
    Guard lock(*this);
    s_->logging = on;
}

void Adapter::clearLog() {
    Guard lock(*this);
    s_->ring.clear();
    s_->head = 0;
}

std::vector<Access> Adapter::log() const {
    Guard lock(*this);
    std::vector<Access> out;
    out.reserve(s_->ring.size());
    out.insert(out.end(), s_->ring.begin() + static_cast<std::ptrdiff_t>(s_->head), s_->ring.end());
    out.insert(out.end(), s_->ring.begin(), s_->ring.begin() + static_cast<std::ptrdiff_t>(s_->head));
    return out;
}

uint64_t Adapter::accessCount() const {
    Guard lock(*this);
    return s_->count;
}

// ---- Interrupt line ----------------------------------------------------------

int Adapter::addInterruptListener(std::function<void(bool)> fn) {
    Guard lock(*this);
    const int id = s_->nextListener++;
    s_->listeners.emplace_back(id, std::move(fn));
    return id;
}

void Adapter::removeInterruptListener(int id) {
    Guard lock(*this);
    std::erase_if(s_->listeners, [id](const auto& l) { return l.first == id; });
}

int Adapter::addPciInterruptListener(std::function<void(bool)> fn) {
    Guard lock(*this);
    const int id = s_->nextListener++;
    s_->pciListeners.emplace_back(id, std::move(fn));
    return id;
}

void Adapter::removePciInterruptListener(int id) {
    Guard lock(*this);
    std::erase_if(s_->pciListeners, [id](const auto& l) { return l.first == id; });
}

}  // namespace kt40sim
