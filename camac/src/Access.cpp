#include "Access.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include "LamLink.h"
#include "Packed.h"

namespace camac {

namespace {

char g_errorText[256];

// Searched from the top: the first matching row wins, so 0 reads "Success".
constexpr StatusRow kStatusTable[] = {
    {0x00000000, "Success"},
    {0xFFFFFFFF, "Invalid WinDriver handle"},
    {0x20000000, "Error"},
    {0x20000001, "Invalid handle"},
    {0x20000002, "Invalid pipe number"},
    {0x20000003, "Conflict between read and write operations"},
    {0x20000004, "Packet size is zero"},
    {0x20000005, "Insufficient resources"},
    {0x20000006, "Unknown pipe type"},
    {0x20000007, "Internal system error"},
    {0x20000008, "Data mismatch"},
    {0x2000000A, "Function not implemented"},
    {0x2000000B, "Kernel PlugIn failure"},
    {0x2000000C, "Failed enabling interrupt"},
    {0x2000000D, "Interrupt not enabled"},
    {0x2000000E, "Resource overlap"},
    {0x2000000F, "Device not found"},
    {0x20000010, "Wrong unique ID"},
    {0x20000011, "Operation already done"},
    {0x20000012, "Usb descriptor error"},
    {0x20000013, "Set configuration operation failed"},
    {0x20000014, "Cannot obtain PDO"},
    {0x20000015, "Timeout expired"},
    {0x20000016, "IRP operation cancelled"},
    {0x20000017, "Failed to map in user space"},
    {0x20000018, "Failed to map in kernel space"},
    {0x20000019, "No resources on the device"},
    {0x2000001A, "No events"},
    {0x2000001B, "Invalid parameter"},
    {0x2000001C, "Incorrect WinDriver version installed"},
    {0x2000001D, "Try again"},
    {0x2000001E, "Failed open WinDriver"},
    {0x2000001F, "Received an invalid IOCTL"},
    // USB bus statuses
    {0x00000000, "USBD: Success"},
    {0x40000000, "USBD: Operation pending"},
    {0x80000000, "USBD: Error"},
    {0xC0000000, "USBD: Halted"},
    {0xC0000001, "HC status: CRC"},
    {0xC0000002, "HC status: Bit stuffing "},
    {0xC0000003, "HC status: Data toggle mismatch"},
    {0xC0000004, "HC status: PID stall"},
    {0xC0000005, "HC status: Device not responding"},
    {0xC0000006, "HC status: PID check failed"},
    {0xC0000007, "HC status: Unexpected PID"},
    {0xC0000008, "HC status: Data overrun"},
    {0xC0000009, "HC status: Data underrun"},
    {0xC000000A, "HC status: Reserved1"},
    {0xC000000B, "HC status: Reserved2"},
    {0xC000000C, "HC status: Buffer overrun"},
    {0xC000000D, "HC status: Buffer Underrun"},
    {0xC000000F, "HC status: Not accessed"},
    {0xC0000010, "HC status: Fifo"},
    {0xC0010000, "USBD: Transfer canceled"},
    {0xC0000030, "HCD: Trasnfer submitted to stalled endpoint"},
    {0x80000100, "USBD: Out of memory"},
    {0x80000200, "USBD: Invalid URB function"},
    {0x80000300, "USBD: Invalid parameter"},
    {0x80000400, "USBD: Attempted to close enpoint/interface/configuration with outstanding transfer"},
    {0x80000500, "USBD: URB request failed"},
    {0x80000600, "USBD: Invalid pipe handle"},
    {0x80000700, "USBD: Not enough bandwidth for endpoint"},
    {0x80000800, "USBD: Host controller error"},
    {0x80000900, "USBD: Trasnfer terminated with short packet"},
    {0xC0000A00, "USBD: Start frame outside range"},
    {0xC0000B00, "HCD: Isochronous transfer completed with error"},
    {0xC0000C00, "USBD: Frame length control already taken"},
    {0xC0000D00, "USBD: Attemped operation on frame length control not owned by caller"},
};

void fillRegistration(CardRecord& card) {
    card.itemCount = 2;
    CardItem& io = card.items[0];
    io.kind = 3;
    io.word1 = 1;
    io.value = kPortBase;
    io.extent = kPortLength;
    CardItem& irq = card.items[1];
    irq.kind = 1;
    irq.value = kInterruptLine;
    irq.extent = 0;
}

// Clean-up of a failed open: release the card if it was registered, close
// the handle, free the record.
void abandon(AdapterConnection* conn) {
    if (conn->card.cardHandle != 0)
        wd_call(kIoctlCardUnregister, conn->handle, &conn->card, sizeof conn->card, false);
    if (conn->handle != platform::kInvalidHandle) platform::closeService(conn->handle);
    delete conn;
}

}  // namespace

const char* error_text() { return g_errorText; }

void set_error_text(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(g_errorText, sizeof g_errorText, format, args);
    va_end(args);
}

std::span<const StatusRow> status_rows() { return kStatusTable; }

const char* status_text(uint32_t status) {
    for (const auto& row : kStatusTable)
        if (row.code == status) return row.text;
    return "Unrecognized error code";
}

uint32_t wd_call(uint32_t code, platform::Handle h, void* record, uint32_t size, bool ownHandle) {
    if (ownHandle) h = platform::openService();
    if (h == platform::kInvalidHandle) return kStatusNoAnswer;
    uint32_t status = kStatusNoAnswer;
    platform::control(h, code, record, size, &status);
    if (ownHandle) platform::closeService(h);
    return status;
}

int card_open(AdapterConnection** out) {
    *out = nullptr;
    g_errorText[0] = '\0';

    auto* conn = new (std::nothrow) AdapterConnection;
    if (!conn) {
        set_error_text("Failed allocating memory\n");
        return 0;
    }

    conn->handle = platform::openService();
    if (conn->handle == platform::kInvalidHandle) {
        set_error_text("Failed opening WinDriver device\n");
        abandon(conn);
        return 0;
    }

    VersionRecord version{};
    wd_call(kIoctlVersion, conn->handle, &version, sizeof version, false);
    const uint32_t v = version.words[0];
    if (v < kMinimumVersion) {
        set_error_text("Incorrect WinDriver version. Expected %d.%02d, got %ld.%02ld\n", 6, 21,
                       static_cast<long>(v / 100), static_cast<long>(v % 100));
        abandon(conn);
        return 0;
    }

    fillRegistration(conn->card);
    conn->card.reserved = 0;
    const uint32_t status = wd_call(kIoctlCardRegister, conn->handle, &conn->card, sizeof conn->card, false);
    if (status != 0) {
        set_error_text("Failed locking device. Status 0x%lx - %s\n", static_cast<unsigned long>(status),
                       status_text(status));
        abandon(conn);
        return 0;
    }

    conn->interrupt = InterruptRecord{};
    conn->lamThread = nullptr;
    conn->intHandler = nullptr;
    conn->interrupt.words[0] = conn->card.items[1].handle;
    conn->interrupt.words[1] = conn->card.items[1].extent;
    *out = conn;
    return 1;
}

void card_close(AdapterConnection* conn) {
    if (!conn) return;
    lam_unlink(conn);
    if (conn->packed)
        packed_close(conn);
    else
        abandon(conn);
}

namespace {

// One 16-bit port transfer of the variable at `value`.
void transfer16(AdapterConnection* conn, int item, uint32_t offset, uint32_t command, uint16_t* value) {
    TransferRecord t{};
    t.port = conn->card.items[item].value + offset;
    t.command = command;
    t.bytes = 2;
    t.one = 1;
    t.address = reinterpret_cast<uintptr_t>(value);
    wd_call(kIoctlTransfer, conn->handle, &t, sizeof t, false);
}

}  // namespace

uint16_t card_read16(AdapterConnection* conn, int item, uint32_t offset) {
    uint16_t value = 0;  // what a read yields when the transfer fails
    transfer16(conn, item, offset, kTransferRead16, &value);
    return value;
}

void card_write16(AdapterConnection* conn, int item, uint32_t offset, uint16_t value) {
    transfer16(conn, item, offset, kTransferWrite16, &value);
}

}  // namespace camac
