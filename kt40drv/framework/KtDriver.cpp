#include "KtDriver.h"

#include "KtDevice.h"
#include "KtPool.h"

KtDriver* KtDriver::s_Instance = nullptr;

void* KtDriver::operator new(size_t Size, POOL_TYPE PoolType) noexcept {
    return ExAllocatePoolWithTag(PoolType, Size, KT_POOL_TAG);
}
void KtDriver::operator delete(void* Block, POOL_TYPE) noexcept { KtPoolFree(Block); }
void KtDriver::operator delete(void* Block) noexcept { KtPoolFree(Block); }

NTSTATUS KtDriver::DriverEntry(PUNICODE_STRING) { return STATUS_SUCCESS; }
NTSTATUS KtDriver::AddDevice(PDEVICE_OBJECT) { return STATUS_NOT_IMPLEMENTED; }

namespace {

// The dispatch routine of every request type the driver handles: the
// device's framework part routes it. IRQL: <= DISPATCH_LEVEL. Returns the
// request's status or STATUS_PENDING.
NTSTATUS KtDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return static_cast<KtPnpDevice*>(DeviceObject->DeviceExtension)->Dispatch(Irp);
}

// Start-I/O routine of the device queue. IRQL: DISPATCH_LEVEL.
void KtStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    static_cast<KtPnpDevice*>(DeviceObject->DeviceExtension)->DispatchStartIo(Irp);
}

// Add-device routine. IRQL: PASSIVE_LEVEL. Returns the driver's status.
NTSTATUS KtAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT PhysicalDevice) {
    PAGED_CODE();
    return KtDriver::Instance()->AddDevice(PhysicalDevice);
}

}  // namespace

NTSTATUS KtDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    PAGED_CODE();
    KtDriver* driver = KtCreateDriver();
    if (!driver) return STATUS_INSUFFICIENT_RESOURCES;
    driver->m_DriverObject = DriverObject;
    KtDriver::s_Instance = driver;
    static const UCHAR handled[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE,
                                    IRP_MJ_DEVICE_CONTROL, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP};
    for (UCHAR major : handled) DriverObject->MajorFunction[major] = KtDispatch;
    DriverObject->DriverStartIo = KtStartIo;
    DriverObject->DriverUnload = KtDriverUnload;
    DriverObject->DriverExtension->AddDevice = KtAddDevice;
    const NTSTATUS status = driver->DriverEntry(RegistryPath);
    if (!NT_SUCCESS(status)) KtDriverUnload(DriverObject);
    return status;
}

// Unload routine. IRQL: PASSIVE_LEVEL.
void KtDriverUnload(PDRIVER_OBJECT) {
    PAGED_CODE();
    KtDriver* driver = KtDriver::s_Instance;
    if (!driver) return;
    driver->Unload();
    KtDriver::s_Instance = nullptr;
    delete driver;
}

// The system's entry point of the driver.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    return KtDriverEntry(DriverObject, RegistryPath);
}
