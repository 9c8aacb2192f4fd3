// CAMAC modules of the virtual crate.
//
// A module sits in one station of a crate and answers dataway cycles N, A, F.
// The crate calls it with the adapter's lock held, so a module needs no lock
// of its own and must not call back into the adapter.
//
// Everything a module holds lives in its StationImage: plain data with no
// pointers, so that the adapter can keep the stations of the user's crate in
// a memory-mapped file where every completed cycle is at once, and another
// program (the bench) can act on the same modules. A module object is only a
// view of its station: its kind and options come from the description, the
// rest from the image.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace kt40sim {

// X and Q of one dataway cycle.
struct Response {
    bool x = false;
    bool q = false;
};

inline constexpr int kImageWords = 64;
inline constexpr int kImageChannels = 16;
inline constexpr size_t kDescriptionSize = 160;
inline constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

// One station as it is kept (see Module). Zero is an empty station.
struct StationImage {
    uint32_t generation;            // changes whenever another module is put in
    uint8_t present;                // a module is plugged in
    uint8_t lamPending;
    uint8_t lamEnabled;
    uint8_t inhibited;
    char description[kDescriptionSize];  // as in a crate file, NUL-terminated
    int64_t clockNs;                // real time up to which the module has run
    double carry[kImageChannels];   // fractions of a count not yet counted
    double rate;                    // a trigger's rate (the bench changes it)
    uint64_t random;                // state of the module's random generator
    uint32_t flags;                 // per kind (data ready, running, ...)
    uint32_t spare;
    uint32_t words[kImageWords];    // what the module holds (24 bits each)
};

// Real time in nanoseconds since 1970, the clock that modules run on: it goes
// on while no program holds the crate and is the same for every program.
int64_t realTimeNs();

class Module {
public:
    explicit Module(std::string kind);
    virtual ~Module() = default;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const std::string& kind() const { return kind_; }

    // One dataway cycle. For F 0-7 the module puts its data (24 bits) into
    // `data`; for F 16-23 `data` carries the write data (24 bits).
    virtual Response cycle(int a, int f, uint32_t& data) = 0;

    virtual void clear() { m_->lamPending = 0; }                     // dataway C
    virtual void initialise() { clear(); m_->lamEnabled = 1; }       // dataway Z
    virtual void setInhibit(bool on) { m_->inhibited = on; }

    // The module's LAM as the dataway sees it: requested and not masked.
    bool lam() const { return m_->lamPending && m_->lamEnabled; }
    bool lamPending() const { return m_->lamPending; }
    bool lamEnabled() const { return m_->lamEnabled; }
    void raiseLam() { m_->lamPending = 1; }
    void clearLam() { m_->lamPending = 0; }
    void setLamEnabled(bool on) { m_->lamEnabled = on; }

    // ---- Running on the clock ---------------------------------------------
    // Brings the module up to real time `now`: counts, fires. Returns how
    // many gates (triggers) the module sent to the crate since it last ran.
    virtual uint64_t advance(int64_t /*now*/) { return 0; }
    // When the module next changes by itself (an overflow, a trigger); kNever.
    virtual int64_t nextEventNs() const { return kNever; }
    // True for modules that change by themselves (advance does something).
    virtual bool clocked() const { return false; }
    // A gate or common start from the trigger or the bench, at `now`.
    // Returns whether the module took it (ADCs and TDCs).
    virtual bool gate(int64_t /*now*/) { return false; }
    // Inputs set from outside the crate (input registers). False when the
    // module has none.
    virtual bool setInputs(uint32_t /*bits*/) { return false; }

    // ---- Where the module keeps what it holds -------------------------------
    StationImage& image() { return *m_; }
    const StationImage& image() const { return *m_; }
    // Moves the module's state into `slot` (copied from where it was) and
    // keeps it there from now on.
    void moveTo(StationImage& slot);
    // Takes `slot` as it is (a kept crate). False when its words do not fit
    // the module; the module then stays where it was.
    bool adopt(StationImage& slot);

    // ---- Keeping the crate between programs -------------------------------
    // The module as a crate description names it ("memory words=16").
    virtual std::string description() const { return kind_; }
    // What the module holds (memory words, counts, output register), and its
    // return; restoreWords refuses words that do not fit the module.
    virtual std::vector<uint32_t> savedWords() { return {}; }
    virtual bool restoreWords(const std::vector<uint32_t>& words) { return words.empty(); }
    // Whether a kept image makes sense for this module (words in range).
    virtual bool imageFits(const StationImage& slot) const;

protected:
    // The common LAM functions: F8 test LAM (Q = request), F10 clear LAM,
    // F24 disable LAM, F26 enable LAM. Returns true when `f` was one of them.
    bool lamFunction(int f, Response& r);
    bool inhibited() const { return m_->inhibited; }
    uint32_t* words() { return m_->words; }
    const uint32_t* words() const { return m_->words; }

private:
    std::string kind_;
    std::unique_ptr<StationImage> own_;  // where the state is until the crate takes it
    StationImage* m_;
};

// A 24-bit read/write register at A0: F0 read, F16 write, F9 clear (Q = 1).
// With `words` > 1 it is a small memory addressed by A (0..words-1).
class RegisterModule : public Module {
public:
    // `kind` defaults to "memory" for more than one word, else "register".
    explicit RegisterModule(int words = 1, std::string kind = {});
    Response cycle(int a, int f, uint32_t& data) override;
    void clear() override;
    uint32_t word(int a) const { return a >= 0 && a < count_ ? words()[a] : 0; }
    std::string description() const override;
    std::vector<uint32_t> savedWords() override;
    bool restoreWords(const std::vector<uint32_t>& words) override;

private:
    int count_;
};

// A counting scaler of up to 16 channels of 24 bits (A = channel). Channel k
// counts `rates[k]` pulses per second of real time while the crate's inhibit
// is off, whether or not a program looks; tests count by hand with pulse().
// F0 read, F2 read and clear, F9 clear all, F25 one pulse on channel A. A
// channel that wraps past 0xFFFFFF raises the LAM when it wraps.
// Kind "scaler" (one rate for all) or "scalerbank" (a rate per channel).
class Scaler : public Module {
public:
    explicit Scaler(int channels = 4, double rate = 0.0);
    Scaler(std::vector<double> rates, std::string kind);
    Response cycle(int a, int f, uint32_t& data) override;
    void clear() override;
    void initialise() override;
    void setInhibit(bool on) override;
    void pulse(int channel, uint32_t n = 1);
    uint32_t count(int channel);
    uint64_t advance(int64_t now) override;
    int64_t nextEventNs() const override;
    bool clocked() const override { return counting_; }
    std::string description() const override;
    std::vector<uint32_t> savedWords() override;
    bool restoreWords(const std::vector<uint32_t>& words) override;

private:
    void add(int channel, uint64_t n);
    int channels() const { return static_cast<int>(rates_.size()); }

    std::vector<double> rates_;
    bool counting_;
};

// A LAM source and output register: A0 F16 writes the register, A0 F0 reads it,
// F25 raises the LAM (so an operator can make one from the panel), F8/F10/F24/
// F26 test, clear, disable and enable the LAM.
class LamSource : public Module {
public:
    LamSource();
    Response cycle(int a, int f, uint32_t& data) override;
    void clear() override;
    std::vector<uint32_t> savedWords() override { return {words()[0]}; }
    bool restoreWords(const std::vector<uint32_t>& words) override;
};

// How an ADC or TDC draws its values: a Gaussian peak of `width` around
// `peak`, and a `noise` fraction spread evenly over the 12-bit range, from a
// generator started at `seed` (so a run can be repeated).
struct Spectrum {
    double peak = 1000;
    double width = 50;
    double noise = 0.1;
    uint64_t seed = 1;
};

// A peak-sensing ADC ("adc") or common-start TDC ("tdc") of 1-16 channels of
// 12 bits. A gate (the crate's trigger, the bench, or F25) makes it convert
// every channel and raise its LAM; gates that come while it holds data are
// lost, as on a busy converter. F0 read channel A (Q = data ready), F2 read
// channel A and clear it (reading the last channel with F2 clears the module
// and its LAM, ready for the next gate), F9 clear, F25 test gate.
class Digitizer : public Module {
public:
    Digitizer(std::string kind, int channels, Spectrum spectrum);
    Response cycle(int a, int f, uint32_t& data) override;
    void clear() override;
    bool gate(int64_t now) override;
    bool ready() const { return image().flags & 1; }
    std::string description() const override;
    std::vector<uint32_t> savedWords() override;
    bool restoreWords(const std::vector<uint32_t>& words) override;
    bool imageFits(const StationImage& slot) const override;

private:
    uint32_t draw();
    int channels_;
    Spectrum spectrum_;
};

// An input register / pattern unit ("input") of 24 inputs set from outside
// the crate (the bench). F0 A0 reads the inputs, F2 A0 reads the inputs that
// changed since the last F2 (or C) and clears that pattern, F0 A1 reads and
// F16 A1 writes the change mask; an input of the mask that changes raises the
// LAM. F9 clears the pattern.
class InputRegister : public Module {
public:
    InputRegister();
    Response cycle(int a, int f, uint32_t& data) override;
    void clear() override;
    void initialise() override;
    bool setInputs(uint32_t bits) override;
    std::vector<uint32_t> savedWords() override { return {words()[0], words()[1], words()[2]}; }
    bool restoreWords(const std::vector<uint32_t>& words) override;
};

// An output register ("output") of 24 bits: F16 A0 writes, F0 A0 reads it
// back, F18 A0 sets the bits written, F21 A0 clears them, F9 clears all.
class OutputRegister : public Module {
public:
    OutputRegister();
    Response cycle(int a, int f, uint32_t& data) override;
    void clear() override;
    std::vector<uint32_t> savedWords() override { return {words()[0]}; }
    bool restoreWords(const std::vector<uint32_t>& words) override;
};

// A trigger / pulser ("trigger rate=R run=0|1") that gates every ADC and TDC
// of its crate `rate` times a second of real time while it runs (and the
// crate is not inhibited), counting its triggers. F0 A0 reads the count, F9
// clears it, F25 sends one trigger, F26 A1 starts and F24 A1 stops it (A0:
// the usual LAM mask; the trigger raises no LAM of its own).
class Trigger : public Module {
public:
    Trigger(double rate, bool running);
    Response cycle(int a, int f, uint32_t& data) override;
    void clear() override;
    uint64_t advance(int64_t now) override;
    int64_t nextEventNs() const override;
    bool clocked() const override { return true; }
    bool running() const { return image().flags & 1; }
    void setRate(double rate, bool running, int64_t now);
    std::string description() const override;
    std::vector<uint32_t> savedWords() override { return {words()[0]}; }
    bool restoreWords(const std::vector<uint32_t>& words) override;
    bool imageFits(const StationImage& slot) const override;
};

// Makes a module of a kind named in a crate description ("register", "memory",
// "scaler", "lamsource") with its options ("words=16", "channels=4",
// "rate=1000"). Returns null and sets `error` for an unknown kind or option.
std::unique_ptr<Module> makeModule(const std::string& kind,
                                   const std::vector<std::string>& options,
                                   std::string& error);
// The same from a whole description ("scaler channels=4 rate=1000").
std::unique_ptr<Module> makeModule(const std::string& description, std::string& error);

}  // namespace kt40sim
