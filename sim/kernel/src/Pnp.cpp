// The stand-in Plug and Play manager: the bus driver of the virtual adapters
// and the Kernel calls that add, start, stop and remove them and send them
// power and WMI requests.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <utility>

#include "Io.h"
#include "State.h"
#include "kt40sim/Adapter.h"

using namespace kt40kernel::detail;
using kt40kernel::AdapterOptions;
using kt40kernel::RequestRecord;
using kt40kernel::RaisedStretch;

namespace kt40kernel::detail {

// ---- The bus driver of the virtual adapters ------------------------------------------

int adapterOf(PDEVICE_OBJECT pdo) { return *static_cast<int*>(pdo->DeviceExtension); }

AdapterOptions optionsOf(PDEVICE_OBJECT pdo) {
    std::lock_guard lock(state().mu);
    return state().adapters[static_cast<size_t>(adapterOf(pdo))].options;
}

NTSTATUS busPnp(PDEVICE_OBJECT pdo, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = optionsOf(pdo).busStartStatus;
        break;
    case IRP_MN_READ_CONFIG: {
        auto& p = stack->Parameters.ReadWriteConfig;
        if (p.WhichSpace != PCI_WHICHSPACE_CONFIG || p.Offset + p.Length > 256) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        auto& adapter = kt40sim::Adapter::instance();
        auto* out = static_cast<UCHAR*>(p.Buffer);
        for (ULONG i = 0; i < p.Length; ++i) out[i] = static_cast<UCHAR>(adapter.pciConfigRead(p.Offset + i));
        Irp->IoStatus.Information = p.Length;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    default:
        break;  // a bus driver leaves requests it does not handle as they came
    }
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS busPower(PDEVICE_OBJECT, PIRP Irp) {
    {
        std::lock_guard lock(state().mu);
        ++state().busPowerRequests;
    }
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS busSystemControl(PDEVICE_OBJECT, PIRP Irp) {
    const NTSTATUS status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Resource lists of a start: raw (bus-relative) and translated.
struct ResourceLists {
    std::vector<uint64_t> raw, translated;  // 8-byte aligned storage
};

void buildResources(const AdapterOptions& o, ResourceLists& lists) {
    const auto res = kt40sim::Adapter::instance().pciResources();
    for (int translated = 0; translated < 2; ++translated) {
        std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> d;
        auto port = [&](uint32_t base, uint32_t length) {
            CM_PARTIAL_RESOURCE_DESCRIPTOR p{};
            const bool memory = translated && o.portsInMemory;
            p.Type = memory ? CmResourceTypeMemory : CmResourceTypePort;
            p.ShareDisposition = CmResourceShareDeviceExclusive;
            p.Flags = memory ? 0 : CM_RESOURCE_PORT_IO;
            p.u.Port.Start.QuadPart = base;
            p.u.Port.Length = length;
            d.push_back(p);
        };
        if (!o.omitBridge) port(res.bridgeBase, o.bridgeLength ? o.bridgeLength : res.bridgeLength);
        if (!o.omitController)
            port(res.controllerBase, o.controllerLength ? o.controllerLength : res.controllerLength);
        if (!o.omitInterrupt) {
            CM_PARTIAL_RESOURCE_DESCRIPTOR p{};
            p.Type = CmResourceTypeInterrupt;
            const bool shared = res.shared && !o.latchedExclusiveInterrupt;
            const bool level = res.levelSensitive && !o.latchedExclusiveInterrupt;
            p.ShareDisposition = shared ? CmResourceShareShared : CmResourceShareDeviceExclusive;
            p.Flags = level ? CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE : CM_RESOURCE_INTERRUPT_LATCHED;
            p.u.Interrupt.Level = translated ? res.level : res.rawLevel;
            p.u.Interrupt.Vector = translated ? res.vector : res.rawVector;
            p.u.Interrupt.Affinity = res.affinity;
            d.push_back(p);
        }
        const size_t bytes = sizeof(CM_RESOURCE_LIST) + d.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
        auto& storage = translated ? lists.translated : lists.raw;
        storage.assign(bytes / 8 + 1, 0);
        auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(storage.data());
        list->Count = 1;
        list->List[0].InterfaceType = PCIBus;
        list->List[0].PartialResourceList.Version = 1;
        list->List[0].PartialResourceList.Revision = 1;
        list->List[0].PartialResourceList.Count = static_cast<ULONG>(d.size());
        // The descriptors run on past the declared one-element array.
        auto* descriptors = reinterpret_cast<char*>(&list->List[0].PartialResourceList.PartialDescriptors[0]);
        std::memcpy(descriptors, d.data(), d.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
    }
}

PDEVICE_OBJECT pdoOf(int adapter) {
    std::lock_guard lock(state().mu);
    auto& v = state().adapters;
    if (adapter < 0 || static_cast<size_t>(adapter) >= v.size()) return nullptr;
    return v[static_cast<size_t>(adapter)].pdo;
}

void setAssigned(int adapter, bool assigned) {
    std::lock_guard lock(state().mu);
    state().adapters[static_cast<size_t>(adapter)].assigned = assigned;
}

NTSTATUS pnp(int adapter, UCHAR minor) {
    PDEVICE_OBJECT pdo = pdoOf(adapter);
    if (!pdo) return STATUS_NO_SUCH_DEVICE;
    return send(pdo, IRP_MJ_PNP, minor, nullptr, nullptr, nullptr, STATUS_NOT_SUPPORTED).Status;
}

}  // namespace kt40kernel::detail

namespace kt40kernel {

int Kernel::addAdapter(const AdapterOptions& options, NTSTATUS* status) {
    PDRIVER_OBJECT bus;
    PDRIVER_OBJECT driver;
    int id;
    {
        std::lock_guard lock(state().mu);
        auto& s = state();
        if (!s.busDriver) {
            s.busDriver = newDriverObject(L"\\Driver\\pci");
            s.busDriver->MajorFunction[IRP_MJ_PNP] = busPnp;
            s.busDriver->MajorFunction[IRP_MJ_POWER] = busPower;
            s.busDriver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = busSystemControl;
        }
        bus = s.busDriver;
        driver = s.driver;
        id = static_cast<int>(s.adapters.size());
        s.adapters.push_back({options, nullptr, false, false});
    }
    const std::wstring name = L"\\Device\\NTPNP_PCI" + std::to_wstring(id);
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, name.c_str());
    PDEVICE_OBJECT pdo = nullptr;
    bool failNext;  // meant for the driver's device, not the bus driver's
    {
        std::lock_guard lock(state().mu);
        failNext = std::exchange(state().failNextCreate, false);
    }
    IoCreateDevice(bus, sizeof(int), &u, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    {
        std::lock_guard lock(state().mu);
        state().failNextCreate = failNext;
    }
    *static_cast<int*>(pdo->DeviceExtension) = id;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    {
        std::lock_guard lock(state().mu);
        state().adapters[static_cast<size_t>(id)].pdo = pdo;
    }
    NTSTATUS result = STATUS_NO_SUCH_DEVICE;
    if (!driver || !driver->DriverExtension->AddDevice) {
        fault("addAdapter without a loaded driver that has an add-device routine");
    } else {
        result = driver->DriverExtension->AddDevice(driver, pdo);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) fault("AddDevice returned at a raised IRQL");
        PDEVICE_OBJECT top = attachedTop(pdo);
        if (NT_SUCCESS(result)) {
            if (top == pdo) fault("AddDevice succeeded without attaching a device");
            else if (top->Flags & DO_DEVICE_INITIALIZING) fault("AddDevice left DO_DEVICE_INITIALIZING set");
            std::lock_guard lock(state().mu);
            state().adapters[static_cast<size_t>(id)].added = top != pdo;
        } else if (top != pdo) {
            fault("AddDevice failed but left a device attached");
        }
    }
    if (status) *status = result;
    return id;
}

NTSTATUS Kernel::start(int adapter) {
    PDEVICE_OBJECT pdo = pdoOf(adapter);
    if (!pdo) return STATUS_NO_SUCH_DEVICE;
    ResourceLists lists;
    buildResources(optionsOf(pdo), lists);
    setAssigned(adapter, true);
    struct Ctx {
        ResourceLists* lists;
    } ctx{&lists};
    const NTSTATUS status =
        send(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr,
             [](PIRP, PIO_STACK_LOCATION s, void* c) {
                 auto* l = static_cast<Ctx*>(c)->lists;
                 s->Parameters.StartDevice.AllocatedResources = reinterpret_cast<PCM_RESOURCE_LIST>(l->raw.data());
                 s->Parameters.StartDevice.AllocatedResourcesTranslated =
                     reinterpret_cast<PCM_RESOURCE_LIST>(l->translated.data());
             },
             &ctx, STATUS_NOT_SUPPORTED)
            .Status;
    // After a failed start the adapter stays added without resources; the
    // test decides whether it is removed.
    if (!NT_SUCCESS(status)) setAssigned(adapter, false);
    return status;
}

NTSTATUS Kernel::stop(int adapter) {
    NTSTATUS status = pnp(adapter, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        pnp(adapter, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    status = pnp(adapter, IRP_MN_STOP_DEVICE);
    setAssigned(adapter, false);
    return status;
}

NTSTATUS Kernel::remove(int adapter) {
    NTSTATUS status = pnp(adapter, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        pnp(adapter, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    status = pnp(adapter, IRP_MN_REMOVE_DEVICE);
    setAssigned(adapter, false);
    PDEVICE_OBJECT pdo = pdoOf(adapter);
    std::lock_guard lock(state().mu);
    if (pdo->AttachedDevice) state().faults.push_back("a device is still attached after IRP_MN_REMOVE_DEVICE");
    state().adapters[static_cast<size_t>(adapter)].added = false;
    return status;
}

NTSTATUS Kernel::sendPnp(int adapter, UCHAR minor) { return pnp(adapter, minor); }

NTSTATUS Kernel::sendPower(int adapter, UCHAR minor) {
    PDEVICE_OBJECT pdo = pdoOf(adapter);
    if (!pdo) return STATUS_NO_SUCH_DEVICE;
    return send(pdo, IRP_MJ_POWER, minor, nullptr, nullptr, nullptr, STATUS_NOT_SUPPORTED).Status;
}

NTSTATUS Kernel::removeThenPower(int adapter, UCHAR minor) {
    PDEVICE_OBJECT top = topDevice(adapter);
    if (!top || top == pdoOf(adapter)) return STATUS_NO_SUCH_DEVICE;
    {
        std::lock_guard lock(state().mu);
        state().referenced[top] = false;
    }
    NTSTATUS status = remove(adapter);
    bool deleted;
    {
        std::lock_guard lock(state().mu);
        deleted = state().referenced[top];
    }
    if (NT_SUCCESS(status)) {
        if (!deleted) fault("the device object was not deleted by IRP_MN_REMOVE_DEVICE");
        uint64_t before;
        {
            std::lock_guard lock(state().mu);
            before = state().busPowerRequests;
        }
        status = send(top, IRP_MJ_POWER, minor, nullptr, nullptr, nullptr, STATUS_NOT_SUPPORTED).Status;
        std::lock_guard lock(state().mu);
        if (state().busPowerRequests != before)
            state().faults.push_back("a removed device passed a power request on to the device it was attached to");
    }
    std::lock_guard lock(state().mu);
    state().referenced.erase(top);
    if (deleted) std::free(top);
    return status;
}

NTSTATUS Kernel::sendSystemControl(int adapter) {
    PDEVICE_OBJECT pdo = pdoOf(adapter);
    if (!pdo) return STATUS_NO_SUCH_DEVICE;
    return send(pdo, IRP_MJ_SYSTEM_CONTROL, 0, nullptr, nullptr, nullptr, STATUS_NOT_SUPPORTED).Status;
}

PDEVICE_OBJECT Kernel::topDevice(int adapter) const {
    PDEVICE_OBJECT pdo = pdoOf(adapter);
    return pdo ? attachedTop(pdo) : nullptr;
}

}  // namespace kt40kernel
