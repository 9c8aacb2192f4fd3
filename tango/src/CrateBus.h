// The core of CamacDS: the KT40 adapter as the device server uses it, without
// TANGO. Every CAMAC action of the process goes through the one Bus, which
// serialises the library's calls with the reading of its status record, so
// that what a crate reports is what its own action left.
//
// LAMs: once the adapter is open the bus links a LAM handler. On each LAM
// interrupt it reads the LAM pattern of every crate, acknowledges each
// requesting station with F10 (clear LAM), masks with F24 a station whose LAM
// stays set after F10 (so that one module cannot hold the interrupt line high
// for ever), and hands the pattern, with a per-crate sequence number, to the
// listeners of that crate.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "camac.h"

namespace camacds {

inline constexpr int kCrates = 4;
inline constexpr int kStations = 24;
inline constexpr int kMaxBlockCount = 65536;
inline constexpr int kMaxListActions = 4096;

// Bad input: nothing was sent to the adapter.
class ArgumentError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// An adapter wait failed (CamacStatus.error says which); the text names the
// action and the wait in words.
class AdapterError : public std::runtime_error {
public:
    AdapterError(const std::string& what, uint16_t error) : std::runtime_error(what), error_(error) {}
    uint16_t error() const { return error_; }

private:
    uint16_t error_;
};

// The failed wait in words.
std::string errorText(uint16_t error);

// One addressed action. `data` is sent for F 16-23 and is 0 otherwise.
struct Action {
    int n = 0;
    int a = 0;
    int f = 0;
    int32_t data = 0;
    bool wide = false;  // 24-bit transfer
};

struct Result {
    int32_t data = 0;  // the word read (F 0-7), else 0
    bool q = false;
    bool x = false;
};

// Count mode makes `count` actions whatever Q says; CountQ likewise, and
// hands back each word's Q as well.
enum class BlockMode { QStop, QRepeat, Count, CountQ };

struct BlockRequest {
    Action action;       // N, A, F and width; data unused
    BlockMode mode = BlockMode::QStop;
    int count = 0;       // words requested
    std::vector<int32_t> data;  // the words to write (F 16-23), `count` of them
};

// ---- Argument parsing: each throws ArgumentError naming the bad value and
// its range, in the words of the other faces (kt40, the Python package):
// station N 1-24, subaddress A 0-15, function F 0-31; data only with the
// write functions F16-F23 (where a data slot must be filled for a read, as
// before the width, it holds 0).

bool isRead(int f);
bool isWrite(int f);

// [N, A, F] or [N, A, F, data] or [N, A, F, data, bits] with bits 16 or 24.
Action parseCnaf(const std::vector<int32_t>& in);
// Actions of five words each: [N, A, F, data, bits].
std::vector<Action> parseList(const std::vector<int32_t>& in);
// words [N, A, F, count, data...], texts [mode] or [mode, bits];
// mode "qstop", "qrepeat", "count" or "countq", bits "16" or "24".
BlockRequest parseBlock(const std::vector<int32_t>& words, const std::vector<std::string>& texts);
// The Crate property: "0" to "3".
int parseCrate(const std::string& text);
// The LamAcknowledge property: a read or control function 0-15 (F10 clears
// the LAM of most modules; F2 reads and clears a scaler).
int parseLamAcknowledge(const std::string& text);

// A named channel of the property Channels, one line each:
//   NAME: N A F-READ [F-WRITE] BITS [UNIT]
// for example "counts: 2 0 0 24 counts" (a scaler channel read with F0) or
// "level: 5 0 0 16 16 mV" (a register read with F0, written with F16).
// NAME is an attribute name (a letter, then letters, digits or _), F-READ a
// read 0-7, F-WRITE a write 16-23, BITS 16 or 24; UNIT is the rest.
struct Channel {
    std::string name;
    int n = 0;
    int a = 0;
    int fRead = 0;
    int fWrite = -1;  // -1: read only
    bool wide = false;
    std::string unit;
};
Channel parseChannel(const std::string& line);

// ---- What the state of a crate rests on.

struct CrateHealth {
    bool adapterOk = true;       // the test of the crate went through
    std::string adapterError;    // why not, in words
    bool online = true;          // the controller reports the crate on-line
    uint32_t masked = 0;         // stations masked with F24 by the LAM service
    std::string lamError;        // why the last LAM could not be served
};

enum class CrateState { On, Alarm, Off, Fault };

struct Judgement {
    CrateState state = CrateState::On;
    std::string status;  // the Status text
};

// ON: on-line and working; ALARM: on-line, but stations masked or LAMs not
// served; OFF: the crate is off-line (every cycle gives X = 0); FAULT: the
// adapter failed. The text says which, and what to do.
Judgement judge(int crate, const CrateHealth& health);

// A LAM as the bus delivers it.
struct LamEvent {
    int crate = 0;
    uint32_t pattern = 0;          // bit k = station k+1
    uint32_t after = 0;            // the pattern after the acknowledgement (0 when served)
    uint64_t sequence = 0;         // 1, 2, ... per crate since the bus opened
    std::chrono::system_clock::time_point when;  // when the handler read the pattern
    std::chrono::system_clock::time_point afterWhen;  // when it read it again
};

class Bus {
public:
    static Bus& instance();

    // Opens the adapter (once per process; a failed open is tried again on
    // the next call) and links the LAM handler. False with `why` in words.
    bool open(std::string& why);
    // Unlinks the LAM handler; the connection stays (the library keeps it
    // for the life of the process). Masks, counts and last actions start
    // afresh. Called before the process ends.
    void close();

    // The addressed actions; each throws AdapterError when a wait fails.
    Result cnaf(int crate, const Action& action);
    // Every action in order under one hold of the bus; stops at the first
    // failed wait (AdapterError says which action).
    std::vector<Result> execList(int crate, const std::vector<Action>& actions);
    // The words transferred: read, or taken by the module, or one 0 per
    // control action carried out. Q-stop ends at the first Q = 0, Q-repeat
    // repeats an action until Q = 1 (and fails on X = 0 or a module that
    // never gives Q), count mode makes `count` actions whatever Q says
    // (an action without X fails it); CountQ hands back the words and then
    // the Q (0 or 1) of each.
    std::vector<int32_t> block(int crate, const BlockRequest& request);

    void initialise(int crate);  // Z
    void clear(int crate);       // C
    void setInhibit(int crate, bool on);
    bool inhibit(int crate);
    uint32_t lamPattern(int crate);

    // The status record as the last call for this crate (by any caller) left
    // it, and X and Q of the crate's last addressed action. lastRead and
    // lastWritten are the words of this crate's last read and write.
    CamacStatus lastStatus(int crate) const;
    Result lastAction(int crate) const;
    // Stations masked with F24 because the acknowledgement did not clear
    // their LAM; F26 (unmask) to a station takes it off the list.
    uint32_t maskedStations(int crate) const;
    // Why the last LAM could not be served ("" when it was).
    std::string lamError() const;
    // LAMs of the crate served since the bus opened.
    uint64_t lamCount(int crate) const;
    // The function the LAM service sends to a requesting station (F10 unless set).
    void setLamAcknowledge(int crate, int f);
    // Tests the crate (its status word, as ctci reads it) without touching
    // the last-action record: adapter working, crate on-line, masks, LAMs.
    CrateHealth health(int crate);

    // Listeners run on the library's LAM thread, one call at a time, and must
    // not block or call back into the bus. After removeListener returns, the
    // listener is not running and is not called again.
    int addListener(int crate, std::function<void(const LamEvent&)> listener);
    void removeListener(int id);

    // Runs the LAM handler's work once (the library's handler calls it).
    void serveLams();

private:
    Bus() = default;
    struct Listener {
        int id;
        int crate;
        std::function<void(const LamEvent&)> fn;
    };

    void check(int rc, int crate, const char* what);  // with mutex_ held
    void snapshot(int crate);                          // with mutex_ held
    int ext(int crate, int n = 0, int a = 0, bool wide = false) const;
    Result actionLocked(int crate, const Action& action, int32_t data);
    std::vector<int32_t> blockLocked(int crate, const BlockRequest& request);
    void keepWords(int crate, bool read, bool wrote);  // with mutex_ held

    mutable std::mutex mutex_;  // every library call and the status record
    bool open_ = false;
    bool linked_ = false;
    CamacStatus* status_ = nullptr;
    CamacStatus last_[kCrates]{};
    Result lastAction_[kCrates]{};
    uint32_t masked_[kCrates]{};
    uint64_t sequence_[kCrates]{};
    int lamAck_[kCrates] = {10, 10, 10, 10};
    int32_t lastRead_[kCrates]{};
    int32_t lastWritten_[kCrates]{};
    std::string lamError_;
    unsigned lamBackoffMs_ = 0;

    std::mutex listenersMutex_;
    std::vector<Listener> listeners_;
    int nextId_ = 1;
};

}  // namespace camacds
