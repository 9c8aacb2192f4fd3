// Shared state of the stand-in kernel, private to sim/kernel.
#pragma once

#include <wdm.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kt40kernel/Kernel.h"

namespace kt40kernel::detail {

struct IrpRecord {
    bool finished = false;     // completion reached the top of the stack
    bool driverOwned = false;  // from IoAllocateIrp: the driver frees it
};

struct AdapterRecord {
    AdapterOptions options;
    PDEVICE_OBJECT pdo = nullptr;
    bool assigned = false;  // resources handed out by a start, not yet taken back
    bool added = false;     // a function driver is attached
};

struct Mapping {
    uintptr_t virt;
    uint64_t phys;
    size_t length;
};

struct Interrupt {
    PKSERVICE_ROUTINE routine;
    PVOID context;
    KSPIN_LOCK ownLock = 0;
    PKSPIN_LOCK lock;
    ULONG vector;
    KIRQL irql;
};

struct Tables {
    std::vector<std::string> faults;

    // Driver.
    PDRIVER_OBJECT driver = nullptr;
    std::wstring registryPath;
    PDRIVER_OBJECT busDriver = nullptr;

    // Object names, lower-cased.
    std::map<std::wstring, PDEVICE_OBJECT> devices;
    std::map<std::wstring, std::wstring> links;  // link -> device name
    std::map<PDEVICE_OBJECT, std::wstring> deviceName;
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> attachedTo;  // upper -> lower
    bool failNextCreate = false;

    std::map<PIRP, IrpRecord> irps;
    std::vector<RequestRecord> requests;
    std::map<Handle, PFILE_OBJECT> files;
    Handle nextHandle = 1;

    std::vector<AdapterRecord> adapters;
    std::vector<Mapping> mappings;
    uintptr_t nextMapping = 0x7E0000000000;
    std::vector<Interrupt*> interrupts;
    std::map<HANDLE, std::pair<uintptr_t, size_t>> secured;  // MmSecureVirtualMemory ranges
    uintptr_t nextSecure = 0x5EC00001;

    std::map<void*, std::pair<ULONG, size_t>> pool;

    std::map<std::wstring, std::map<std::wstring, ULONG>> registry;
    std::map<HANDLE, std::wstring> keys;
    uintptr_t nextKey = 0x100;

    std::string partialLine;
    std::vector<std::string> trace;
    unsigned breaks = 0;

    std::vector<PRKDPC> dpcs;  // queued, in order
};

struct State : Tables {
    mutable std::mutex mu;  // every table; never held while driver code runs
    std::condition_variable irpDone;
};

State& state();
void fault(const std::string& what);
std::wstring lower(std::wstring s);
std::wstring fromUnicode(PCUNICODE_STRING s);
std::string narrow(const std::wstring& s);
std::string hex(uint64_t v);

// Port and register routing to the virtual adapter (physical I/O addresses).
uint32_t ioRead(uint64_t phys);
void ioWrite(uint64_t phys, uint32_t value);
void runQueuedDpcs();

}  // namespace kt40kernel::detail
