// The TANGO class CamacCrate: its commands, attributes and devices.
#pragma once

#include <tango.h>

namespace camacds {

class CamacCrateClass : public Tango::DeviceClass {
public:
    static CamacCrateClass* init(const char* name);
    static CamacCrateClass* instance();

protected:
    explicit CamacCrateClass(const std::string& name);
    void command_factory() override;
    void attribute_factory(std::vector<Tango::Attr*>& list) override;
    void device_factory(const Tango::DevVarStringArray* devices) override;

private:
    static CamacCrateClass* instance_;
};

}  // namespace camacds
