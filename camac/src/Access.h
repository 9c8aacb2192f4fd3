// The adapter access layer: the connection to the WinDriver kernel service,
// registration of the adapter's fixed resources, and 16-bit port transfers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "Platform.h"

namespace camac {

// Service requests.
inline constexpr uint32_t kIoctlVersion = 0x95382443;
inline constexpr uint32_t kIoctlCardRegister = 0x9538264B;
inline constexpr uint32_t kIoctlCardUnregister = 0x953824AF;
inline constexpr uint32_t kIoctlTransfer = 0x95382633;
inline constexpr uint32_t kIoctlIntEnable = 0x9538263B;
inline constexpr uint32_t kIoctlIntWait = 0x9538252F;
inline constexpr uint32_t kIoctlIntDisable = 0x9538247F;

inline constexpr uint32_t kStatusNoAnswer = 0xFFFFFFFF;
inline constexpr uint32_t kStatusInvalidHandle = 0x20000001;
inline constexpr uint32_t kStatusInsufficientResources = 0x20000005;

// The adapter's fixed resources.
inline constexpr uint32_t kPortBase = 0x150;
inline constexpr uint32_t kPortLength = 10;
inline constexpr uint32_t kInterruptLine = 3;
inline constexpr uint32_t kMinimumVersion = 621;

// Version record: the service's version in word 0 as major * 100 + minor.
struct VersionRecord {
    uint32_t words[33];
};
static_assert(sizeof(VersionRecord) == 132);

// One resource item of the registration record: ten 32-bit words.
struct CardItem {
    uint32_t kind;          // 3 = I/O range, 1 = interrupt
    uint32_t word1;
    uint32_t word2, word3;
    uint32_t value;         // port base or interrupt line
    uint32_t extent;        // range length or interrupt options
    uint32_t handle;        // interrupt handle, written by the service
    uint32_t word7, word8, word9;
};
static_assert(sizeof(CardItem) == 40);

// Card registration record.
struct CardRecord {
    uint32_t itemCount;
    CardItem items[20];
    uint32_t reserved;      // offset 804, 0 before the request
    uint32_t cardHandle;    // offset 808, written by the service
    uint32_t tail[34];
};
static_assert(sizeof(CardRecord) == 948);
static_assert(offsetof(CardRecord, items) == 4);
static_assert(offsetof(CardRecord, reserved) == 804);
static_assert(offsetof(CardRecord, cardHandle) == 808);

// Port transfer record. The address of the caller's 16-bit variable fills
// words 6 and 7, so that a 64-bit address fits; on a 32-bit system word 7
// stays 0.
struct TransferRecord {
    uint32_t port;
    uint32_t command;       // 21 = read 16 bits, 24 = write 16 bits
    uint32_t bytes;         // 2
    uint32_t one;           // 1
    uint32_t word4, word5;
    uint64_t address;
};
static_assert(sizeof(TransferRecord) == 32);
static_assert(offsetof(TransferRecord, address) == 24);

inline constexpr uint32_t kTransferRead16 = 21;
inline constexpr uint32_t kTransferWrite16 = 24;

// Interrupt record: word 0 handle, word 1 options; words 9-11 written by each
// wait, word 11 telling how it ended.
struct InterruptRecord {
    uint32_t words[12];
};
static_assert(sizeof(InterruptRecord) == 48);

inline constexpr uint32_t kWaitDisabled = 1;
inline constexpr uint32_t kWaitNothing = 2;

struct AdapterConnection;
struct LamThreadContext;
class PackedDevice;

using ConnectionHandler = void (*)(AdapterConnection* conn, const uint32_t words[3]);

struct AdapterConnection {
    // The packed path's device; null on the register path, which the other
    // fields serve.
    PackedDevice* packed = nullptr;
    uint8_t crates = 1;  // packed path: bit c set once crate c was addressed
    platform::Handle handle = platform::kInvalidHandle;
    InterruptRecord interrupt{};
    LamThreadContext* lamThread = nullptr;
    ConnectionHandler intHandler = nullptr;
    CardRecord card{};
};

// Sends one request and returns the service's status; 0xFFFFFFFF for an
// invalid handle or a request the service did not answer. With `ownHandle`
// the request goes over a handle opened for it alone.
uint32_t wd_call(uint32_t code, platform::Handle h, void* record, uint32_t size, bool ownHandle);

// Opens a connection into *conn: 1 on success; 0 with *conn null on failure,
// the reason left in the error text.
int card_open(AdapterConnection** conn);
// Releases all that card_open acquired (and the LAM link, if any).
void card_close(AdapterConnection* conn);

uint16_t card_read16(AdapterConnection* conn, int item, uint32_t offset);
void card_write16(AdapterConnection* conn, int item, uint32_t offset, uint16_t value);

const char* status_text(uint32_t status);

struct StatusRow {
    uint32_t code;
    const char* text;
};
// The status table, in the order it is searched.
std::span<const StatusRow> status_rows();

// The message of the last failure of a connection open or a LAM link, with
// its line feed; never shown by the library.
const char* error_text();
void set_error_text(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace camac
