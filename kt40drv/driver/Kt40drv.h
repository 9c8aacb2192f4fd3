// kt40drv: the driver class and the device of one KT40 PCI adapter.
#pragma once

#include <wdm.h>

#include "Kt40Packed.h"
#include "KtDevice.h"
#include "KtDriver.h"
#include "KtHardware.h"
#include "KtRequest.h"
#include "KtSupport.h"

// The driver: reads its parameters at entry and creates one device per adapter.
class Kt40drv : public KtDriver {
public:
    NTSTATUS DriverEntry(PUNICODE_STRING RegistryPath) override;
    NTSTATUS AddDevice(PDEVICE_OBJECT PhysicalDevice) override;
    void Unload() override;

private:
    void LoadParameters(KtRegistryKey& Parameters);
    NTSTATUS AddDeviceLocked(PDEVICE_OBJECT PhysicalDevice);

    ULONG m_bBreakOnEntry = 0;  // "BreakOnEntry" as read at entry
    // "CycleWaitMilliseconds": how long a control caller waits for another's
    // cycle before STATUS_DEVICE_BUSY (kDefaultCycleWait when absent or 0).
    ULONG m_CycleWaitMilliseconds = 0;
    ULONG m_Unit = 0;           // number of the next device, under m_AddLock
    // Add-device, one at a time: the unit number is read, used and moved on
    // as one step, and the framework's hand-over of the new device object to
    // its constructor is not shared.
    KtPassiveLock m_AddLock;
};

class Kt40drvDevice : public KtPnpDevice {
public:
    Kt40drvDevice(PDEVICE_OBJECT PhysicalDevice, ULONG Unit, ULONG CycleWaitMilliseconds);
    ~Kt40drvDevice() override;

    ULONG Unit() const { return m_Unit; }

protected:
    NTSTATUS Create(KtRequest& I) override;
    NTSTATUS Close(KtRequest& I) override;
    NTSTATUS Read(KtRequest& I) override;
    NTSTATUS Write(KtRequest& I) override;
    NTSTATUS DeviceControl(KtRequest& I) override;
    NTSTATUS SystemControl(KtRequest& I) override;
    void StartIo(KtRequest& I) override;
    NTSTATUS OnStartDevice(KtRequest& I) override;
    NTSTATUS OnStopDevice(KtRequest& I) override;
    void OnSurpriseRemoval(KtRequest& I) override;
    NTSTATUS OnRemoveDevice(KtRequest& I) override;
    NTSTATUS DefaultPnp(KtRequest& I) override;
    NTSTATUS DefaultPower(KtRequest& I) override;

private:
    void ReleaseResources();

    // Read and write: one word between the caller's buffer and the port.
    NTSTATUS QueueTransfer(KtRequest& I);
    void Transfer(KtRequest& I);
    PVOID TransferBuffer(KtRequest& I);
    void SerialRead(KtRequest& I, PVOID Buffer);
    void SerialWrite(KtRequest& I, PVOID Buffer);
    static void CancelQueuedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

    // Control handlers: each takes the request and returns its status; the
    // control dispatch completes it.
    NTSTATUS KT40DRV_IOCTL_DEBUG_Handler(KtRequest& I);
    NTSTATUS KT40DRV_IOCTL_SETINTEVENT_Handler(KtRequest& I);
    NTSTATUS KT40DRV_IOCTL_CLEARINTEVENT_Handler(KtRequest& I);
    NTSTATUS KT40DRV_IOCTL_ADDRESSCOMMAND_Handler(KtRequest& I);
    NTSTATUS KT40DRV_IOCTL_CRATECOMMAND_Handler(KtRequest& I);
    NTSTATUS KT40DRV_IOCTL_READLAM_Handler(KtRequest& I);
    NTSTATUS KT40DRV_IOCTL_BLOCK_Handler(KtRequest& I);

    // Controller cycles, run between BeginCycle and EndCycle. The sequences
    // are the packed port's (Kt40Packed.h), run over ControllerPort(); the
    // three operations below are theirs, on this device's port.
    NTSTATUS BeginCycle();
    void EndCycle();
    ULONG WaitCompletion(const kt40packed::Address& Address, ULONG& Result);
    bool WriteDataWord(const kt40packed::Address& Address, ULONG& Result, ULONG Data);
    ULONG ReadSelected(const kt40packed::Address& Address, ULONG& Result, ULONG& Data);
    kt40packed::Port ControllerPort() { return kt40packed::Port{this, &PortRead, &PortWrite}; }
    static uint32_t PortRead(void* Device) { return static_cast<Kt40drvDevice*>(Device)->ReadPort(); }
    static void PortWrite(void* Device, uint32_t Word) { static_cast<Kt40drvDevice*>(Device)->WritePort(Word); }
    ULONG ReadPort() { return m_Controller.ReadUlong(0); }
    void WritePort(ULONG Word) { m_Controller.WriteUlong(0, Word); }

    static BOOLEAN InterruptService(PKINTERRUPT Interrupt, PVOID Context);
    static void CompletionDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);

    ULONG m_Unit = 0;
    ULONG m_CycleWaitMilliseconds = 0;  // longest wait for m_CycleGate
    KtLowerDevice m_Lower;
    KtIoRange m_Bridge;      // BAR1: the PCI interface chip
    KtIoRange m_Controller;  // BAR3: the crate controller's register port
    KtInterrupt m_Interrupt;
    KtDeferredCall m_CompletionDpc;
    // The port is shared by controller cycles and transfers, which never
    // interleave. A cycle (a register sequence and its polls) runs at
    // PASSIVE_LEVEL in the control caller's thread, holding m_CycleGate so
    // that control callers take turns. A transfer runs from start-I/O at
    // DISPATCH_LEVEL and never waits there for a cycle: under m_PortLock,
    // held for one port access at most, it either finds no cycle running and
    // makes its access, or leaves its request in m_WaitingTransfer, which
    // the cycle carries out when it ends. The device queue gives at most one
    // transfer at a time.
    KtPassiveLock m_CycleGate;
    KSPIN_LOCK m_PortLock = 0;
    bool m_CycleRunning = false;        // under m_PortLock
    PIRP m_WaitingTransfer = nullptr;   // under m_PortLock
};
