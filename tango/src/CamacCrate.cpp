#include "CamacCrate.h"

#include "camactools.h"

#include "camac758.h"

#include <sys/time.h>

#include <strings.h>

#include <cstdio>

namespace camacds {

namespace {

constexpr const char* kBadArgument = "CAMAC_BadArgument";
constexpr const char* kAdapterFailed = "CAMAC_AdapterFailed";
constexpr const char* kNoX = "CAMAC_NoX";
constexpr const char* kNoQ = "CAMAC_NoQ";

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

// A named channel's attribute: reads and writes go to the device, which
// knows the channel's address.
class ChannelAttr : public Tango::Attr {
public:
    ChannelAttr(const std::string& name, bool writable)
        : Tango::Attr(name.c_str(), Tango::DEV_LONG, writable ? Tango::READ_WRITE : Tango::READ) {}
    void read(Tango::DeviceImpl* dev, Tango::Attribute& attr) override {
        static_cast<CamacCrate*>(dev)->readChannel(attr);
    }
    void write(Tango::DeviceImpl* dev, Tango::WAttribute& attr) override {
        static_cast<CamacCrate*>(dev)->writeChannel(attr);
    }
    bool is_allowed(Tango::DeviceImpl* dev, Tango::AttReqType) override {
        return static_cast<CamacCrate*>(dev)->ready();
    }
};

// The device properties, their defaults and what they mean (the class
// declares them with these texts).
const PropertyInfo kProperties[kPropertyCount] = {
    {"Crate", "",
     "The crate number 0-3 on the KT40 adapter. All crates of one adapter belong in one server instance "
     "(the adapter is one per process)."},
    {"LamAcknowledge", "10",
     "The function (0-15) the server sends to each station whose LAM it serves: F10 clears the LAM of most "
     "modules, F2 reads and clears a scaler. A station whose LAM stays is masked with F24 (State ALARM)."},
    {"PollPeriod", "1000", "How often, in ms (100-60000), the server tests the crate for its State."},
    {"RetryLimit", "30000",
     "While FAULT the server tries again after PollPeriod, twice as long each time, up to this many ms "
     "(1000-600000)."},
    {"Channels", "",
     "Named channels, one a line 'NAME: N A F-READ [F-WRITE] BITS [UNIT]' (for example 'counts: 2 0 0 24 "
     "counts' or 'level: 5 0 0 16 16 mV'): each becomes an attribute that reads with F-READ and, where "
     "F-WRITE is given, writes with it."},
};

CamacCrate::CamacCrate(Tango::DeviceClass* cls, const std::string& name)
    : Tango::Device_5Impl(cls, name.c_str(),
                          "One CAMAC crate of the KT40 adapter: CNAF, block and list actions, Z, C and the "
                          "inhibit; its LAMs as events; its State from the crate (on-line, adapter working)",
                          Tango::INIT, "Starting") {
    worker_ = std::thread(&CamacCrate::workLoop, this);
    try {
        init_device();
        constructed_ = true;
    } catch (...) {
        stopWorker();  // a joinable thread must not outlive a failed construction
        throw;
    }
}

void CamacCrate::stopWorker() {
    {
        std::lock_guard lock(queueMutex_);
        stop_ = true;
    }
    queueCv_.notify_all();
    if (worker_.joinable()) worker_.join();
}

CamacCrate::~CamacCrate() {
    stopWorker();
    delete_device();
    Tango::string_free(pushedStatus_);
}

namespace {

long numberProperty(Tango::DbDatum& datum, const PropertyInfo& info, long lo, long hi) {
    std::string text = info.fallback;
    if (!datum.is_empty()) datum >> text;
    long long v = 0;  // read as every face reads a number (camactools)
    if (!ct_parse_number(text.data(), text.size(), &v) || v < lo || v > hi)
        throw ArgumentError("the property " + std::string(info.name) + " must be " + std::to_string(lo) + "-" +
                            std::to_string(hi) + ", not '" + text + "'");
    return static_cast<long>(v);
}

}  // namespace

void CamacCrate::init_device() {
    {
        std::lock_guard lock(queueMutex_);
        checkNow_ = false;
    }
    removeChannels();
    show(Tango::INIT, "Starting");
    set_change_event("State", true, false);
    set_change_event("Status", true, false);
    setUp();
}

// Reads the properties, opens the adapter and links the LAM listener; any
// failure leaves the device FAULT, and what can mend itself (the database,
// an adapter held by another program) is tried again by the device thread.
void CamacCrate::setUp() {
    retry_ = Retry::None;
    try {
        Tango::DbData data;
        for (const PropertyInfo& p : kProperties) data.push_back(Tango::DbDatum(p.name));
        get_db_device()->get_property(data);
        if (data[0].is_empty()) throw ArgumentError("the property Crate (the crate number 0-3) is not set");
        std::string text;
        data[0] >> text;
        crate_ = parseCrate(text);
        std::string ack = kProperties[1].fallback;
        if (!data[1].is_empty()) data[1] >> ack;
        lamAck_ = parseLamAcknowledge(ack);
        pollPeriod_ = std::chrono::milliseconds(numberProperty(data[2], kProperties[2], 100, 60000));
        retryLimit_ = std::chrono::milliseconds(numberProperty(data[3], kProperties[3], 1000, 600000));
        wanted_.clear();
        std::vector<std::string> lines;
        if (!data[4].is_empty()) data[4] >> lines;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find_first_not_of(" \t") == std::string::npos) continue;
            try {
                Channel ch = parseChannel(lines[i]);
                for (const Channel& other : wanted_)
                    if (strcasecmp(other.name.c_str(), ch.name.c_str()) == 0)
                        throw ArgumentError("the channel " + ch.name + " is named twice");
                Tango::MultiClassAttribute* attrs = get_device_class()->get_class_attr();
                for (Tango::Attr* attr : attrs->get_attr_list())
                    if (strcasecmp(attr->get_name().c_str(), ch.name.c_str()) == 0 &&
                        !dynamic_cast<const ChannelAttr*>(attr))
                        throw ArgumentError("the channel " + ch.name + " has the name of an attribute of the class");
                wanted_.push_back(ch);
            } catch (const ArgumentError& e) {
                throw ArgumentError("the property Channels, line " + std::to_string(i + 1) + ": " + e.what());
            }
        }
    } catch (const ArgumentError& e) {
        ERROR_STREAM << "cannot start: " << e.what() << std::endl;
        show(Tango::FAULT, std::string("Cannot start: ") + e.what() + ". Set it and run Init.");
        return;
    } catch (const Tango::DevFailed& e) {
        const std::string why = e.errors.length() ? e.errors[0].desc.in() : "?";
        ERROR_STREAM << "cannot read the device properties: " << why << std::endl;
        retry_ = Retry::SetUp;
        show(Tango::FAULT, "Cannot read the device properties: " + why +
                               ". The server tries again until the database answers (or run Init).");
        return;
    }

    std::string why;
    if (!Bus::instance().open(why)) {
        ERROR_STREAM << "crate " << crate_ << ": " << why << std::endl;
        retry_ = Retry::SetUp;
        show(Tango::FAULT, "Crate " + std::to_string(crate_) + ": " + why +
                               ". The server tries again (or run Init to retry now).");
        return;
    }
    Bus::instance().setLamAcknowledge(crate_, lamAck_);
    if (!constructed_ && !wanted_.empty()) {
        // TANGO finds the device (as the attributes' properties need) only
        // once it is made: the device thread adds the channels, then ON.
        retry_ = Retry::Channels;
        wake();
        return;
    }
    try {
        addChannels();
    } catch (const Tango::DevFailed& e) {
        const std::string why = e.errors.length() ? e.errors[0].desc.in() : "?";
        ERROR_STREAM << "cannot add the channels: " << why << std::endl;
        show(Tango::FAULT, "Cannot add the channels of the property Channels: " + why + ". Run Init.");
        return;
    }

    uint64_t generation;
    {
        std::lock_guard lock(queueMutex_);
        generation = ++generation_;
    }
    if (listener_) Bus::instance().removeListener(listener_);
    listener_ = Bus::instance().addListener(crate_, [this, generation](const LamEvent& ev) {
        {
            std::lock_guard lock(queueMutex_);
            queue_.emplace_back(generation, ev);
        }
        queueCv_.notify_one();
    });
    INFO_STREAM << "serving crate " << crate_ << " (LAMs acknowledged with F" << lamAck_ << ", state tested every "
                << pollPeriod_.count() << " ms)" << std::endl;
    refresh();
}

void CamacCrate::refresh() {
    const CrateHealth health = Bus::instance().health(crate_);
    const Judgement j = judge(crate_, health);
    retry_ = j.state == CrateState::Fault ? Retry::Health : Retry::None;
    static const Tango::DevState states[] = {Tango::ON, Tango::ALARM, Tango::OFF, Tango::FAULT};
    show(states[static_cast<int>(j.state)], j.status);
}

// Sets State and Status; when either changed, pushes both as change events
// and logs the change.
void CamacCrate::show(Tango::DevState state, const std::string& status) {
    const Tango::DevState before = get_state();
    const bool changed = state != before || status != status_;
    set_state(state);
    status_ = status;
    set_status(status);
    if (!changed) return;
    if (state == Tango::FAULT || state == Tango::OFF) {
        WARN_STREAM << Tango::DevStateName[state] << ": " << status << std::endl;
    } else if (state == Tango::ALARM) {
        WARN_STREAM << "ALARM: " << status << std::endl;
    } else if (state == Tango::ON && (before == Tango::FAULT || before == Tango::OFF || before == Tango::ALARM)) {
        INFO_STREAM << "recovered (" << Tango::DevStateName[before] << " -> ON): " << status << std::endl;
    }
    try {
        pushedState_ = state;
        push_change_event("State", &pushedState_);
        Tango::string_free(pushedStatus_);
        pushedStatus_ = Tango::string_dup(status.c_str());
        push_change_event("Status", &pushedStatus_);
    } catch (const Tango::DevFailed& e) {
        DEBUG_STREAM << "pushing State/Status failed: " << (e.errors.length() ? e.errors[0].desc.in() : "?")
                     << std::endl;
    }
}

void CamacCrate::delete_device() {
    if (listener_) Bus::instance().removeListener(listener_);
    listener_ = 0;
    // The channels stay: on the Init command init_device() removes them, and
    // a device being deleted takes its attributes with it (removing them here
    // would reach into the class's list of devices while TANGO empties it).
    std::lock_guard lock(queueMutex_);
    ++generation_;
    queue_.clear();
}

// The channels as dynamic attributes. TANGO keeps one Attr per name for the
// whole class, so what is particular to this device (address, unit) lives in
// the device and in the attribute's properties.
void CamacCrate::addChannels() {
    channels_.clear();
    channels_.reserve(wanted_.size());
    for (const Channel& ch : wanted_) {
        // After the admin device's Init the class still holds the channel's
        // Attr, and the new device got the attribute from it already.
        bool present = true;
        try {
            dev_attr->get_attr_ind_by_name(ch.name.c_str());
        } catch (const Tango::DevFailed&) {
            present = false;
        }
        if (!present) add_attribute(new ChannelAttr(ch.name, ch.fWrite >= 0));
        channels_.push_back({ch, 0});
        Tango::Attribute& attr = dev_attr->get_attr_by_name(ch.name.c_str());
        Tango::MultiAttrProp<Tango::DevLong> props;
        attr.get_properties(props);
        props.label = ch.name;
        props.unit = ch.unit;
        props.format = "%d";
        props.description = "Channel " + ch.name + " (property Channels): N" + std::to_string(ch.n) + " A" +
                            std::to_string(ch.a) + " read with F" + std::to_string(ch.fRead) +
                            (ch.fWrite >= 0 ? ", written with F" + std::to_string(ch.fWrite) : "") + ", " +
                            (ch.wide ? "24" : "16") + " bits; Q = 0 makes the value INVALID, no X an error";
        if (ch.fWrite >= 0) {
            props.min_value = "0";
            props.max_value = std::to_string(ch.wide ? 0xFFFFFF : 0xFFFF);
        }
        attr.set_properties(props);
        INFO_STREAM << "channel " << ch.name << " at N" << ch.n << " A" << ch.a << std::endl;
    }
}

void CamacCrate::removeChannels() {
    for (const Served& s : channels_) {
        std::string name = s.channel.name;
        try {
            remove_attribute(name, false, false);
        } catch (const Tango::DevFailed&) {
            // Already gone with the device.
        }
    }
    channels_.clear();
}

CamacCrate::Served& CamacCrate::channel(const std::string& name) {
    for (Served& s : channels_)
        if (strcasecmp(s.channel.name.c_str(), name.c_str()) == 0) return s;
    Tango::Except::throw_exception("API_AttrNotFound", "no channel " + name + " on this device",
                                   "CamacCrate::channel");
}

void CamacCrate::readChannel(Tango::Attribute& attr) {
    Served& s = channel(attr.get_name());
    const Channel& ch = s.channel;
    const Result r = onBus("CamacCrate::read_channel",
                           [&] { return Bus::instance().cnaf(crate_, {ch.n, ch.a, ch.fRead, 0, ch.wide}); });
    if (!r.x)
        Tango::Except::throw_exception(kNoX, "Crate " + std::to_string(crate_) + ": channel " + ch.name + " at N" +
                                                 std::to_string(ch.n) + " gave no X (no module, or no F" +
                                                 std::to_string(ch.fRead) + ")",
                                       "CamacCrate::read_channel");
    s.value = r.data;
    attr.set_value(&s.value);
    if (!r.q) attr.set_quality(Tango::ATTR_INVALID);
}

void CamacCrate::writeChannel(Tango::WAttribute& attr) {
    Served& s = channel(attr.get_name());
    const Channel& ch = s.channel;
    Tango::DevLong v = 0;
    attr.get_write_value(v);
    const Result r = onBus("CamacCrate::write_channel", [&] {
        const Action act = parseCnaf({ch.n, ch.a, ch.fWrite, v, ch.wide ? 24 : 16});
        return Bus::instance().cnaf(crate_, act);
    });
    if (!r.x)
        Tango::Except::throw_exception(kNoX, "Crate " + std::to_string(crate_) + ": channel " + ch.name + " at N" +
                                                 std::to_string(ch.n) + " gave no X (no module, or no F" +
                                                 std::to_string(ch.fWrite) + ")",
                                       "CamacCrate::write_channel");
}

void CamacCrate::wake() {
    {
        std::lock_guard lock(queueMutex_);
        checkNow_ = true;
    }
    queueCv_.notify_one();
}

Tango::ConstDevString CamacCrate::dev_status() {
    device_status = status_;
    return device_status.c_str();
}

template <typename Fn>
auto CamacCrate::onBus(const char* origin, Fn&& fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (const ArgumentError& e) {
        Tango::Except::throw_exception(kBadArgument, e.what(), origin);
    } catch (const AdapterError& e) {
        // A module without X or Q is the module's answer; anything else is
        // the adapter's failure, and the crate is tested again at once.
        const char* reason = e.error() == CAMAC_ERR_NO_X   ? kNoX
                             : e.error() == CAMAC_ERR_NO_Q ? kNoQ
                                                           : kAdapterFailed;
        if (reason == kAdapterFailed) {
            ERROR_STREAM << "crate " << crate_ << ": " << e.what() << std::endl;
            wake();
        }
        Tango::Except::throw_exception(reason, "Crate " + std::to_string(crate_) + ": " + e.what(), origin);
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

void CamacCrate::readLamCount(Tango::Attribute& attr) {
    lamCount_ = Bus::instance().lamCount(crate_);
    attr.set_value(&lamCount_);
}

void CamacCrate::readLastQ(Tango::Attribute& attr) {
    q_ = Bus::instance().lastAction(crate_).q;
    attr.set_value(&q_);
}

void CamacCrate::readLastX(Tango::Attribute& attr) {
    x_ = Bus::instance().lastAction(crate_).x;
    attr.set_value(&x_);
}

void CamacCrate::readLastStatusRecord(Tango::Attribute& attr) {
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

// The device thread: pushes each LAM the bus delivered, and between LAMs
// tests the crate every PollPeriod (while FAULT: retries, waiting longer each
// time). Both under the device's monitor, as TANGO requires of a thread of
// its own.
void CamacCrate::workLoop() {
    omni_thread::ensure_self self;
    auto wait = pollPeriod_;
    auto next = std::chrono::steady_clock::now() + wait;
    for (;;) {
        std::pair<uint64_t, LamEvent> item;
        bool lam = false;
        {
            std::unique_lock lock(queueMutex_);
            queueCv_.wait_until(lock, next, [this] { return stop_ || !queue_.empty() || checkNow_; });
            if (stop_) return;
            if (!queue_.empty()) {
                item = queue_.front();
                queue_.pop_front();
                lam = true;
            } else if (!checkNow_ && std::chrono::steady_clock::now() < next) {
                continue;
            }
            checkNow_ = false;
        }
        try {
            Tango::AutoTangoMonitor monitor(this);
            {
                std::lock_guard lock(queueMutex_);
                if (stop_) return;
                if (lam && item.first != generation_) continue;
            }
            if (lam) {
                pushLam(item.second);
                continue;
            }
            if (retry_ == Retry::Channels) {
                bool known = true;
                try {
                    Tango::Util::instance()->get_device_by_name(get_name());
                } catch (const Tango::DevFailed&) {
                    known = false;  // not yet in the class's list: soon
                }
                if (!known) {
                    next = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
                    continue;
                }
                setUp();
            } else if (retry_ == Retry::SetUp) {
                setUp();
            } else if (crate_ >= 0 && get_state() != Tango::INIT &&
                       (retry_ == Retry::Health || get_state() != Tango::FAULT)) {
                refresh();
            }
            wait = retry_ == Retry::None ? pollPeriod_ : std::min(std::max(wait * 2, pollPeriod_), retryLimit_);
        } catch (const Tango::DevFailed& e) {
            DEBUG_STREAM << "device thread: " << (e.errors.length() ? e.errors[0].desc.in() : "?") << std::endl;
        }
        next = std::chrono::steady_clock::now() + wait;
    }
}

#pragma GCC diagnostic pop

// One LAM as events: the pattern seen (change and archive events), the data-
// ready event numbered by the LAM, the counter, then the pattern after the
// acknowledgement. A client sees a lost or repeated event as a gap or a
// repeat of the counter.
void CamacCrate::pushLam(const LamEvent& ev) {
    const auto stamp = [](std::chrono::system_clock::time_point t) {
        const auto since = t.time_since_epoch();
        struct timeval when {};
        when.tv_sec = static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
        when.tv_usec = static_cast<suseconds_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(since).count() % 1000000);
        return when;
    };
    try {
        struct timeval seen = stamp(ev.when);
        pushedPattern_ = ev.pattern;
        push_change_event("LamPattern", &pushedPattern_, seen, Tango::ATTR_VALID);
        push_archive_event("LamPattern", &pushedPattern_, seen, Tango::ATTR_VALID);
        push_data_ready_event("LamPattern", static_cast<Tango::DevLong>(ev.sequence));
        pushedCount_ = ev.sequence;
        push_change_event("LamCount", &pushedCount_, seen, Tango::ATTR_VALID);
        push_archive_event("LamCount", &pushedCount_, seen, Tango::ATTR_VALID);
        struct timeval after = stamp(ev.afterWhen);
        pushedPattern_ = ev.after;
        push_change_event("LamPattern", &pushedPattern_, after, Tango::ATTR_VALID);
        push_archive_event("LamPattern", &pushedPattern_, after, Tango::ATTR_VALID);
    } catch (const Tango::DevFailed& e) {
        ERROR_STREAM << "pushing a LAM event of crate " << crate_
                     << " failed: " << (e.errors.length() ? e.errors[0].desc.in() : "?") << std::endl;
    }
    if (const uint32_t masked = Bus::instance().maskedStations(crate_); masked && get_state() == Tango::ON) refresh();
}

}  // namespace camacds
