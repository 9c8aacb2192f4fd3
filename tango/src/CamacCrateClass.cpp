#include "CamacCrateClass.h"

#include "CamacCrate.h"

namespace camacds {

namespace {

CamacCrate* crateOf(Tango::DeviceImpl* dev) { return static_cast<CamacCrate*>(dev); }

// Commands and attributes act only on a device that is ON: in FAULT nothing
// reaches the adapter.
template <typename In>
struct Cmd : public Tango::Command {
    using Fn = Tango::DevVarLongArray* (CamacCrate::*)(const In*);
    Cmd(const char* name, Tango::CmdArgType in, const char* inDesc, const char* outDesc, Fn fn)
        : Tango::Command(name, in, Tango::DEVVAR_LONGARRAY, inDesc, outDesc), fn_(fn) {}
    CORBA::Any* execute(Tango::DeviceImpl* dev, const CORBA::Any& any) override {
        const In* in = nullptr;
        extract(any, in);
        return insert((crateOf(dev)->*fn_)(in));
    }
    bool is_allowed(Tango::DeviceImpl* dev, const CORBA::Any&) override { return crateOf(dev)->ready(); }
    Fn fn_;
};

struct VoidCmd : public Tango::Command {
    using Fn = void (CamacCrate::*)();
    // A command without argument: its description stands as the argument's,
    // where a generic client (Jive) shows it.
    VoidCmd(const char* name, const char* desc, Fn fn)
        : Tango::Command(name, Tango::DEV_VOID, Tango::DEV_VOID, desc, ""), fn_(fn) {}
    CORBA::Any* execute(Tango::DeviceImpl* dev, const CORBA::Any&) override {
        (crateOf(dev)->*fn_)();
        return insert();
    }
    bool is_allowed(Tango::DeviceImpl* dev, const CORBA::Any&) override { return crateOf(dev)->ready(); }
    Fn fn_;
};

template <typename Base>
struct Att : public Base {
    using Read = void (CamacCrate::*)(Tango::Attribute&);
    using Write = void (CamacCrate::*)(Tango::WAttribute&);
    template <typename... Args>
    Att(Read read, Write write, Args&&... args) : Base(std::forward<Args>(args)...), read_(read), write_(write) {}
    void read(Tango::DeviceImpl* dev, Tango::Attribute& attr) override { (crateOf(dev)->*read_)(attr); }
    void write(Tango::DeviceImpl* dev, Tango::WAttribute& attr) override { (crateOf(dev)->*write_)(attr); }
    bool is_allowed(Tango::DeviceImpl* dev, Tango::AttReqType) override { return crateOf(dev)->ready(); }
    Read read_;
    Write write_;
};

}  // namespace

CamacCrateClass* CamacCrateClass::instance_ = nullptr;

CamacCrateClass::CamacCrateClass(const std::string& name) : Tango::DeviceClass(const_cast<std::string&>(name)) {
    declareProperties();
    writeClassProperties();
}

CamacCrateClass::~CamacCrateClass() { instance_ = nullptr; }

CamacCrateClass* CamacCrateClass::init(const char* name) {
    if (!instance_) instance_ = new CamacCrateClass(name);
    return instance_;
}

CamacCrateClass* CamacCrateClass::instance() { return instance_; }

void CamacCrateClass::declareProperties() {
    for (const PropertyInfo& p : kProperties) {
        std::string name = p.name, desc = p.description, fallback = p.fallback;
        if (fallback.empty()) add_wiz_dev_prop(name, desc);
        else add_wiz_dev_prop(name, desc, fallback);
    }
}

void CamacCrateClass::writeClassProperties() {
    if (!Tango::Util::instance()->_UseDb) return;
    Tango::DbData data;
    Tango::DbDatum description("Description");
    std::string text = kDescription;
    description << text;
    data.push_back(description);
    try {
        get_db_class()->put_property(data);
    } catch (const Tango::DevFailed&) {
        // The database is down: the class works without its description.
    }
}

void CamacCrateClass::command_factory() {
    command_list.push_back(new Cmd<Tango::DevVarLongArray>(
        "CNAF", Tango::DEVVAR_LONGARRAY,
        "[N, A, F], [N, A, F, data] or [N, A, F, data, bits]: station N 1-24, subaddress A 0-15, function F "
        "0-31; data (0-0xFFFF, 0-0xFFFFFF with bits 24) only for the writes F16-F23, else 0; bits 16 or 24",
        "[data, Q, X] of this call: data read (F0-F7, else 0), Q and X 0 or 1", &CamacCrate::cnaf));
    command_list.push_back(new Cmd<Tango::DevVarLongStringArray>(
        "Block", Tango::DEVVAR_LONGSTRINGARRAY,
        "numbers [N, A, F, count 1-65536, data words (writes F16-F23 only, count of them)], texts [mode] or "
        "[mode, bits 16|24]; mode qstop (ends at Q = 0), qrepeat (repeats each until Q = 1), count (count "
        "actions whatever Q says) or countq (as count, and each word's Q)",
        "the words transferred (countq: the words, then the Q 0|1 of each)", &CamacCrate::block));
    command_list.push_back(new Cmd<Tango::DevVarLongArray>(
        "ExecList", Tango::DEVVAR_LONGARRAY,
        "actions of five numbers each, at most 4096: [N, A, F, data, bits 16|24] ... (data 0 unless a write)",
        "[data, Q, X] of each action of this call, in order", &CamacCrate::execList));
    command_list.push_back(new VoidCmd("Z", "Dataway initialise (Z): initialises the modules, sets the inhibit",
                                       &CamacCrate::z));
    command_list.push_back(new VoidCmd("C", "Dataway clear (C): clears the modules", &CamacCrate::c));
}

namespace {

void describe(Tango::Attr* attr, const char* label, const char* description, const char* unit = "",
              const char* format = nullptr) {
    Tango::UserDefaultAttrProp props;
    props.set_label(label);
    props.set_description(description);
    if (*unit) props.set_unit(unit);
    if (format) props.set_format(format);
    attr->set_default_properties(props);
}

}  // namespace

void CamacCrateClass::attribute_factory(std::vector<Tango::Attr*>& list) {
    auto* inhibit = new Att<Tango::Attr>(&CamacCrate::readInhibit, &CamacCrate::writeInhibit, "Inhibit",
                                         Tango::DEV_BOOLEAN, Tango::READ_WRITE);
    describe(inhibit, "Inhibit", "The dataway inhibit I of the crate: true while set (Z sets it)");
    list.push_back(inhibit);

    auto* lam = new Att<Tango::Attr>(&CamacCrate::readLamPattern, nullptr, "LamPattern", Tango::DEV_ULONG);
    describe(lam, "LAM pattern",
             "Stations requesting attention: bit k is station k+1 (1-24). Each LAM the server serves comes as "
             "two change and archive events: the pattern seen, then the pattern after the acknowledgement "
             "(0 when served); the data-ready event's counter is the LAM's number (LamCount)",
             "", "0x%06X");
    lam->set_change_event(true, false);
    lam->set_archive_event(true, false);
    lam->set_data_ready_event(true);
    list.push_back(lam);

    auto* count = new Att<Tango::Attr>(&CamacCrate::readLamCount, nullptr, "LamCount", Tango::DEV_ULONG64);
    describe(count, "LAMs served",
             "LAMs of this crate the server has served since it started; pushed with each (change and "
             "archive events)",
             "LAMs", "%d");
    count->set_change_event(true, false);
    count->set_archive_event(true, false);
    list.push_back(count);

    auto* q = new Att<Tango::Attr>(&CamacCrate::readLastQ, nullptr, "LastQ", Tango::DEV_BOOLEAN);
    describe(q, "Last Q",
             "Q of the crate's last addressed action, by any client: for your own call take the Q that CNAF, "
             "ExecList or Block hands back");
    list.push_back(q);
    auto* x = new Att<Tango::Attr>(&CamacCrate::readLastX, nullptr, "LastX", Tango::DEV_BOOLEAN);
    describe(x, "Last X",
             "X of the crate's last addressed action, by any client: for your own call take the X that CNAF "
             "or ExecList hands back");
    list.push_back(x);

    auto* record = new Att<Tango::SpectrumAttr>(&CamacCrate::readLastStatusRecord, nullptr, "LastStatusRecord",
                                                Tango::DEV_LONG, 10L);
    describe(record, "Last status record",
             "The library's status record as the crate's last call (by any client) left it, ten numbers: "
             "[0] error (0 or the failed wait's code), [1] X, [2] Q, [3] L, [4] I, [5] LAM pattern, [6] bit 11, "
             "[7] bit 10 (crate on-line), [8] last word read from this crate, [9] last word written to it");
    list.push_back(record);
}
void CamacCrateClass::device_factory(const Tango::DevVarStringArray* devices) {
    for (CORBA::ULong i = 0; i < devices->length(); ++i) {
        device_list.push_back(new CamacCrate(this, (*devices)[i].in()));
        export_device(device_list.back());
    }
}

}  // namespace camacds
