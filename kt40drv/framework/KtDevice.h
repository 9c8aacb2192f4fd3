// The Plug and Play device class of the framework. A driver derives its
// device from it; the object lives in the device object's extension.
//
// The framework routes every request of the device to a virtual operation,
// counts each request from dispatch to completion, and keeps the Plug and
// Play state. With the standard policy (SetPnpPolicy) it refuses requests
// that the state does not allow, before the device sees them:
//
//   state                      create   control, read, write   close, power, WMI, PnP
//   not started / stopped      passed   STATUS_INVALID_DEVICE_REQUEST   passed
//   started                    passed   passed                  passed
//   stop pending               passed   STATUS_DEVICE_NOT_READY  passed
//   remove pending,
//   surprise-removed, removed  STATUS_DELETE_PENDING (create, control, read, write)
//                                                              passed (power: refused with
//                                                              STATUS_DELETE_PENDING once removed)
//
// Plug and Play requests: start is passed down first and reaches OnStartDevice
// only when the lower drivers succeed; query-stop and query-remove are
// granted, and they and their cancels change the state and then go on to
// DefaultPnp with STATUS_SUCCESS set; stop waits for the requests in progress, then OnStopDevice;
// surprise removal calls OnSurpriseRemoval, waits for the requests in
// progress, then releases the hardware with OnStopDevice when started;
// removal refuses new requests (STATUS_DELETE_PENDING, a close succeeds),
// waits on the remove lock until no request is outstanding, then OnRemoveDevice, passes
// the request down, detaches, deletes the link and the device object.
// Every other Plug and Play request goes to DefaultPnp.
#pragma once

#include <wdm.h>

#include "KtRequest.h"
#include "KtSupport.h"

enum class KtPnpState { NotStarted, Started, StopPending, Stopped, RemovePending, SurpriseRemoved, Removed };

// What IoCreateDevice needs for a device of the framework.
struct KtDeviceSetup {
    PUNICODE_STRING Name;
    ULONG Type;
    PUNICODE_STRING LinkName;
    ULONG Characteristics;
    ULONG Flags;  // DO_* flags to set
};

class KtPnpDevice {
public:
    // Creates the device object (extension of Size bytes) with its link and
    // returns the extension to construct the device in, or null.
    // IRQL: PASSIVE_LEVEL.
    static void* operator new(size_t Size, PDRIVER_OBJECT Driver, const KtDeviceSetup& Setup) noexcept;
    // Undoes operator new if a constructor could not finish (not reached:
    // constructors report failure through ConstructorStatus).
    static void operator delete(void* Extension, PDRIVER_OBJECT, const KtDeviceSetup&) noexcept;
    // Objects are never deleted with delete: see Destroy.
    static void operator delete(void*) noexcept {}

    // Destroys the object, then deletes its link and its device object.
    // IRQL: PASSIVE_LEVEL.
    void Destroy();

    NTSTATUS ConstructorStatus() const { return m_ConstructorStatus; }
    PDEVICE_OBJECT DeviceObject() const { return m_DeviceObject; }
    KtPnpState PnpState() const {
        return static_cast<KtPnpState>(InterlockedCompareExchange(const_cast<volatile LONG*>(&m_State), 0, 0));
    }

    // The framework's entry for every request of the device (dispatch
    // routine of the driver). IRQL: <= DISPATCH_LEVEL.
    NTSTATUS Dispatch(PIRP Irp);
    // Start-I/O entry of the device queue. IRQL: DISPATCH_LEVEL.
    void DispatchStartIo(PIRP Irp);

protected:
    // Constructs the framework part in the device object that operator new
    // created. InterfaceClass is not used (no device interface is registered).
    // IRQL: PASSIVE_LEVEL.
    KtPnpDevice(PDEVICE_OBJECT PhysicalDevice, const void* InterfaceClass);
    virtual ~KtPnpDevice();
    KtPnpDevice(const KtPnpDevice&) = delete;
    KtPnpDevice& operator=(const KtPnpDevice&) = delete;

    void SetLowerDevice(KtLowerDevice* Lower) { m_Lower = Lower; }
    KtLowerDevice* LowerDevice() const { return m_Lower; }
    void SetPnpPolicy() { m_StandardPolicy = true; }

    // Completes a request with Status and no priority boost and releases its
    // hold on the device. Returns Status. IRQL: <= DISPATCH_LEVEL.
    NTSTATUS CompleteRequest(KtRequest& Request, NTSTATUS Status);
    // Passes a request down unchanged, reusing the current stack location,
    // and releases its hold. Returns the lower driver's status.
    // IRQL: <= DISPATCH_LEVEL.
    NTSTATUS PassDown(KtRequest& Request);
    // Releases a request's hold on the device (for paths that hand the
    // request on themselves). IRQL: any.
    void ReleaseHold() {
        m_Requests.Release();
        IoReleaseRemoveLock(&m_RemoveLock, nullptr);
    }

    // Device queue (deferred start-I/O). StartPacket marks the request
    // pending and hands it to the device queue with its cancel routine;
    // StartIo gets it once the requests before it are done. IRQL: <= DISPATCH_LEVEL. Returns
    // STATUS_PENDING; the request is no longer the caller's.
    NTSTATUS StartPacket(KtRequest& Request, PDRIVER_CANCEL CancelRoutine);
    // Completes a request that left the queue with Status and no priority
    // boost, starts the next queued request (cancelable), and only then
    // releases the completed request's hold, so that the device outlives the
    // start of the next one. Completing before starting the next keeps
    // completions in queue order. IRQL: <= DISPATCH_LEVEL.
    void CompleteAndStartNext(KtRequest& Request, NTSTATUS Status);

    // Operations a device replaces. Each gets the request with its hold and
    // returns the request's status; the defaults complete or pass down.
    virtual NTSTATUS Create(KtRequest& Request);
    virtual NTSTATUS Close(KtRequest& Request);
    virtual NTSTATUS Read(KtRequest& Request);
    virtual NTSTATUS Write(KtRequest& Request);
    virtual NTSTATUS DeviceControl(KtRequest& Request);
    virtual NTSTATUS SystemControl(KtRequest& Request);
    virtual void StartIo(KtRequest& Request);
    // Called after the lower drivers started the device; the framework
    // completes the start request with the status returned.
    virtual NTSTATUS OnStartDevice(KtRequest& Request);
    virtual NTSTATUS OnStopDevice(KtRequest& Request);
    // Surprise removal, as soon as the state says so and before the wait for
    // the requests in progress: for what must stop at once (an interrupt of
    // hardware that is gone). OnStopDevice follows the wait.
    virtual void OnSurpriseRemoval(KtRequest& Request);
    virtual NTSTATUS OnRemoveDevice(KtRequest& Request);
    virtual NTSTATUS DefaultPnp(KtRequest& Request);
    virtual NTSTATUS DefaultPower(KtRequest& Request);

    NTSTATUS m_ConstructorStatus = STATUS_SUCCESS;

private:
    NTSTATUS DispatchPnp(KtRequest& Request);
    void SetState(KtPnpState State) { InterlockedExchange(&m_State, static_cast<LONG>(State)); }
    NTSTATUS RefusedStatus(UCHAR Major) const;

    PDEVICE_OBJECT m_DeviceObject;
    [[maybe_unused]] PDEVICE_OBJECT m_PhysicalDevice;  // kept for drivers that need the bus device
    KtLowerDevice* m_Lower = nullptr;
    bool m_StandardPolicy = false;
    volatile LONG m_State = static_cast<LONG>(KtPnpState::NotStarted);
    KtPnpState m_StateBeforeQuery = KtPnpState::NotStarted;
    // Each request holds the device from dispatch to completion twice: in
    // the count of requests in progress, which stop and surprise removal
    // wait down to, and in the remove lock, which removal waits out before
    // the device object goes (taken first, released last).
    KtRequestCount m_Requests;
    IO_REMOVE_LOCK m_RemoveLock;
    WCHAR m_LinkBuffer[64];
    UNICODE_STRING m_LinkName;

    // The device object that operator new created for the constructor that
    // follows it (add-device runs one at a time).
    static PDEVICE_OBJECT s_Creating;
    static PUNICODE_STRING s_CreatingLink;
};
