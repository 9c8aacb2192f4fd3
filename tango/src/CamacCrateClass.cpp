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

CamacCrateClass::CamacCrateClass(const std::string& name) : Tango::DeviceClass(const_cast<std::string&>(name)) {}

CamacCrateClass* CamacCrateClass::init(const char* name) {
    if (!instance_) instance_ = new CamacCrateClass(name);
    return instance_;
}

CamacCrateClass* CamacCrateClass::instance() { return instance_; }

void CamacCrateClass::command_factory() {
    command_list.push_back(new Cmd<Tango::DevVarLongArray>(
        "CNAF", Tango::DEVVAR_LONGARRAY, "[N, A, F] or [N, A, F, data] or [N, A, F, data, bits 16|24]",
        "[data, Q, X]", &CamacCrate::cnaf));
    command_list.push_back(new Cmd<Tango::DevVarLongStringArray>(
        "Block", Tango::DEVVAR_LONGSTRINGARRAY,
        "numbers [N, A, F, count, data to write...], texts [mode qstop|qrepeat|count] or [mode, bits 16|24]",
        "the words transferred", &CamacCrate::block));
    command_list.push_back(new Cmd<Tango::DevVarLongArray>(
        "ExecList", Tango::DEVVAR_LONGARRAY, "actions of five numbers each: [N, A, F, data, bits 16|24] ...",
        "[data, Q, X] for each action", &CamacCrate::execList));
    command_list.push_back(new VoidCmd("Z", "dataway initialise", &CamacCrate::z));
    command_list.push_back(new VoidCmd("C", "dataway clear", &CamacCrate::c));
}

void CamacCrateClass::attribute_factory(std::vector<Tango::Attr*>& list) {
    list.push_back(new Att<Tango::Attr>(&CamacCrate::readInhibit, &CamacCrate::writeInhibit, "Inhibit",
                                        Tango::DEV_BOOLEAN, Tango::READ_WRITE));
    auto* lam = new Att<Tango::Attr>(&CamacCrate::readLamPattern, nullptr, "LamPattern", Tango::DEV_ULONG);
    lam->set_change_event(true, false);
    lam->set_data_ready_event(true);
    list.push_back(lam);
    list.push_back(new Att<Tango::Attr>(&CamacCrate::readQ, nullptr, "Q", Tango::DEV_BOOLEAN));
    list.push_back(new Att<Tango::Attr>(&CamacCrate::readX, nullptr, "X", Tango::DEV_BOOLEAN));
    list.push_back(new Att<Tango::SpectrumAttr>(&CamacCrate::readStatusRecord, nullptr, "StatusRecord",
                                                Tango::DEV_LONG, 10L));
}

void CamacCrateClass::device_factory(const Tango::DevVarStringArray* devices) {
    for (CORBA::ULong i = 0; i < devices->length(); ++i) {
        device_list.push_back(new CamacCrate(this, (*devices)[i].in()));
        export_device(device_list.back());
    }
}

}  // namespace camacds
