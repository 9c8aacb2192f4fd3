// The virtual KT40 crate-controller adapter and the CAMAC crates behind it.
//
// One instance per process (Adapter::instance()), shared by the library, the
// driver stand-ins and the tests. Every public member is thread-safe.
//
// ISA face: five 16-bit registers at 0x150, the interrupt line 3.
//   CMD  +0  write: command word; read: data low / selected readout / status word
//   RSEL +2  write: 1 = high data byte, 2 = LAM pattern of stations 1-16, 4 = status word
//   WDLO +4  write: data bits 0-15
//   WDHI +6  write: data bits 16-23 in bits 0-7
//   CSR  +8  write: bits 0-1 crate, bit 2 LAM interrupt enable
//            read: 0 Q, 1 X, 2 busy, 4 done, 5 error, 6-7 crate, 8 enable,
//                  14-15 crate of the controller (the same as bits 6-7 unless
//                  a test overrides it)
// Status word (CMD after control, write and unaddressed commands, RSEL 4):
//   15 L, 14 X, 13 Q, 12 I, 11 always 0, 10 crate on-line, 0-7 LAMs of stations 17-24.
//
// Crates 0-3 of 24 stations. A crate that is not on-line answers every cycle
// with X = 0 and Q = 0. Z initialises every module and sets the inhibit, as
// dataway controllers do; C clears the modules; the inhibit stops counting.
// The interrupt line is high while any on-line crate has a LAM and the CSR
// enable bit is set.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kt40sim/Module.h"

namespace kt40sim {

inline constexpr uint16_t kIsaPortBase = 0x150;
inline constexpr uint16_t kIsaPortLength = 10;
inline constexpr uint32_t kIsaInterruptLine = 3;

enum IsaRegister : uint16_t { kCmd = 0, kRsel = 2, kWdlo = 4, kWdhi = 6, kCsr = 8 };

inline constexpr int kCrates = 4;
inline constexpr int kStations = 24;

enum class Fault {
    None,
    DoneNever,  // actions never complete: done stays clear
    ErrorBit,   // actions end with the error bit instead of done
    BusyStuck,  // the busy bit never clears
    Dead,       // the adapter answers nothing: reads give 0, writes are lost
};

enum class Direction : uint8_t { Read, Write };
enum class Face : uint8_t { Isa, Pci };

// One register access as the adapter saw it.
struct Access {
    uint64_t ns;       // steady clock, nanoseconds
    Face face;
    Direction dir;
    uint16_t offset;   // register offset from the port base
    uint32_t value;

    bool operator==(const Access& o) const {
        return face == o.face && dir == o.dir && offset == o.offset && value == o.value;
    }
};

class Adapter {
public:
    static Adapter& instance();

    // ---- ISA face --------------------------------------------------------
    uint16_t isaRead(uint16_t offset);
    void isaWrite(uint16_t offset, uint16_t value);
    bool interruptLine() const;

    // ---- Crates and modules ---------------------------------------------
    // Power-up state: the default crate description, no faults, no delays,
    // an empty log with logging on, CSR 0. Interrupt listeners stay.
    void reset();
    // Takes every module out and marks every crate off-line.
    void clearCrates();
    // Replaces the crates with a description (see crates/default.crate for
    // the format). On error nothing changes and `error` says where and why.
    bool loadCrates(const std::string& text, std::string& error);
    bool loadCrateFile(const std::string& path, std::string& error);
    static const std::string& defaultCrateText();

    void setCrateOnline(int crate, bool online);
    void install(int crate, int station, std::unique_ptr<Module> module);
    // Runs `fn` on the module of a station under the adapter's lock; returns
    // false when the station is empty.
    bool withModule(int crate, int station, const std::function<void(Module&)>& fn);
    std::string moduleKind(int crate, int station) const;  // "" when empty

    bool inhibit(int crate) const;
    uint32_t lamPattern(int crate) const;  // bit k = station k+1
    void raiseLam(int crate, int station);
    void clearLam(int crate, int station);

    // ---- Timing and faults ----------------------------------------------
    // CSR reads that go by before done (or the error bit) shows after an
    // action, and before busy clears after a write. Default 0: at once.
    void setDonePolls(uint32_t polls);
    void setBusyPolls(uint32_t polls);
    void setFault(Fault fault);
    Fault fault() const;
    // Overrides CSR bits 14-15 (nullopt: they follow the selected crate).
    void setControllerCrate(std::optional<int> crate);

    // ---- Access log ------------------------------------------------------
    // Every register access in order. The log keeps the newest kLogCapacity
    // entries so that a long run cannot exhaust memory.
    static constexpr size_t kLogCapacity = 1u << 20;
    void setLogging(bool on);
    void clearLog();
    std::vector<Access> log() const;
    uint64_t accessCount() const;  // every access since reset, logged or not

    // ---- Interrupt line --------------------------------------------------
    // `fn` is called with the new level whenever the ISA interrupt line
    // changes, with the adapter's lock held: it must be brief and must not
    // call into the adapter.
    int addInterruptListener(std::function<void(bool)> fn);
    void removeInterruptListener(int id);

private:
    Adapter();
    struct State;
    std::unique_ptr<State> s_;
    mutable std::mutex mu_;
};

}  // namespace kt40sim
