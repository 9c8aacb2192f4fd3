// The packed path over the card's sysfs resource file: kt40drv's requests
// carried out in this process, with the driver's own sequences
// (kt40packed), serialised by the library's bus lock as the driver's passive
// gate serialises them.
#include "Sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "Kt40Packed.h"
#include "Packed.h"

namespace camac::sysfs {

namespace {

int sys_open(const char* path, int flags) { return ::open(path, flags | O_CLOEXEC); }

constexpr Calls kSystem{sys_open, ::pread, ::pwrite, ::close};

std::string g_folder = "/sys/bus/pci/devices";
const Calls* g_calls = &kSystem;
std::atomic<uint64_t> g_accesses{0};

// A small sysfs attribute such as "0x4b54\n", as a number; -1 when it cannot
// be read.
long read_id(const std::string& path) {
    const int fd = g_calls->open(path.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    char text[32] = {};
    const ssize_t n = g_calls->pread(fd, text, sizeof text - 1, 0);
    g_calls->close(fd);
    if (n <= 0) return -1;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 16);
    return end == text ? -1 : v;
}

class SysfsDevice final : public PackedDevice {
public:
    explicit SysfsDevice(int fd) : fd_(fd), port_{this, read, write} {}
    ~SysfsDevice() override { g_calls->close(fd_); }

    // The port as it reads once: a card off the bus reads all ones.
    uint32_t peek() { return read(this); }

    bool request(uint32_t code, const uint32_t* in, uint32_t inBytes, uint32_t* out, uint32_t outBytes,
                 uint32_t* information) override {
        kt40packed::Reply r{};
        switch (code) {
        case KT40DRV_IOCTL_ADDRESSCOMMAND: {
            const bool write = (in[0] & KT40DRV_ADDRESS_F_MASK) >= 16 && (in[0] & KT40DRV_ADDRESS_F_MASK) < 24;
            if (inBytes < (write ? 8u : 4u)) return false;
            kt40packed::AddressCommand(port_, in[0], write ? in[1] : 0, r);
            break;
        }
        case KT40DRV_IOCTL_CRATECOMMAND:
            if (inBytes < 8) return false;
            kt40packed::CrateCommand(port_, in[0], in[1], r);
            break;
        case KT40DRV_IOCTL_READLAM:
            if (inBytes < 4) return false;
            kt40packed::ReadLam(port_, in[0], r);
            break;
        case KT40DRV_IOCTL_BLOCK:
            if (!kt40packed::BlockCheck(in, inBytes, outBytes)) return false;
            *information = kt40packed::Block(port_, in, out);
            return true;
        default: return false;
        }
        if (outBytes < 12) return false;
        for (int k = 0; k < 3; ++k)
            if (r.Written & 1u << k) out[k] = r.Out[k];
        *information = r.Information;
        return true;
    }

private:
    // A failed transfer reads all ones, as a card that does not answer.
    static uint32_t read(void* self) {
        uint32_t word = 0xFFFFFFFF;
        g_accesses.fetch_add(1, std::memory_order_relaxed);
        if (g_calls->pread(static_cast<SysfsDevice*>(self)->fd_, &word, 4, 0) != 4) return 0xFFFFFFFF;
        return word;
    }
    static void write(void* self, uint32_t word) {
        g_accesses.fetch_add(1, std::memory_order_relaxed);
        g_calls->pwrite(static_cast<SysfsDevice*>(self)->fd_, &word, 4, 0);
    }

    int fd_;
    kt40packed::Port port_;
};

}  // namespace

std::vector<std::string> find_cards() {
    std::vector<std::string> cards;
    DIR* dir = ::opendir(g_folder.c_str());
    if (!dir) return cards;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string base = g_folder + "/" + e->d_name;
        if (read_id(base + "/vendor") == kVendor && read_id(base + "/device") == kDevice) cards.emplace_back(e->d_name);
    }
    ::closedir(dir);
    std::sort(cards.begin(), cards.end());
    return cards;
}

void use(const char* devicesFolder, const Calls* calls) {
    g_folder = devicesFolder ? devicesFolder : "/sys/bus/pci/devices";
    g_calls = calls ? calls : &kSystem;
}

uint64_t port_accesses() { return g_accesses.load(); }

}  // namespace camac::sysfs

namespace camac {

bool sysfs_card_present() {
    const char* named = std::getenv("KT40_PCI_DEVICE");
    return (named && *named) || !sysfs::find_cards().empty();
}

PackedDevice* open_sysfs_device(unsigned unit) {
    using namespace sysfs;
    std::string address;
    if (const char* named = std::getenv("KT40_PCI_DEVICE"); named && *named) {
        if (std::strchr(named, '/') || std::strcmp(named, "..") == 0 || std::strcmp(named, ".") == 0) {
            set_error_text("KT40_PCI_DEVICE='%.64s' is not a PCI address such as 0000:03:00.0\n", named);
            return nullptr;
        }
        address = named;
    } else {
        const std::vector<std::string> cards = find_cards();
        if (unit >= cards.size()) {
            if (cards.empty())
                set_error_text("No KT40 PCI card found (vendor %04X, device %04X under %s)\n", kVendor, kDevice,
                               g_folder.c_str());
            else
                set_error_text("No KT40 PCI card %u: %zu found (vendor %04X, device %04X)\n", unit, cards.size(),
                               kVendor, kDevice);
            return nullptr;
        }
        address = cards[unit];
    }
    const std::string path = g_folder + "/" + address + "/resource3";
    const int fd = g_calls->open(path.c_str(), O_RDWR);
    if (fd < 0) {
        const int why = errno;
        if (why == EACCES || why == EPERM)
            set_error_text("No access to %s: give your group read and write access to it (a udev rule; see the "
                           "README) or run as root\n",
                           path.c_str());
        else
            set_error_text("Failed opening %s: %s\n", path.c_str(), std::strerror(why));
        return nullptr;
    }
    auto* device = new (std::nothrow) SysfsDevice(fd);
    if (!device) {
        g_calls->close(fd);
        set_error_text("Failed allocating memory\n");
        return nullptr;
    }
    if (device->peek() == 0xFFFFFFFF) {
        delete device;
        set_error_text("The KT40 PCI card at %s answers all ones: it is off the bus or without power\n",
                       address.c_str());
        return nullptr;
    }
    return device;
}

}  // namespace camac
