#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"
#include "UserCrate.h"

namespace wdsim {

namespace {

uint32_t word(const void* rec, size_t i) {
    uint32_t v;
    std::memcpy(&v, static_cast<const uint8_t*>(rec) + 4 * i, 4);
    return v;
}

void setWord(void* rec, size_t i, uint32_t v) { std::memcpy(static_cast<uint8_t*>(rec) + 4 * i, &v, 4); }

constexpr size_t kItemsOffset = 4;
constexpr size_t kItemSize = 40;
constexpr size_t kMaxItems = 20;
constexpr size_t kCardHandleOffset = 808;
constexpr uint32_t kItemInterrupt = 1;
constexpr int64_t kTickNs = 20000000;  // how often a wait looks at the crate
constexpr uint32_t kItemIo = 3;
constexpr uint32_t kReadWord = 21;
constexpr uint32_t kWriteWord = 24;
constexpr uint32_t kNoAnswer = 0xFFFFFFFF;

struct Card {
    uint32_t ioBase = 0;
    uint32_t ioLength = 0;
    uint32_t irqHandle = 0;  // 0: the card has no interrupt
};

class Service {
public:
    static Service& instance() {
        static Service service;
        return service;
    }

    Handle open(const char* path) {
        if (!path || std::strcmp(path, kDevicePath) != 0) return kInvalidHandle;
        std::lock_guard lock(mu_);
        if (!present_) return kInvalidHandle;
        const Handle h = nextHandle_++;
        handles_.insert(h);
        return h;
    }

    bool close(Handle h) {
        std::lock_guard lock(mu_);
        return handles_.erase(h) == 1;
    }

    bool deviceControl(Handle h, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize) {
        std::unique_lock lock(mu_);
        if (!present_ || !handles_.count(h)) return false;
        ++counts_[code];
        const bool logged = code != kTransfer || logTransfers_;
        // Entries are numbered for good: a wait may outlive a clear of the
        // log, or its own entry may have been pushed out by newer ones.
        const uint64_t logSeq = logFirst_ + log_.size();
        if (logged) {
            Request r{code, {}, kNoAnswer};
            if (in && inSize) r.record.assign(static_cast<uint8_t*>(in), static_cast<uint8_t*>(in) + inSize);
            if (log_.size() == kRequestLogCapacity) {
                log_.pop_front();
                ++logFirst_;
            }
            log_.push_back(std::move(r));
        }
        if (unanswered_.count(code)) return true;

        uint32_t status = kStatusInvalidIoctl;
        switch (code) {
        case kVersionQuery: status = version(in, inSize); break;
        case kCardRegister:
            status = withUserCrate(lock, acquireUserCrate);
            if (status == kStatusSuccess) status = registerCard(in, inSize);
            break;
        case kCardUnregister:
            status = unregisterCard(in, inSize);
            if (status == kStatusSuccess && cards_.empty()) withUserCrate(lock, [] {
                releaseUserCrate();
                return kStatusSuccess;
            });
            break;
        case kTransfer: status = transfer(lock, in, inSize); break;
        case kIntEnable: status = intEnable(in, inSize); break;
        case kIntWait: status = intWait(lock, in, inSize); break;
        case kIntDisable: status = intDisable(in, inSize); break;
        default: break;
        }
        if (!present_) return false;  // the service went away during the request
        if (out && outSize >= 4) std::memcpy(out, &status, 4);
        if (logged && logSeq >= logFirst_ && logSeq - logFirst_ < log_.size()) log_[logSeq - logFirst_].status = status;
        return true;
    }

    // ---- test controls ----
    void reset() {
        std::lock_guard lock(mu_);
        present_ = true;
        version_ = 621;
        refuseStatus_ = 0;
        refuseEnable_ = 0;
        unanswered_.clear();
        cards_.clear();
        handles_.clear();
        clearLog();
        counts_.clear();
        logTransfers_ = false;
        intEnabled_ = false;
        pendingEdges_ = 0;
        counter_ = 0;
        lost_ = 0;
        endWaits_.clear();
        ++generation_;
        cv_.notify_all();
    }

    void setPresent(bool present) {
        std::lock_guard lock(mu_);
        present_ = present;
        cv_.notify_all();
    }
    void setVersion(uint32_t v) { std::lock_guard lock(mu_); version_ = v; }
    void refuseRegistration(uint32_t s) { std::lock_guard lock(mu_); refuseStatus_ = s; }
    void refuseInterruptEnable(uint32_t s) { std::lock_guard lock(mu_); refuseEnable_ = s; }
    void setUnanswered(uint32_t code, bool on) {
        std::lock_guard lock(mu_);
        if (on)
            unanswered_.insert(code);
        else
            unanswered_.erase(code);
    }
    void endWait(uint32_t how) {
        std::lock_guard lock(mu_);
        endWaits_.push_back(how);
        cv_.notify_all();
    }
    void fireInterrupt() {
        std::lock_guard lock(mu_);
        edge();
    }
    std::vector<Request> requests() const {
        std::lock_guard lock(mu_);
        return {log_.begin(), log_.end()};
    }
    void clearRequests() {
        std::lock_guard lock(mu_);
        clearLog();
    }
    void setLogTransfers(bool on) { std::lock_guard lock(mu_); logTransfers_ = on; }
    int openHandles() const { std::lock_guard lock(mu_); return static_cast<int>(handles_.size()); }
    int registeredCards() const { std::lock_guard lock(mu_); return static_cast<int>(cards_.size()); }
    bool interruptEnabled() const { std::lock_guard lock(mu_); return intEnabled_; }
    int waitsInProgress() const { std::lock_guard lock(mu_); return waiting_; }
    uint64_t requestCount(uint32_t code) const {
        std::lock_guard lock(mu_);
        auto it = counts_.find(code);
        return it == counts_.end() ? 0 : it->second;
    }

private:
    Service() {
        // Called with the adapter's lock held: only take our own lock.
        kt40sim::Adapter::instance().addInterruptListener([this](bool high) {
            if (!high) return;
            std::lock_guard lock(mu_);
            edge();
        });
    }

    // Taking or leaving the user's crate loads or saves the adapter's state,
    // and the adapter calls our listener under its lock: never hold ours.
    template <typename Fn>
    uint32_t withUserCrate(std::unique_lock<std::mutex>& lock, Fn fn) {
        lock.unlock();
        const uint32_t status = fn();
        lock.lock();
        return status;
    }

    void clearLog() {
        logFirst_ += log_.size();
        log_.clear();
    }

    void edge() {
        if (intEnabled_) {
            ++pendingEdges_;
            cv_.notify_all();
        } else {
            ++lost_;
        }
    }

    uint32_t version(void* rec, uint32_t size) {
        if (size < 4 || !rec) return kStatusInvalidParameter;
        setWord(rec, 0, version_);
        return kStatusSuccess;
    }

    uint32_t registerCard(void* rec, uint32_t size) {
        if (size != kCardRecordSize || !rec) return kStatusInvalidParameter;
        const uint32_t items = word(rec, 0);
        if (items == 0 || items > kMaxItems) return kStatusInvalidParameter;
        if (refuseStatus_) return refuseStatus_;
        Card card;
        size_t irqItem = 0;
        bool hasIrq = false;
        for (size_t i = 0; i < items; ++i) {
            const size_t w = (kItemsOffset + i * kItemSize) / 4;
            const uint32_t kind = word(rec, w);
            if (kind == kItemIo) {
                card.ioBase = word(rec, w + 4);
                card.ioLength = word(rec, w + 5);
                if (card.ioLength == 0) return kStatusInvalidParameter;
            } else if (kind == kItemInterrupt) {
                if (word(rec, w + 4) != kt40sim::kIsaInterruptLine) return kStatusInvalidParameter;
                hasIrq = true;
                irqItem = w;
            } else {
                return kStatusInvalidParameter;
            }
        }
        for (const auto& [h, other] : cards_) {
            // 64-bit ends: a range near 0xFFFFFFFF must not wrap round to 0.
            const bool ioOverlap = card.ioLength && other.ioLength &&
                                   card.ioBase < uint64_t{other.ioBase} + other.ioLength &&
                                   other.ioBase < uint64_t{card.ioBase} + card.ioLength;
            if (ioOverlap || (hasIrq && other.irqHandle)) return kStatusResourceOverlap;
        }
        const uint32_t cardHandle = nextCard_++;
        if (hasIrq) {
            card.irqHandle = 0x1000 + cardHandle;
            setWord(rec, irqItem + 6, card.irqHandle);
        }
        cards_[cardHandle] = card;
        setWord(rec, kCardHandleOffset / 4, cardHandle);
        return kStatusSuccess;
    }

    uint32_t unregisterCard(void* rec, uint32_t size) {
        if (size != kCardRecordSize || !rec) return kStatusInvalidParameter;
        auto it = cards_.find(word(rec, kCardHandleOffset / 4));
        if (it == cards_.end()) return kStatusInvalidHandle;
        if (it->second.irqHandle && intEnabled_) {
            intEnabled_ = false;
            cv_.notify_all();
        }
        cards_.erase(it);
        return kStatusSuccess;
    }

    bool portRegistered(uint32_t port) const {
        for (const auto& [h, c] : cards_)
            if (port >= c.ioBase && uint64_t{port} + 2 <= uint64_t{c.ioBase} + c.ioLength) return true;
        return false;
    }

    bool irqRegistered(uint32_t irqHandle) const {
        if (irqHandle == 0) return false;
        for (const auto& [h, c] : cards_)
            if (c.irqHandle == irqHandle) return true;
        return false;
    }

    uint32_t transfer(std::unique_lock<std::mutex>& lock, void* rec, uint32_t size) {
        if (size != kTransferRecordSize || !rec) return kStatusInvalidParameter;
        const uint32_t port = word(rec, 0);
        const uint32_t cmd = word(rec, 1);
        uint64_t address = 0;
        std::memcpy(&address, static_cast<uint8_t*>(rec) + 24, 8);
        auto* value = reinterpret_cast<uint16_t*>(static_cast<uintptr_t>(address));
        if ((cmd != kReadWord && cmd != kWriteWord) || word(rec, 2) != 2 || !value || !portRegistered(port))
            return kStatusInvalidParameter;
        const bool onAdapter = port >= kt40sim::kIsaPortBase && port < kt40sim::kIsaPortBase + kt40sim::kIsaPortLength;
        const auto offset = static_cast<uint16_t>(port - kt40sim::kIsaPortBase);
        // The adapter calls our listener under its own lock, so never hold ours
        // while we call into it.
        lock.unlock();
        auto& adapter = kt40sim::Adapter::instance();
        if (cmd == kReadWord)
            *value = onAdapter ? adapter.isaRead(offset) : 0xFFFF;  // nothing decodes the port
        else if (onAdapter)
            adapter.isaWrite(offset, *value);
        lock.lock();
        return kStatusSuccess;
    }

    uint32_t intEnable(void* rec, uint32_t size) {
        if (size != kInterruptRecordSize || !rec) return kStatusInvalidParameter;
        if (!irqRegistered(word(rec, 0))) return kStatusInvalidHandle;
        if (refuseEnable_) return refuseEnable_;
        if (intEnabled_) return kStatusAlreadyDone;
        intEnabled_ = true;
        pendingEdges_ = 0;
        counter_ = 0;
        lost_ = 0;
        return kStatusSuccess;
    }

    uint32_t intWait(std::unique_lock<std::mutex>& lock, void* rec, uint32_t size) {
        if (size != kInterruptRecordSize || !rec) return kStatusInvalidParameter;
        if (!irqRegistered(word(rec, 0))) return kStatusInvalidHandle;
        const uint64_t generation = generation_;
        ++waiting_;
        auto over = [&] {
            return !present_ || !intEnabled_ || !endWaits_.empty() || pendingEdges_ > 0 || generation != generation_;
        };
        // The modules run on the clock: the wait brings them up to time when
        // the next of them is due (an overflow, a trigger), so that the LAM it
        // raises comes as an interrupt. A bench in another program changes the
        // crate's image without a word to us: it is looked at every 20 ms.
        while (!over()) {
            lock.unlock();
            auto& adapter = kt40sim::Adapter::instance();
            adapter.tick();  // a LAM that came raises the line: edge() under our lock
            const int64_t next = adapter.nextEventNs();
            lock.lock();
            if (over()) break;
            const int64_t left = next == kt40sim::kNever ? kTickNs : next - kt40sim::realTimeNs();
            cv_.wait_for(lock, std::chrono::nanoseconds(std::clamp<int64_t>(left, 0, kTickNs)), over);
        }
        --waiting_;
        uint32_t how;
        if (!intEnabled_ || generation != generation_) {
            how = 1;
        } else if (!endWaits_.empty()) {
            how = endWaits_.front();
            endWaits_.pop_front();
        } else if (pendingEdges_ > 0) {
            --pendingEdges_;
            ++counter_;
            how = 0;
        } else {
            how = 1;  // the service went away
        }
        setWord(rec, 9, counter_);
        setWord(rec, 10, lost_);
        setWord(rec, 11, how);
        return kStatusSuccess;
    }

    uint32_t intDisable(void* rec, uint32_t size) {
        if (size != kInterruptRecordSize || !rec) return kStatusInvalidParameter;
        if (!irqRegistered(word(rec, 0))) return kStatusInvalidHandle;
        if (!intEnabled_) return kStatusInterruptNotEnabled;
        intEnabled_ = false;
        cv_.notify_all();
        return kStatusSuccess;
    }

    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool present_ = true;
    uint32_t version_ = 621;
    uint32_t refuseStatus_ = 0;
    uint32_t refuseEnable_ = 0;
    std::set<uint32_t> unanswered_;
    std::set<Handle> handles_;
    Handle nextHandle_ = 0x100;
    std::map<uint32_t, Card> cards_;
    uint32_t nextCard_ = 1;
    // The newest requests; a LAM link that runs for days must not fill memory.
    static constexpr size_t kRequestLogCapacity = 1u << 16;
    std::deque<Request> log_;
    uint64_t logFirst_ = 0;  // number of the oldest entry in log_
    std::map<uint32_t, uint64_t> counts_;
    bool logTransfers_ = false;

    bool intEnabled_ = false;
    uint64_t pendingEdges_ = 0;
    uint32_t counter_ = 0;
    uint32_t lost_ = 0;
    std::deque<uint32_t> endWaits_;
    int waiting_ = 0;
    uint64_t generation_ = 0;
};

}  // namespace

Handle open(const char* path) { return Service::instance().open(path); }
bool deviceControl(Handle h, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize) {
    return Service::instance().deviceControl(h, code, in, inSize, out, outSize);
}
bool close(Handle h) { return Service::instance().close(h); }

void Controls::reset() { Service::instance().reset(); }
void Controls::setPresent(bool present) { Service::instance().setPresent(present); }
void Controls::setVersion(uint32_t version) { Service::instance().setVersion(version); }
void Controls::refuseRegistration(uint32_t status) { Service::instance().refuseRegistration(status); }
void Controls::setUnanswered(uint32_t code, bool unanswered) { Service::instance().setUnanswered(code, unanswered); }
void Controls::refuseInterruptEnable(uint32_t status) { Service::instance().refuseInterruptEnable(status); }
void Controls::endWait(uint32_t how) { Service::instance().endWait(how); }
void Controls::fireInterrupt() { Service::instance().fireInterrupt(); }
std::vector<Request> Controls::requests() const { return Service::instance().requests(); }
void Controls::clearRequests() { Service::instance().clearRequests(); }
void Controls::setLogTransfers(bool on) { Service::instance().setLogTransfers(on); }
int Controls::openHandles() const { return Service::instance().openHandles(); }
int Controls::registeredCards() const { return Service::instance().registeredCards(); }
bool Controls::interruptEnabled() const { return Service::instance().interruptEnabled(); }
int Controls::waitsInProgress() const { return Service::instance().waitsInProgress(); }
uint64_t Controls::requestCount(uint32_t code) const { return Service::instance().requestCount(code); }

Controls& controls() {
    static Controls c;
    return c;
}

}  // namespace wdsim
