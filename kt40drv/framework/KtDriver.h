// The driver class of the framework: one object per driver load, created
// from the pool before the driver's own entry runs, destroyed at unload.
//
// The framework's DriverEntry registers one dispatch routine for create,
// close, read, write, device control, power, system control and Plug and
// Play, a start-I/O routine, the unload routine and the add-device routine,
// then calls the driver object's DriverEntry. Requests of other types keep
// the system's default (refused with STATUS_INVALID_DEVICE_REQUEST).
#pragma once

#include <wdm.h>

class KtDriver {
public:
    // The one driver object (null outside a load). IRQL: any.
    static KtDriver* Instance() { return s_Instance; }
    PDRIVER_OBJECT DriverObject() const { return m_DriverObject; }

    static void* operator new(size_t Size, POOL_TYPE PoolType) noexcept;
    static void operator delete(void* Block, POOL_TYPE) noexcept;
    static void operator delete(void* Block) noexcept;

    // The driver's entry, with the service's registry path. IRQL: PASSIVE_LEVEL.
    virtual NTSTATUS DriverEntry(PUNICODE_STRING RegistryPath);
    // Creates the device of a new physical device object. IRQL: PASSIVE_LEVEL.
    virtual NTSTATUS AddDevice(PDEVICE_OBJECT PhysicalDevice);
    // Called before the driver object is destroyed at unload. IRQL: PASSIVE_LEVEL.
    virtual void Unload() {}

    virtual ~KtDriver() = default;

protected:
    KtDriver() = default;

private:
    friend NTSTATUS KtDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);
    friend void KtDriverUnload(PDRIVER_OBJECT);
    PDRIVER_OBJECT m_DriverObject = nullptr;
    static KtDriver* s_Instance;
};

// Provided by the driver: constructs its driver class from the pool
// (new (NonPagedPoolNx) ...). Returns null when it cannot.
KtDriver* KtCreateDriver();

// The framework's halves of the system entry points (DriverEntry itself is
// defined in KtDriver.cpp with C linkage).
NTSTATUS KtDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
void KtDriverUnload(PDRIVER_OBJECT DriverObject);
