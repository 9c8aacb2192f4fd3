#include "CrateBus.h"

#include "camac758.h"
#include "camactools.h"

#include <algorithm>
#include <cctype>
#include <thread>

#include <fmt/format.h>

namespace camacds {

namespace {

std::string number(long long v) { return std::to_string(v); }

// The shared rules (camactools) on an action of crate 0 (the crate is the
// device's property, checked on its own): their words, as every face says
// them ("station N must be 1..24, not 0").
void rules(int n, int a, int f, int bits, bool hasData, long long data) {
    char why[160];
    if (ct_check_action(0, n, a, f, bits, hasData, data, why, sizeof why) != CT_OK) throw ArgumentError(why);
}

void inRange(const std::string& name, long long v, long long lo, long long hi) {
    if (v < lo || v > hi)
        throw ArgumentError(name + " must be " + number(lo) + ".." + number(hi) + ", not " + number(v));
}

bool parseWidth(long long bits) {
    if (bits < INT32_MIN || bits > INT32_MAX) throw ArgumentError("bits must be 16 or 24, not " + number(bits));
    rules(1, 0, 0, static_cast<int>(bits), false, 0);
    return bits == 24;
}

// Data only with a write; a read or control action's data slot holds 0.
void checkData(const Action& act) {
    if (!isWrite(act.f)) {
        if (act.data != 0)
            throw ArgumentError("F" + number(act.f) + " does not write: data must be 0, not " + number(act.data));
        return;
    }
    rules(act.n, act.a, act.f, act.wide ? 24 : 16, true, act.data);
}

Action naf(int32_t n, int32_t a, int32_t f) {
    rules(n, a, f, 16, isWrite(f), 0);
    return Action{n, a, f, 0, false};
}

}  // namespace

std::string errorText(uint16_t error) {
    const std::string code = fmt::format(" (error 0x{:04X})", error);
    if (error == CAMAC_ERR_NO_Q)  // the limit is the server's own
        return std::string(ct_error_text(error)) + " in " + std::to_string(CAMAC_QREPEAT_LIMIT) + " tries" + code;
    return ct_error_text(error) + code;
}

bool isRead(int f) { return ct_function_kind(f) == CT_READ; }
bool isWrite(int f) { return ct_function_kind(f) == CT_WRITE; }

Action parseCnaf(const std::vector<int32_t>& in) {
    if (in.size() < 3 || in.size() > 5)
        throw ArgumentError("CNAF takes [N, A, F], [N, A, F, data] or [N, A, F, data, bits], not " +
                            number(static_cast<long long>(in.size())) + " numbers");
    Action act = naf(in[0], in[1], in[2]);
    if (in.size() == 5) act.wide = parseWidth(in[4]);
    if (in.size() >= 4) act.data = in[3];
    else if (isWrite(act.f)) throw ArgumentError("F" + number(act.f) + " writes: give the data word");
    checkData(act);
    return act;
}

std::vector<Action> parseList(const std::vector<int32_t>& in) {
    if (in.empty() || in.size() % 5 != 0)
        throw ArgumentError("ExecList takes actions of five numbers [N, A, F, data, bits]; " +
                            number(static_cast<long long>(in.size())) + " numbers is not a whole number of them");
    if (in.size() / 5 > kMaxListActions)
        throw ArgumentError("ExecList takes at most " + number(kMaxListActions) + " actions, not " +
                            number(static_cast<long long>(in.size() / 5)));
    std::vector<Action> list;
    list.reserve(in.size() / 5);
    for (size_t i = 0; i < in.size(); i += 5) {
        try {
            Action act = naf(in[i], in[i + 1], in[i + 2]);
            act.wide = parseWidth(in[i + 4]);
            act.data = in[i + 3];
            checkData(act);
            list.push_back(act);
        } catch (const ArgumentError& e) {
            throw ArgumentError("action " + number(static_cast<long long>(i / 5 + 1)) + ": " + e.what());
        }
    }
    return list;
}

BlockRequest parseBlock(const std::vector<int32_t>& words, const std::vector<std::string>& texts) {
    if (texts.empty() || texts.size() > 2)
        throw ArgumentError("Block takes the mode (qstop, qrepeat, count or countq) and optionally the width "
                            "(16 or 24) as texts");
    BlockRequest req;
    if (texts[0] == "qstop") req.mode = BlockMode::QStop;
    else if (texts[0] == "qrepeat") req.mode = BlockMode::QRepeat;
    else if (texts[0] == "count") req.mode = BlockMode::Count;
    else if (texts[0] == "countq") req.mode = BlockMode::CountQ;
    else throw ArgumentError("mode must be 'qstop', 'qrepeat', 'count' or 'countq', not '" + texts[0] + "'");
    if (words.size() < 4) throw ArgumentError("Block takes the numbers [N, A, F, count, data...]");
    req.action = naf(words[0], words[1], words[2]);
    if (texts.size() == 2) {
        if (texts[1] != "16" && texts[1] != "24")
            throw ArgumentError("bits must be 16 or 24, not '" + texts[1] + "'");
        req.action.wide = texts[1] == "24";
    }
    inRange("count", words[3], 1, kMaxBlockCount);
    req.count = words[3];
    const size_t given = words.size() - 4;
    if (isWrite(req.action.f)) {
        if (given != static_cast<size_t>(req.count))
            throw ArgumentError("a write block of " + number(req.count) + " words needs " + number(req.count) +
                                " data words, not " + number(static_cast<long long>(given)));
        for (size_t i = 0; i < given; ++i) {
            Action w = req.action;
            w.data = words[4 + i];
            try {
                checkData(w);
            } catch (const ArgumentError& e) {
                throw ArgumentError("word " + number(static_cast<long long>(i + 1)) + ": " + e.what());
            }
            req.data.push_back(w.data);
        }
    } else if (given != 0) {
        throw ArgumentError("F" + number(req.action.f) + " does not write: data must be none, not " +
                            number(static_cast<long long>(given)) + " words");
    }
    return req;
}

int parseCrate(const std::string& text) {
    long long crate = -1;
    if (!ct_parse_number(text.data(), text.size(), &crate) || crate < 0 || crate >= kCrates)
        throw ArgumentError("the property Crate must be a crate number 0-3, not '" + text + "'");
    return static_cast<int>(crate);
}

int parseLamAcknowledge(const std::string& text) {
    long long f = -1;
    if (!ct_parse_number(text.data(), text.size(), &f) || f < 0 || f > 15)
        throw ArgumentError("the property LamAcknowledge must be a read or control function 0-15 (F10 clears "
                            "the LAM of most modules), not '" + text + "'");
    return static_cast<int>(f);
}

Channel parseChannel(const std::string& line) {
    const size_t colon = line.find(':');
    const auto trim = [](std::string t) {
        const size_t first = t.find_first_not_of(" \t");
        if (first == std::string::npos) return std::string();
        return t.substr(first, t.find_last_not_of(" \t") - first + 1);
    };
    const char* form = "a channel is 'NAME: N A F-READ [F-WRITE] BITS [UNIT]'";
    if (colon == std::string::npos) throw ArgumentError(std::string(form) + ", not '" + line + "'");
    Channel ch;
    ch.name = trim(line.substr(0, colon));
    const bool good = !ch.name.empty() && std::isalpha(static_cast<unsigned char>(ch.name[0])) &&
                      std::all_of(ch.name.begin(), ch.name.end(), [](char c) {
                          return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
                      });
    if (!good) throw ArgumentError("the channel name '" + ch.name + "' is not an attribute name (a letter, then "
                                   "letters, digits or _)");
    std::vector<long long> numbers;
    std::string rest = line.substr(colon + 1);
    size_t at = 0;
    while (numbers.size() < 5) {
        const size_t start = rest.find_first_not_of(" \t", at);
        if (start == std::string::npos) break;
        const size_t end = std::min(rest.find_first_of(" \t", start), rest.size());
        long long v = 0;
        if (!ct_parse_number(rest.data() + start, end - start, &v)) break;
        numbers.push_back(v);
        at = end;
    }
    ch.unit = trim(rest.substr(std::min(at, rest.size())));
    if (numbers.size() != 4 && numbers.size() != 5)
        throw ArgumentError(std::string(form) + ", not '" + line + "'");
    if (numbers[0] < INT32_MIN || numbers[0] > INT32_MAX || numbers[1] < INT32_MIN || numbers[1] > INT32_MAX)
        throw ArgumentError(std::string(form) + ", not '" + line + "'");
    rules(static_cast<int>(numbers[0]), static_cast<int>(numbers[1]), 0, 16, false, 0);
    if (!isRead(static_cast<int>(numbers[2])))
        throw ArgumentError("F-READ must be a read 0..7, not " + number(numbers[2]));
    if (numbers.size() == 5 && !isWrite(static_cast<int>(numbers[3])))
        throw ArgumentError("F-WRITE must be a write 16..23, not " + number(numbers[3]));
    ch.n = static_cast<int>(numbers[0]);
    ch.a = static_cast<int>(numbers[1]);
    ch.fRead = static_cast<int>(numbers[2]);
    if (numbers.size() == 5) ch.fWrite = static_cast<int>(numbers[3]);
    ch.wide = parseWidth(numbers.back());
    return ch;
}

namespace {
std::string stationList(uint32_t stations) {
    std::string out;
    for (int n = 1; n <= kStations; ++n)
        if (stations & (1u << (n - 1))) out += (out.empty() ? "" : " ") + std::to_string(n);
    return out;
}
}  // namespace

Judgement judge(int crate, const CrateHealth& h) {
    const std::string name = "Crate " + std::to_string(crate);
    if (!h.adapterOk)
        return {CrateState::Fault, name + ": " + h.adapterError + ". The server tests it again until it answers."};
    if (!h.online)
        return {CrateState::Off, name + " is off-line: the controller reports it off-line, and every cycle gives "
                                        "X = 0. Switch it on-line; the server notices by itself."};
    std::string alarm;
    if (h.masked)
        alarm += "LAM masked (F24) at station" + std::string(h.masked & (h.masked - 1) ? "s " : " ") +
                 stationList(h.masked) + ": the acknowledgement did not clear it; unmask with F26";
    if (!h.lamError.empty()) alarm += (alarm.empty() ? "" : "; ") + std::string("LAMs are not served: ") + h.lamError;
    if (!alarm.empty()) return {CrateState::Alarm, name + " on-line, but " + alarm + "."};
    return {CrateState::On, name + " ready."};
}

// ---- Bus -----------------------------------------------------------------

namespace {
void lamHandler() { Bus::instance().serveLams(); }
}  // namespace

Bus& Bus::instance() {
    static Bus bus;
    return bus;
}

bool Bus::open(std::string& why) {
    std::lock_guard lock(mutex_);
    if (!open_) {
        status_ = cdata();
        if (ccinit() != 0) {
            why = "the KT40 adapter cannot be opened: the library found no WinDriver service, an old one, or "
                  "the adapter's ports and interrupt are held by another program";
            return false;
        }
        open_ = true;
    }
    if (!linked_) {
        if (cclnk(lamHandler) != 0) {
            why = "the adapter's LAM interrupt cannot be switched on: " + errorText(status_->error);
            return false;
        }
        linked_ = true;
    }
    return true;
}

void Bus::close() {
    {
        std::lock_guard lock(mutex_);
        if (!linked_) return;
        linked_ = false;
        // What the LAM service and the calls left starts afresh.
        for (int c = 0; c < kCrates; ++c) {
            last_[c] = CamacStatus{};
            lastAction_[c] = Result{};
            masked_[c] = 0;
            sequence_[c] = 0;
            lamAck_[c] = 10;
            lastRead_[c] = lastWritten_[c] = 0;
        }
        lamError_.clear();
    }
    // Outside the lock: unlinking waits for the LAM thread, which may be
    // waiting for the lock in serveLams().
    cculnk();
}

int Bus::ext(int crate, int n, int a, bool wide) const {
    int e = 0;
    cdreg(&e, wide ? 24 : 16, crate, n, a);
    return e;
}

// The library's record is one for the process; its last-read and
// last-written words are kept per crate, from the crate's own actions.
void Bus::snapshot(int crate) {
    last_[crate] = *status_;
    last_[crate].lastRead = lastRead_[crate];
    last_[crate].lastWritten = lastWritten_[crate];
}

void Bus::keepWords(int crate, bool read, bool wrote) {
    if (read) lastRead_[crate] = status_->lastRead;
    if (wrote) lastWritten_[crate] = status_->lastWritten;
}

void Bus::check(int rc, int crate, const char* what) {
    snapshot(crate);
    if (rc != 0) throw AdapterError(std::string(what) + " failed: " + errorText(status_->error), status_->error);
}

Result Bus::actionLocked(int crate, const Action& act, int32_t data) {
    char q = 0;
    int d = data;
    const int rc = cssa(act.f, ext(crate, act.n, act.a, act.wide), &d, &q);
    keepWords(crate, rc == 0 && isRead(act.f), rc == 0 && isWrite(act.f));
    snapshot(crate);
    if (rc != 0) {
        throw AdapterError(fmt::format("N{} A{} F{}", act.n, act.a, act.f) + " failed: " + errorText(status_->error), status_->error);
    }
    Result r{isRead(act.f) ? d : 0, q != 0, status_->x != 0};
    lastAction_[crate] = r;
    if (act.f == 26 && r.x) masked_[crate] &= ~(1u << (act.n - 1));  // unmasked
    return r;
}

Result Bus::cnaf(int crate, const Action& act) {
    std::lock_guard lock(mutex_);
    return actionLocked(crate, act, act.data);
}

std::vector<Result> Bus::execList(int crate, const std::vector<Action>& actions) {
    std::lock_guard lock(mutex_);
    std::vector<Result> out;
    out.reserve(actions.size());
    for (size_t i = 0; i < actions.size(); ++i) {
        try {
            out.push_back(actionLocked(crate, actions[i], actions[i].data));
        } catch (const AdapterError& e) {
            throw AdapterError("action " + std::to_string(i + 1) + " of " + std::to_string(actions.size()) +
                                   " (" + e.what() + "); the actions before it were carried out",
                               e.error());
        }
    }
    return out;
}

std::vector<int32_t> Bus::block(int crate, const BlockRequest& req) {
    std::lock_guard lock(mutex_);
    return blockLocked(crate, req);
}

// Block transfers with the IEEE 758 routines: Q-stop (cfubc/csubc), Q-repeat
// (cfubr/csubr), and count mode as a multiple action of `count` identical
// actions whatever their Q (cfga/csga). The "f" routines move 24 bits, the
// "s" routines 16.
std::vector<int32_t> Bus::blockLocked(int crate, const BlockRequest& req) {
    const size_t count = static_cast<size_t>(req.count);
    const bool write = isWrite(req.action.f);
    const int f = req.action.f;
    const int e = ext(crate, req.action.n, req.action.a, req.action.wide);
    int cb[4] = {req.count, 0, 0, 0};
    std::vector<int> wide(count, 0);
    std::vector<unsigned short> narrow(count, 0);
    for (size_t i = 0; write && i < count; ++i) {
        wide[i] = req.data[i];
        narrow[i] = static_cast<unsigned short>(req.data[i]);
    }
    int rc = 1;
    const bool counted = req.mode == BlockMode::Count || req.mode == BlockMode::CountQ;
    std::vector<int> qa(counted ? count : 0, 0);
    if (counted) {
        const std::vector<int> fa(count, f), exta(count, e);
        rc = req.action.wide ? cfga(fa.data(), exta.data(), wide.data(), qa.data(), cb)
                             : csga(fa.data(), exta.data(), narrow.data(), qa.data(), cb);
    } else if (req.mode == BlockMode::QStop) {
        rc = req.action.wide ? cfubc(f, e, wide.data(), cb) : csubc(f, e, narrow.data(), cb);
    } else {
        rc = req.action.wide ? cfubr(f, e, wide.data(), cb) : csubr(f, e, narrow.data(), cb);
    }
    keepWords(crate, cb[1] > 0 && isRead(f), cb[1] > 0 && write);
    snapshot(crate);
    lastAction_[crate] = Result{0, status_->q != 0, status_->x != 0};
    if (rc != 0) {
        const char* mode = counted ? "count" : req.mode == BlockMode::QStop ? "Q-stop" : "Q-repeat";
        throw AdapterError(std::string(mode) + " block at N" + std::to_string(req.action.n) + " A" +
                               std::to_string(req.action.a) + " F" + std::to_string(f) + " failed after " +
                               std::to_string(cb[1]) + " of " + std::to_string(req.count) + " words: " +
                               errorText(status_->error),
                           status_->error);
    }
    std::vector<int32_t> out(static_cast<size_t>(cb[1]), 0);
    if (isRead(f) || write)
        for (size_t i = 0; i < out.size(); ++i) out[i] = req.action.wide ? wide[i] : narrow[i];
    if (req.mode == BlockMode::CountQ)
        for (size_t i = 0, words = out.size(); i < words; ++i) out.push_back(qa[i] != 0);
    return out;
}

void Bus::initialise(int crate) {
    std::lock_guard lock(mutex_);
    check(cccz(ext(crate)), crate, "Z");
}

void Bus::clear(int crate) {
    std::lock_guard lock(mutex_);
    check(cccc(ext(crate)), crate, "C");
}

void Bus::setInhibit(int crate, bool on) {
    std::lock_guard lock(mutex_);
    check(ccci(ext(crate), on ? 1 : 0), crate, on ? "setting the inhibit" : "removing the inhibit");
}

bool Bus::inhibit(int crate) {
    std::lock_guard lock(mutex_);
    char l = 0;
    check(ctci(ext(crate), &l), crate, "testing the inhibit");
    return l != 0;
}

uint32_t Bus::lamPattern(int crate) {
    std::lock_guard lock(mutex_);
    char l = 0;
    check(ctgl(ext(crate), &l), crate, "reading the LAM pattern");
    return status_->lamPattern;
}

CamacStatus Bus::lastStatus(int crate) const {
    std::lock_guard lock(mutex_);
    return last_[crate];
}

Result Bus::lastAction(int crate) const {
    std::lock_guard lock(mutex_);
    return lastAction_[crate];
}

uint32_t Bus::maskedStations(int crate) const {
    std::lock_guard lock(mutex_);
    return masked_[crate];
}

uint64_t Bus::lamCount(int crate) const {
    std::lock_guard lock(mutex_);
    return sequence_[crate];
}

void Bus::setLamAcknowledge(int crate, int f) {
    std::lock_guard lock(mutex_);
    lamAck_[crate] = f;
}

CrateHealth Bus::health(int crate) {
    std::lock_guard lock(mutex_);
    CrateHealth h;
    h.masked = masked_[crate];
    h.lamError = lamError_;
    char l = 0;
    if (!open_) {
        h.adapterOk = false;
        h.adapterError = "the adapter is not open";
    } else if (ctci(ext(crate), &l) != 0) {
        h.adapterOk = false;
        h.adapterError = "testing the crate failed: " + errorText(status_->error);
    } else {
        h.online = status_->bit10 != 0;
    }
    return h;
}

int Bus::addListener(int crate, std::function<void(const LamEvent&)> listener) {
    std::lock_guard lock(listenersMutex_);
    listeners_.push_back({nextId_, crate, std::move(listener)});
    return nextId_++;
}

void Bus::removeListener(int id) {
    std::lock_guard lock(listenersMutex_);
    std::erase_if(listeners_, [id](const Listener& l) { return l.id == id; });
}

std::string Bus::lamError() const {
    std::lock_guard lock(mutex_);
    return lamError_;
}

void Bus::serveLams() {
    LamEvent events[kCrates];
    int found = 0;
    bool failed = false;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return;
        for (int crate = 0; crate < kCrates && !failed; ++crate) {
            char l = 0;
            if (ctgl(ext(crate), &l) != 0) {
                lamError_ = "reading the LAM pattern of crate " + std::to_string(crate) +
                            " failed: " + errorText(status_->error);
                failed = true;
                break;
            }
            if (!l) continue;
            const uint32_t pattern = status_->lamPattern & 0xFFFFFF;
            const auto when = std::chrono::system_clock::now();
            // The acknowledgement: camac758's cclc for F10, the function
            // itself for another (F2 reads and clears a scaler).
            std::string trouble;
            for (int n = 1; n <= kStations; ++n) {
                if (!(pattern & (1u << (n - 1)))) continue;
                int lam = 0;
                int rc = cdlam(&lam, 16, crate, n, 0, nullptr);
                if (rc == 0 && lamAck_[crate] == 10) {
                    rc = cclc(lam);
                } else if (rc == 0) {
                    int data = 0;
                    char q = 0;
                    rc = cssa(lamAck_[crate], ext(crate, n), &data, &q);
                }
                if (rc != 0 && trouble.empty())
                    trouble = "acknowledging the LAM of station " + std::to_string(n) + " (F" +
                              std::to_string(lamAck_[crate]) + ") failed: " + errorText(status_->error);
            }
            // A module that keeps its LAM after the acknowledgement would
            // raise the interrupt again at once, for ever: mask it (cclm, F24).
            uint32_t after = 0;
            if (ctgl(ext(crate), &l) == 0 && l) {
                after = status_->lamPattern & 0xFFFFFF;
                const uint32_t stuck = after & pattern;
                for (int n = 1; n <= kStations; ++n) {
                    if (!(stuck & (1u << (n - 1)))) continue;
                    int lam = 0;
                    if ((cdlam(&lam, 16, crate, n, 0, nullptr) != 0 || cclm(lam, 0) != 0) && trouble.empty())
                        trouble = "masking the LAM of station " + std::to_string(n) +
                                  " (F24) failed: " + errorText(status_->error);
                }
                masked_[crate] |= stuck;
                // What stays after the masks (the attribute reads the same).
                if (stuck) after = ctgl(ext(crate), &l) == 0 && l ? status_->lamPattern & 0xFFFFFF : 0;
            }
            if (!trouble.empty()) {
                lamError_ = trouble;
                failed = true;
            }
            if (pattern == 0) continue;
            events[found++] = LamEvent{crate, pattern, after, ++sequence_[crate], when,
                                       std::chrono::system_clock::now()};
        }
        if (!failed) lamError_.clear();
        lamBackoffMs_ = failed ? std::clamp(lamBackoffMs_ * 2, 10u, 1000u) : 0;
    }
    {
        std::lock_guard lock(listenersMutex_);
        for (int i = 0; i < found; ++i)
            for (const auto& l : listeners_)
                if (l.crate == events[i].crate) l.fn(events[i]);
    }
    // The LAM is still pending, so the interrupt comes straight back: while
    // the adapter fails, pause longer each time rather than spin.
    if (failed) std::this_thread::sleep_for(std::chrono::milliseconds(lamBackoffMs_));
}

}  // namespace camacds
