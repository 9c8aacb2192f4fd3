// The TANGO class CamacCrate: its commands, attributes and devices.
#pragma once

#include <tango.h>

namespace camacds {

class CamacCrateClass : public Tango::DeviceClass {
public:
    static CamacCrateClass* init(const char* name);
    static CamacCrateClass* instance();
    // TANGO deletes the class on RestartServer and the admin device's Init,
    // then asks class_factory for a new one: the instance goes with it.
    ~CamacCrateClass() override;

    static constexpr const char* kDescription =
        "The CAMAC crates of a KT40 adapter: one device per crate (property Crate), with CNAF, block and list "
        "actions, Z, C and the inhibit; every LAM pushed as change, archive and data-ready events; State "
        "ON, ALARM, OFF or FAULT as the crate is. All crates of one adapter belong in one server instance.";

protected:
    explicit CamacCrateClass(const std::string& name);
    void command_factory() override;
    void attribute_factory(std::vector<Tango::Attr*>& list) override;
    void device_factory(const Tango::DevVarStringArray* devices) override;

private:
    void declareProperties();     // for Jive's wizard (QueryWizardDevProperty)
    void writeClassProperties();  // the class description, in the database
    static CamacCrateClass* instance_;
};

}  // namespace camacds
