// Hardware resources of a started device: I/O ranges by ordinal, the PCI
// base-address-register rule that gives those ordinals, the interrupt
// connection and the deferred call.
#pragma once

#include <wdm.h>

class KtLowerDevice;

// One I/O range of the start resources, addressed by its ordinal among the
// I/O-port resources. Reached through port I/O, or through a system-space
// mapping when the translation puts the range in memory space.
class KtIoRange {
public:
    KtIoRange() = default;
    ~KtIoRange() { Release(); }
    KtIoRange(const KtIoRange&) = delete;
    KtIoRange& operator=(const KtIoRange&) = delete;

    // Takes the I/O-port resource of the ordinal in the raw list and its
    // translation at the same position; a memory translation is mapped
    // not executable, uncached. IRQL: PASSIVE_LEVEL.
    // Returns STATUS_RESOURCE_TYPE_NOT_FOUND when there is no such resource,
    // STATUS_INSUFFICIENT_RESOURCES when the mapping fails.
    NTSTATUS Initialize(PCM_RESOURCE_LIST Translated, PCM_RESOURCE_LIST Raw, ULONG Ordinal);
    // Gives the range back, unmapping it if it was mapped. IRQL: PASSIVE_LEVEL.
    void Release();
    bool IsValid() const { return m_Held; }
    ULONG Length() const { return m_Length; }

    // One 32-bit transfer of count 1 at the byte offset. IRQL: any.
    ULONG ReadUlong(ULONG Offset) const;
    void WriteUlong(ULONG Offset, ULONG Value) const;

private:
    PUCHAR m_Base = nullptr;
    ULONG m_Length = 0;
    bool m_Mapped = false;
    bool m_Held = false;
};

// The device's PCI configuration header, read through the lower device.
class KtPciConfig {
public:
    // Reads the common header with IRP_MN_READ_CONFIG. IRQL: PASSIVE_LEVEL.
    NTSTATUS Read(KtLowerDevice& Lower);
    const PCI_COMMON_CONFIG& Header() const { return m_Header; }
    // Ordinal of base address register Index among the start resources of
    // its kind: for an I/O register the number of lower-indexed registers
    // that are I/O too (bit 0 set), otherwise the number that are not.
    ULONG BarToOrdinal(ULONG Index) const;

private:
    PCI_COMMON_CONFIG m_Header{};
};

// Connection of the device's interrupt to a service routine.
class KtInterrupt {
public:
    KtInterrupt() = default;
    ~KtInterrupt() { Disconnect(); }
    KtInterrupt(const KtInterrupt&) = delete;
    KtInterrupt& operator=(const KtInterrupt&) = delete;

    // Connects the interrupt resource of the ordinal in the translated list:
    // vector, level and affinity from the resource, latched or level-sensitive
    // as flagged, shared unless device-exclusive, no floating-point save.
    // IRQL: PASSIVE_LEVEL. Returns STATUS_RESOURCE_TYPE_NOT_FOUND without
    // such a resource, or the status of the connection.
    NTSTATUS Connect(PCM_RESOURCE_LIST Translated, ULONG Ordinal, PKSERVICE_ROUTINE Routine, PVOID Context);
    // IRQL: PASSIVE_LEVEL. Does nothing when not connected.
    void Disconnect();
    bool IsConnected() const { return m_Object != nullptr; }

private:
    PKINTERRUPT m_Object = nullptr;
};

// A deferred procedure call with a fixed routine and context.
class KtDeferredCall {
public:
    // IRQL: any.
    void Initialize(PKDEFERRED_ROUTINE Routine, PVOID Context) {
        KeInitializeDpc(&m_Dpc, Routine, Context);
        m_Initialized = true;
    }
    // Queues the call; false when it is already queued. IRQL: any.
    bool Queue(PVOID Argument1, PVOID Argument2) { return KeInsertQueueDpc(&m_Dpc, Argument1, Argument2) != FALSE; }
    // Takes a queued call off the queue. IRQL: any.
    void Cancel() {
        if (m_Initialized) KeRemoveQueueDpc(&m_Dpc);
    }
    // Takes a queued call off the queue and waits until a call that is
    // running has returned: afterwards the object may be freed.
    // IRQL: PASSIVE_LEVEL.
    void Flush() {
        if (!m_Initialized) return;
        KeRemoveQueueDpc(&m_Dpc);
        KeFlushQueuedDpcs();
    }

private:
    KDPC m_Dpc{};
    bool m_Initialized = false;
};
