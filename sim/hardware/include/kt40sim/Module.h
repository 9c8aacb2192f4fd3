// CAMAC modules of the virtual crate.
//
// A module sits in one station of a crate and answers dataway cycles N, A, F.
// The crate calls it with the adapter's lock held, so a module needs no lock
// of its own and must not call back into the adapter.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kt40sim {

// X and Q of one dataway cycle.
struct Response {
    bool x = false;
    bool q = false;
};

class Module {
public:
    explicit Module(std::string kind) : kind_(std::move(kind)) {}
    virtual ~Module() = default;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const std::string& kind() const { return kind_; }

    // One dataway cycle. For F 0-7 the module puts its data (24 bits) into
    // `data`; for F 16-23 `data` carries the write data (24 bits).
    virtual Response cycle(int a, int f, uint32_t& data) = 0;

    virtual void clear() { lamPending_ = false; }       // dataway C
    virtual void initialise() { clear(); lamEnabled_ = true; }  // dataway Z
    virtual void setInhibit(bool on) { inhibited_ = on; }

    // The module's LAM as the dataway sees it: requested and not masked.
    bool lam() const { return lamPending_ && lamEnabled_; }
    bool lamPending() const { return lamPending_; }
    bool lamEnabled() const { return lamEnabled_; }
    void raiseLam() { lamPending_ = true; }
    void clearLam() { lamPending_ = false; }

    // ---- Keeping the crate between programs -------------------------------
    // The module as a crate description names it ("memory words=16").
    virtual std::string description() const { return kind_; }
    // What the module holds (memory words, counts, output register), and its
    // return; restoreWords refuses words that do not fit the module.
    virtual std::vector<uint32_t> savedWords() { return {}; }
    virtual bool restoreWords(const std::vector<uint32_t>& words) { return words.empty(); }
    void setLamEnabled(bool on) { lamEnabled_ = on; }

protected:
    // The common LAM functions: F8 test LAM (Q = request), F10 clear LAM,
    // F24 disable LAM, F26 enable LAM. Returns true when `f` was one of them.
    bool lamFunction(int f, Response& r);

    bool inhibited_ = false;

private:
    std::string kind_;
    bool lamPending_ = false;
    bool lamEnabled_ = true;
};

// A 24-bit read/write register at A0: F0 read, F16 write, F9 clear (Q = 1).
// With `words` > 1 it is a small memory addressed by A (0..words-1).
class RegisterModule : public Module {
public:
    // `kind` defaults to "memory" for more than one word, else "register".
    explicit RegisterModule(int words = 1, std::string kind = {});
    Response cycle(int a, int f, uint32_t& data) override;
    void clear() override;
    uint32_t word(int a) const { return words_.at(a); }
    std::string description() const override;
    std::vector<uint32_t> savedWords() override { return words_; }
    bool restoreWords(const std::vector<uint32_t>& words) override;

private:
    std::vector<uint32_t> words_;
};

// A counting scaler of up to 16 channels of 24 bits (A = channel). It counts
// `rate` pulses per second on every channel while the crate's inhibit is off;
// tests count by hand with pulse(). F0 read, F2 read and clear, F9 clear all,
// F25 one pulse on channel A. A channel that wraps past 0xFFFFFF raises the
// LAM.
class Scaler : public Module {
public:
    using Clock = std::chrono::steady_clock;
    explicit Scaler(int channels = 4, double rate = 0.0);
    Response cycle(int a, int f, uint32_t& data) override;
    void clear() override;
    void initialise() override;
    void setInhibit(bool on) override;
    void pulse(int channel, uint32_t n = 1);
    uint32_t count(int channel);
    std::string description() const override;
    std::vector<uint32_t> savedWords() override;
    bool restoreWords(const std::vector<uint32_t>& words) override;

private:
    void catchUp();  // adds the pulses counted since the last look
    void add(int channel, uint64_t n);

    std::vector<uint32_t> counts_;
    double rate_;
    Clock::time_point since_ = Clock::now();
    double carry_ = 0.0;
};

// A LAM source and output register: A0 F16 writes the register, A0 F0 reads it,
// F25 raises the LAM (so an operator can make one from the panel), F8/F10/F24/
// F26 test, clear, disable and enable the LAM.
class LamSource : public Module {
public:
    LamSource();
    Response cycle(int a, int f, uint32_t& data) override;
    void clear() override;
    std::vector<uint32_t> savedWords() override { return {reg_}; }
    bool restoreWords(const std::vector<uint32_t>& words) override;

private:
    uint32_t reg_ = 0;
};

// Makes a module of a kind named in a crate description ("register", "memory",
// "scaler", "lamsource") with its options ("words=16", "channels=4",
// "rate=1000"). Returns null and sets `error` for an unknown kind or option.
std::unique_ptr<Module> makeModule(const std::string& kind,
                                   const std::vector<std::string>& options,
                                   std::string& error);

}  // namespace kt40sim
