// The packed path: the PCI adapter's 32-bit register port, driven with the
// requests of kt40drv (Kt40drvIoctl.h), one request per routine. On Windows
// the requests go to kt40drv's device; on Linux either to the real kt40drv
// under the stand-in kernel (the virtual adapter's PCI face), or they are
// carried out in this process over the card's sysfs resource file, by the
// same sequences the driver runs (kt40packed).
#pragma once

#include <cstdint>

#include "Access.h"
#include "camac_private.h"

namespace camac {

// Where ccinit goes: KT40_ADAPTER, or the build's default.
enum class AdapterKind { Isa, Pci, Virtual, VirtualPci };
struct AdapterChoice {
    AdapterKind kind = AdapterKind::Virtual;
    unsigned unit = 0;  // pci:N
};

// Parses a KT40_ADAPTER value: "isa", "pci", "pci:N", "virtual", "virtual-pci".
bool parse_adapter(const char* value, AdapterChoice& out);
// The choice of this process: KT40_ADAPTER when set, else the build's
// default. False, with the error text naming the value, for a bad one.
bool choose_adapter(AdapterChoice& out);

// The device of the packed path: one kt40drv control request at a time.
class PackedDevice {
public:
    virtual ~PackedDevice() = default;
    // Sends one request; true when it was carried out, with `information`
    // set to the request's information field.
    virtual bool request(uint32_t code, const uint32_t* in, uint32_t inBytes, uint32_t* out, uint32_t outBytes,
                         uint32_t* information) = 0;
};

// Opens the packed path of the choice (Pci or VirtualPci): 1 with *conn set,
// or 0 with the reason in the error text.
int packed_open(const AdapterChoice& choice, AdapterConnection** conn);
// Closes what packed_open opened (its LAM link is ended by the caller).
void packed_close(AdapterConnection* conn);

// The routines' work over the packed path, under the bus lock.
int packed_cssa(AdapterConnection* conn, int f, int ext, int* data, char* q);
int packed_crate_command(AdapterConnection* conn, int ext, uint32_t code);
int packed_ctci(AdapterConnection* conn, int ext, char* l);
int packed_ctgl(AdapterConnection* conn, int ext, char* l);
// One block of camac_private_block, under the bus lock: the number of
// actions done, *error 0 or the failure's code.
int packed_block(AdapterConnection* conn, int mode, camac_private_action* actions, int count, int qrepeatLimit,
                 unsigned* error);
// For the LAM poll, under the bus lock: whether a crate that the program
// has addressed has a LAM. CamacStatus is left alone.
bool packed_lam_present(AdapterConnection* conn);

// The packed path's devices.
PackedDevice* open_driver_device(unsigned unit);  // kt40drv's \\.\KT40<unit>
#ifndef _WIN32
PackedDevice* open_sysfs_device(unsigned unit);  // the card's resource file
bool sysfs_card_present();  // a card with our IDs, or KT40_PCI_DEVICE set
#endif

}  // namespace camac
