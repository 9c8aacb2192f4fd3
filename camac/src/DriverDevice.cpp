// The packed path through kt40drv's device: every request one
// device-control call. On Windows the device is the driver's own; on Linux
// (KT40_ADAPTER=virtual-pci) the same driver's under the stand-in kernel,
// driving the virtual adapter's PCI face.
#include <new>

#include "Packed.h"
#include "kt40drv/Kt40drvIoctl.h"

namespace camac {

namespace {

class DriverDevice final : public PackedDevice {
public:
    explicit DriverDevice(platform::Handle h) : handle_(h) {}
    ~DriverDevice() override { platform::closeDevice(handle_); }

    bool request(uint32_t code, const uint32_t* in, uint32_t inBytes, uint32_t* out, uint32_t outBytes,
                 uint32_t* information) override {
        return platform::deviceControl(handle_, code, in, inBytes, out, outBytes, information);
    }

private:
    platform::Handle handle_;
};

// kt40drv answers its test request with 10, 11, (word 2 untouched), v + 1:
// another device under the name is never driven blindly.
bool answers_as_kt40drv(platform::Handle h) {
    const uint32_t in[1] = {0x4B54};
    uint32_t out[4] = {0, 0, 0, 0};
    uint32_t information = 0;
    return platform::deviceControl(h, KT40DRV_IOCTL_DEBUG, in, sizeof in, out, sizeof out, &information) &&
           out[0] == 10 && out[1] == 11 && out[3] == in[0] + 1;
}

}  // namespace

PackedDevice* open_driver_device(unsigned unit) {
    const platform::Handle h = platform::openDevice(unit);
    if (h == platform::kInvalidHandle) {
        if (!*error_text())
            set_error_text("Failed opening \\\\.\\KT40%u: kt40drv is not installed, or no KT40 PCI card is present\n",
                           unit);
        return nullptr;
    }
    if (!answers_as_kt40drv(h)) {
        platform::closeDevice(h);
        set_error_text("\\\\.\\KT40%u does not answer as kt40drv: check the driver installed for the card\n", unit);
        return nullptr;
    }
    auto* device = new (std::nothrow) DriverDevice(h);
    if (!device) {
        platform::closeDevice(h);
        set_error_text("Failed allocating memory\n");
    }
    return device;
}

}  // namespace camac
