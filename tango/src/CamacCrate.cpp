#include "CamacCrate.h"

#include <sys/time.h>

#include <cstdio>

namespace camacds {

namespace {

constexpr const char* kBadArgument = "CAMAC_BadArgument";
constexpr const char* kAdapterFailed = "CAMAC_AdapterFailed";

std::vector<int32_t> toVector(const Tango::DevVarLongArray& in) {
    std::vector<int32_t> v(in.length());
    for (CORBA::ULong i = 0; i < in.length(); ++i) v[i] = in[i];
    return v;
}

Tango::DevVarLongArray* toArray(const std::vector<int32_t>& v) {
    auto* out = new Tango::DevVarLongArray;
    out->length(static_cast<CORBA::ULong>(v.size()));
    for (size_t i = 0; i < v.size(); ++i) (*out)[static_cast<CORBA::ULong>(i)] = v[i];
    return out;
}

}  // namespace

CamacCrate::CamacCrate(Tango::DeviceClass* cls, const std::string& name)
    : Tango::Device_5Impl(cls, name.c_str()) {
    pusher_ = std::thread(&CamacCrate::pushLoop, this);
    init_device();
}

CamacCrate::~CamacCrate() {
    delete_device();
    {
        std::lock_guard lock(queueMutex_);
        stop_ = true;
    }
    queueCv_.notify_all();
    pusher_.join();
}

void CamacCrate::init_device() {
    set_state(Tango::INIT);
    status_.clear();
    try {
        Tango::DbData data;
        data.push_back(Tango::DbDatum("Crate"));
        get_db_device()->get_property(data);
        std::string text;
        if (data[0].is_empty()) throw ArgumentError("the property Crate (the crate number 0-3) is not set");
        data[0] >> text;
        crate_ = parseCrate(text);
    } catch (const ArgumentError& e) {
        status_ = std::string("Cannot start: ") + e.what() + ". Set it and run Init.";
        set_state(Tango::FAULT);
        return;
    } catch (const Tango::DevFailed& e) {
        status_ = std::string("Cannot read the device properties: ") + e.errors[0].desc.in() + ". Run Init to retry.";
        set_state(Tango::FAULT);
        return;
    }

    std::string why;
    if (!Bus::instance().open(why)) {
        status_ = "Crate " + std::to_string(crate_) + ": " + why + ". Run Init to retry.";
        set_state(Tango::FAULT);
        return;
    }

    uint64_t generation;
    {
        std::lock_guard lock(queueMutex_);
        generation = ++generation_;
    }
    listener_ = Bus::instance().addListener(crate_, [this, generation](const LamEvent& ev) {
        {
            std::lock_guard lock(queueMutex_);
            queue_.emplace_back(generation, ev);
        }
        queueCv_.notify_one();
    });
    set_state(Tango::ON);
}

void CamacCrate::delete_device() {
    if (listener_) Bus::instance().removeListener(listener_);
    listener_ = 0;
    std::lock_guard lock(queueMutex_);
    ++generation_;
    queue_.clear();
}

Tango::ConstDevString CamacCrate::dev_status() {
    if (get_state() != Tango::ON) {
        device_status = status_.empty() ? "Starting" : status_;
        return device_status.c_str();
    }
    const CamacStatus s = Bus::instance().lastStatus(crate_);
    char text[320];
    std::snprintf(text, sizeof text,
                  "Crate %d ready. Last call: error 0x%04x, X %d, Q %d, L %d, I %d, LAM pattern 0x%06x, "
                  "bit 11 %d, bit 10 %d, last read %d, last written %d",
                  crate_, s.error, s.x, s.q, s.l, s.i, static_cast<unsigned>(s.lamPattern), s.bit11, s.bit10,
                  static_cast<int>(s.lastRead), static_cast<int>(s.lastWritten));
    device_status = text;
    if (const uint32_t masked = Bus::instance().maskedStations(crate_)) {
        device_status += ". LAM masked (F24) at stations";
        for (int n = 1; n <= kStations; ++n)
            if (masked & (1u << (n - 1))) device_status += " " + std::to_string(n);
        device_status += ": they kept their LAM after F10; unmask them with F26";
    }
    if (const std::string error = Bus::instance().lamError(); !error.empty())
        device_status += ". LAMs are not served: " + error;
    return device_status.c_str();
}

template <typename Fn>
auto CamacCrate::onBus(const char* origin, Fn&& fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (const ArgumentError& e) {
        Tango::Except::throw_exception(kBadArgument, e.what(), origin);
    } catch (const AdapterError& e) {
        Tango::Except::throw_exception(kAdapterFailed, "Crate " + std::to_string(crate_) + ": " + e.what(),
                                       origin);
    }
    throw std::logic_error("unreachable");
}

Tango::DevVarLongArray* CamacCrate::cnaf(const Tango::DevVarLongArray* in) {
    return onBus("CamacCrate::CNAF", [&] {
        const Action act = parseCnaf(toVector(*in));
        const Result r = Bus::instance().cnaf(crate_, act);
        return toArray({r.data, r.q, r.x});
    });
}

Tango::DevVarLongArray* CamacCrate::block(const Tango::DevVarLongStringArray* in) {
    return onBus("CamacCrate::Block", [&] {
        std::vector<std::string> texts;
        for (CORBA::ULong i = 0; i < in->svalue.length(); ++i) texts.emplace_back(in->svalue[i].in());
        const BlockRequest req = parseBlock(toVector(in->lvalue), texts);
        return toArray(Bus::instance().block(crate_, req));
    });
}

Tango::DevVarLongArray* CamacCrate::execList(const Tango::DevVarLongArray* in) {
    return onBus("CamacCrate::ExecList", [&] {
        const std::vector<Action> list = parseList(toVector(*in));
        const std::vector<Result> results = Bus::instance().execList(crate_, list);
        std::vector<int32_t> out;
        out.reserve(results.size() * 3);
        for (const Result& r : results) out.insert(out.end(), {r.data, r.q, r.x});
        return toArray(out);
    });
}

void CamacCrate::z() {
    onBus("CamacCrate::Z", [&] { Bus::instance().initialise(crate_); });
}

void CamacCrate::c() {
    onBus("CamacCrate::C", [&] { Bus::instance().clear(crate_); });
}

void CamacCrate::readInhibit(Tango::Attribute& attr) {
    inhibit_ = onBus("CamacCrate::read_Inhibit", [&] { return Bus::instance().inhibit(crate_); });
    attr.set_value(&inhibit_);
}

void CamacCrate::writeInhibit(Tango::WAttribute& attr) {
    Tango::DevBoolean on = false;
    attr.get_write_value(on);
    onBus("CamacCrate::write_Inhibit", [&] { Bus::instance().setInhibit(crate_, on); });
}

void CamacCrate::readLamPattern(Tango::Attribute& attr) {
    lamPattern_ = onBus("CamacCrate::read_LamPattern", [&] { return Bus::instance().lamPattern(crate_); });
    attr.set_value(&lamPattern_);
}

void CamacCrate::readQ(Tango::Attribute& attr) {
    q_ = Bus::instance().lastAction(crate_).q;
    attr.set_value(&q_);
}

void CamacCrate::readX(Tango::Attribute& attr) {
    x_ = Bus::instance().lastAction(crate_).x;
    attr.set_value(&x_);
}

void CamacCrate::readStatusRecord(Tango::Attribute& attr) {
    const CamacStatus s = Bus::instance().lastStatus(crate_);
    const Tango::DevLong words[10] = {s.error, s.x,     s.q,     s.l,          s.i,
                                      static_cast<Tango::DevLong>(s.lamPattern),
                                      s.bit11, s.bit10, s.lastRead, s.lastWritten};
    std::copy(std::begin(words), std::end(words), statusRecord_);
    attr.set_value(statusRecord_, 10);
}

// AutoTangoMonitor's switch over the serialisation models leaves its pointer
// unset for a model it does not name, which GCC reports here.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// The event thread: takes each LAM the bus delivered and pushes it, under the
// device's monitor as TANGO requires of a thread of its own. The data-ready
// counter is the LAM's sequence number, so a client sees a lost or repeated
// event as a gap or a repeat.
void CamacCrate::pushLoop() {
    omni_thread::ensure_self self;
    for (;;) {
        std::pair<uint64_t, LamEvent> item;
        {
            std::unique_lock lock(queueMutex_);
            queueCv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_) return;
            item = queue_.front();
            queue_.pop_front();
        }
        try {
            Tango::AutoTangoMonitor monitor(this);
            {
                std::lock_guard lock(queueMutex_);
                if (item.first != generation_ || stop_) continue;
            }
            const auto since = item.second.when.time_since_epoch();
            struct timeval when {};
            when.tv_sec = static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
            when.tv_usec = static_cast<suseconds_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(since).count() % 1000000);
            pushedPattern_ = item.second.pattern;
            push_change_event("LamPattern", &pushedPattern_, when, Tango::ATTR_VALID);
            push_data_ready_event("LamPattern", static_cast<Tango::DevLong>(item.second.sequence));
        } catch (const Tango::DevFailed& e) {
            std::fprintf(stderr, "CamacDS: pushing a LAM event of crate %d failed: %s\n", crate_,
                         e.errors.length() ? e.errors[0].desc.in() : "?");
        }
    }
}

#pragma GCC diagnostic pop

}  // namespace camacds
