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
//
// PCI face: the same controller, crates and modules, reached through a PCI
// interface chip. Configuration space (read-only, as the firmware left it):
//   0x00 vendor 0x4B54, device 0x0040 (IDs of the virtual adapter, not
//        registered ones); 0x04 command 0x0001 (I/O space on), status 0x0200;
//   0x08 class 0x118000 (data acquisition, other), revision 1;
//   0x10 BAR0 0 (not implemented); 0x14 BAR1 the bridge I/O block at 0xE000,
//   128 bytes; 0x18 BAR2 0 (not implemented); 0x1C BAR3 the controller I/O
//   block at 0xE400, 16 bytes; 0x2C subsystem the same IDs; 0x3C interrupt
//   line 11, pin 1 (INTA#). Every other offset below 256 reads 0, offsets
//   from 256 read 0xFFFFFFFF. Reads at an offset that is not a multiple of 4
//   give the dword that holds it shifted down, as a narrower read would.
// Controller I/O block (BAR3), offset 0: the 32-bit register port.
//   write (access word): 0-15 value; 16-17 target 0 CMD, 1 RSEL, 2 WDLO,
//        3 WDHI, acting as the ISA registers do; 18-19 crate of a CMD or RSEL
//        action (the CSR selection does not change; WDLO and WDHI are the
//        controller's own and take no crate); 20-31 ignored.
//   read (completion word): 0-15 CMD contents; 16 Q; 17 X; 18 busy (taking in
//        the last write, as CSR bit 2); 19 cycle in progress (an action waits
//        for done or the error bit); 20 done; 21 error; 22-23 crate of the last
//        action (from either face); 24-31 0.
//   Each read of the port is a poll, like a CSR read: setDonePolls and
//   setBusyPolls count both. Offsets 4-15 read 0 and ignore writes.
// Bridge I/O block (BAR1), 128 bytes: the interrupt control and status
//   register at 0x4C. Bit 2 (read-only) is the pending interrupt, latched on
//   each rising edge of the controller's interrupt request (the ISA line's
//   condition) or by raisePciInterrupt(); a write with bit 10 set (the
//   acknowledge value 0x543) clears it. Bits 0-1, 3-4 and 6-9 read back as
//   written (power-up 0x0143); bits 0 (local input enable) and 6 (PCI
//   interrupt enable) must both be set for the PCI line to follow the pending
//   bit. Other offsets of the block read 0 and ignore writes.
// PCI interrupt line: level-triggered, high while the bridge's interrupt is
//   pending and enabled, separate from the ISA line.
// Accesses outside a block are not decoded: reads give 0xFFFFFFFF, writes are
// lost, and neither is logged or counted. Configuration reads are not logged.
#pragma once

#include <pthread.h>

#include <atomic>
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

// PCI face.
inline constexpr uint16_t kPciVendorId = 0x4B54;
inline constexpr uint16_t kPciDeviceId = 0x0040;
inline constexpr uint32_t kBridgeIoBase = 0xE000;       // BAR1
inline constexpr uint32_t kBridgeIoLength = 128;
inline constexpr uint32_t kControllerIoBase = 0xE400;   // BAR3
inline constexpr uint32_t kControllerIoLength = 16;
inline constexpr uint32_t kControllerPort = 0;          // offset in the controller block
inline constexpr uint32_t kBridgeIntCsr = 0x4C;         // offset in the bridge block
inline constexpr uint32_t kBridgeIntPending = 1u << 2;
inline constexpr uint32_t kBridgeIntClear = 1u << 10;
inline constexpr uint32_t kBridgeAcknowledge = 0x543;
inline constexpr uint32_t kBridgeIntCsrPowerUp = 0x0143;
inline constexpr uint32_t kPciInterruptLine = 11;
inline constexpr uint32_t kPciInterruptPin = 1;        // INTA#

// Access word targets (bits 16-17) and completion word bits.
enum PciTarget : uint32_t { kTargetCmd = 0, kTargetRsel = 1, kTargetWdlo = 2, kTargetWdhi = 3 };
inline constexpr uint32_t kCompletionQ = 1u << 16;
inline constexpr uint32_t kCompletionX = 1u << 17;
inline constexpr uint32_t kCompletionBusy = 1u << 18;
inline constexpr uint32_t kCompletionCycle = 1u << 19;
inline constexpr uint32_t kCompletionDone = 1u << 20;
inline constexpr uint32_t kCompletionError = 1u << 21;

constexpr uint32_t accessWord(uint32_t target, int crate, uint16_t value) {
    return value | (target & 3) << 16 | (static_cast<uint32_t>(crate) & 3) << 18;
}

// What a Plug and Play start hands the driver: the two I/O blocks and the
// interrupt, raw (bus-relative) and translated (as the system sees it).
struct PciResources {
    uint32_t bridgeBase = kBridgeIoBase;
    uint32_t bridgeLength = kBridgeIoLength;
    uint32_t controllerBase = kControllerIoBase;
    uint32_t controllerLength = kControllerIoLength;
    uint32_t rawLevel = kPciInterruptLine;      // raw: level and vector are the IRQ
    uint32_t rawVector = kPciInterruptLine;
    uint32_t vector = 0x30 + kPciInterruptLine; // translated system vector
    uint32_t level = 27 - kPciInterruptLine;    // translated device IRQL
    uint64_t affinity = 1;
    bool levelSensitive = true;
    bool shared = true;
};

inline constexpr int kCrates = 4;
inline constexpr int kStations = 24;

enum class Fault {
    None,
    DoneNever,  // actions never complete: done stays clear
    ErrorBit,   // actions end with the error bit instead of done
    BusyStuck,  // the busy bit never clears
    Dead,       // the adapter answers nothing: reads give 0, writes are lost
                // (both I/O blocks of the PCI face too; configuration space
                // still answers)
    WrongCrate, // the PCI completion word reports another crate than the
                // action's (the cycle itself reaches the right crate)
    NoX,        // addressed commands complete without X on both faces; the
                // modules still act and deliver data and Q
};

enum class Direction : uint8_t { Read, Write };
enum class Face : uint8_t { Isa, Pci, Bridge };  // Pci: the controller I/O block

// One register access as the adapter saw it.
struct Access {
    uint64_t ns;       // steady clock, nanoseconds
    Face face;
    Direction dir;
    uint16_t offset;   // register offset from the port or block base
    uint32_t value;

    bool operator==(const Access& o) const {
        return face == o.face && dir == o.dir && offset == o.offset && value == o.value;
    }
};

struct CrateSetup;

// The crates as they are kept: plain data that can live in a memory-mapped
// file, so that every completed action is in the file the moment it is done
// and the bench of another program can act on the same crates. The lock
// serves every program that maps the file (robust: a program killed while
// holding it does not block the others).
struct CrateImage {
    uint8_t online;
    uint8_t inhibit;
    uint8_t spare[6];
    int64_t due;             // real time by which a module next changes by
                             // itself (0: look at the next access)
    StationImage stations[kStations + 1];  // [0] unused
};

inline constexpr char kImageMagic[16] = "kt40-crate-img";
inline constexpr uint32_t kImageVersion = 1;

struct AdapterImage {
    char magic[16];          // kImageMagic, written last when the image is made
    uint32_t version;        // kImageVersion
    uint32_t size;           // sizeof(AdapterImage)
    char source[512];        // the crate description the crates were made from
    pthread_mutex_t mutex;
    CrateImage crates[kCrates];
};

// Why a kept image cannot be taken as the user's crate.
enum class ImageProblem {
    None,
    Damaged,      // not an image of this format, cut short, or values out of range
    OtherSource,  // a sound image of the crate made from another description
};

class Adapter {
public:
    static Adapter& instance();

    // ---- ISA face --------------------------------------------------------
    uint16_t isaRead(uint16_t offset);
    void isaWrite(uint16_t offset, uint16_t value);
    bool interruptLine() const;

    // ---- PCI face --------------------------------------------------------
    uint32_t pciRead(uint32_t offset);                   // controller I/O block
    void pciWrite(uint32_t offset, uint32_t value);
    uint32_t bridgeRead(uint32_t offset);                // bridge I/O block
    void bridgeWrite(uint32_t offset, uint32_t value);
    uint32_t pciConfigRead(uint32_t offset) const;
    PciResources pciResources() const;
    bool pciInterruptLine() const;
    // Latches the bridge's pending interrupt as a rising edge of the
    // controller's request would.
    void raisePciInterrupt();

    // ---- Crates and modules ---------------------------------------------
    // Power-up state: the default crate description, no faults, no delays,
    // an empty log with logging on, CSR 0, no PCI interrupt pending, the
    // bridge register at 0x0143. Interrupt listeners of both lines stay.
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
    bool crateOnline(int crate) const;
    uint32_t lamPattern(int crate) const;  // bit k = station k+1
    void raiseLam(int crate, int station);
    void clearLam(int crate, int station);

    // ---- The bench: what happens to the crate from outside ----------------
    // A gate or common start to every ADC and TDC of the crate; returns how
    // many took it.
    int gate(int crate);
    // Sets the inputs of an input register; false when the station holds none.
    bool setInputs(int crate, int station, uint32_t bits);
    // Starts (run) or stops the trigger in a station, at `rate` a second
    // (0: at the rate it has); false when the station holds none.
    bool setTrigger(int crate, int station, double rate, bool run);
    // Takes the module out of its station (the station answers nothing) and
    // puts it back, at power-up as a module just plugged in is. False when the
    // station never held a module, or plug finds one in place.
    bool unplug(int crate, int station);
    bool plug(int crate, int station);

    // ---- Time --------------------------------------------------------------
    // Brings every module up to now (counts, triggers, overflow LAMs) and
    // updates the interrupt lines.
    void tick();
    // Real time (realTimeNs) at which a module next changes by itself; kNever.
    int64_t nextEventNs() const;

    // ---- The crates in an image --------------------------------------------
    // Makes `image` a fresh image with the crates now in the adapter ("take")
    // or the adapter's crates those of a kept image (checked first with
    // checkImage). From then on the crates live in the image. Either way the
    // adapter's registers stay as they are.
    static void initImage(AdapterImage& image, const std::string& source);
    // A fresh lock in the image, for one left taken by a program of before
    // a restart of the machine.
    static void resetImageLock(AdapterImage& image);
    static ImageProblem checkImage(const AdapterImage& image, size_t size, const std::string& source,
                                   std::string& why);
    void attachImage(AdapterImage& image, bool take);
    // Copies the crates out of `image` into memory of the process and lets
    // the image go (nothing when another image, or none, is in use).
    void detachImage(AdapterImage& image);
    bool usesImage(const AdapterImage& image) const;

    // ---- Keeping the crate between programs ------------------------------
    // The crates as a state: modules, what they hold, their LAMs, the
    // inhibits. `source` names the crate description they were made from.
    std::string saveState(const std::string& source);
    // Replaces the crates with a state written by saveState for the same
    // source. On error nothing changes and `error` says "LINE: why".
    bool loadState(const std::string& text, const std::string& source, std::string& error);

    // ---- Timing and faults ----------------------------------------------
    // CSR reads that go by before done (or the error bit) shows after an
    // action, and before busy clears after a write. Default 0: at once.
    void setDonePolls(uint32_t polls);
    void setBusyPolls(uint32_t polls);
    void setFault(Fault fault);
    // The fault begins after `accesses` more register accesses (on any face):
    // the first `accesses` go as they would, the rest see the fault. Lets a
    // test fail the second wait of one action. setFault cancels it.
    void setFaultAfter(uint64_t accesses, Fault fault);
    Fault fault() const;
    // Overrides CSR bits 14-15 (nullopt: they follow the selected crate).
    // The PCI completion word is not affected (see Fault::WrongCrate).
    void setControllerCrate(std::optional<int> crate);

    // ---- Readouts a library must not trust (tests) -------------------------
    // Bits 8-15 of the high-byte readout (RSEL 1), which the bus leaves
    // undriven: 0 at power-up; a reader must take bits 0-7 alone.
    void setHighReadoutUpperBits(uint8_t bits);
    // Overrides Q (bit 13) of the status word, which then differs from the Q
    // in CSR; nullopt: the status word carries the Q of the cycle.
    void setStatusWordQ(std::optional<bool> q);

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
    // The same for the PCI interrupt line.
    int addPciInterruptListener(std::function<void(bool)> fn);
    void removePciInterruptListener(int id);

private:
    Adapter();
    void apply(CrateSetup& setup);  // with the lock held
    void use(AdapterImage& image);  // with the lock of both images held

    // Takes the lock of the image in use; when the image changes while it
    // waits, takes the new one instead.
    class Guard {
    public:
        explicit Guard(const Adapter& a);
        ~Guard();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        pthread_mutex_t* held_;
    };

    struct State;
    std::unique_ptr<State> s_;
    std::unique_ptr<AdapterImage> own_;          // the crates when no file holds them
    mutable std::atomic<pthread_mutex_t*> lock_;
};

}  // namespace kt40sim
