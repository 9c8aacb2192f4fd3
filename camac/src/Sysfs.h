// The Linux PCI path's seam to the system: the card is found under
// /sys/bus/pci/devices by its vendor and device IDs (or named by
// KT40_PCI_DEVICE=<address>), and its controller port is the first 32-bit
// word of the I/O resource file of BAR 3, read and written 4 bytes at a
// time. Tests give their own folder and calls, so that the same code drives
// the virtual adapter's PCI face.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace camac::sysfs {

struct Calls {
    int (*open)(const char* path, int flags);
    ssize_t (*pread)(int fd, void* buffer, size_t bytes, off_t offset);
    ssize_t (*pwrite)(int fd, const void* buffer, size_t bytes, off_t offset);
    int (*close)(int fd);
};

// The IDs the card is found by: the build's KT40DRV_PCI_IDS, as in the INF.
inline constexpr uint16_t kVendor = CAMAC_PCI_VENDOR;
inline constexpr uint16_t kDevice = CAMAC_PCI_DEVICE;

// For tests: the devices folder and the calls used from now on; null for
// the system's own (/sys/bus/pci/devices and the POSIX calls).
void use(const char* devicesFolder, const Calls* calls);

// The addresses of the cards with our IDs in the devices folder, in order.
std::vector<std::string> find_cards();

// Port accesses made through the path since the process began.
uint64_t port_accesses();

}  // namespace camac::sysfs
