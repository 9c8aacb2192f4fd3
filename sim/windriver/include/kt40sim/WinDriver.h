// The stand-in WinDriver kernel service.
//
// On Windows the library opens \\.\WINDRVR6 and talks to the service with
// device-control requests. On Linux the same requests come here: open(),
// deviceControl() and close() take the place of CreateFileA, DeviceIoControl and
// CloseHandle, and the service acts on the virtual adapter.
//
// Requests (record passed in place, 4-byte status output):
//   0x95382443 version query        132-byte record, word 0 <- major*100+minor
//   0x9538264B card registration    948-byte record, items at 4 (40 bytes each),
//                                   item 1 word 6 <- interrupt handle,
//                                   offset 808 <- card handle
//   0x953824AF card release         948-byte record, card handle at 808
//   0x95382633 port transfer        32-byte record: word 0 port, word 1 command
//                                   (21 read 16 bits, 24 write 16 bits), word 2
//                                   byte count 2, words 6-7 address of the
//                                   caller's 16-bit variable
//   0x9538263B interrupt enable     48-byte record, word 0 interrupt handle
//   0x9538252F interrupt wait       48-byte record; blocks until an interrupt
//                                   (word 11 <- 0), the disable (word 11 <- 1)
//                                   or a wait ended without one (word 11 <- 2);
//                                   word 9 <- interrupts so far, word 10 <- lost
//   0x9538247F interrupt disable    48-byte record, word 0 interrupt handle
//
// ISA interrupts are edge-triggered: every rising edge of the adapter's line
// counts once; the interrupts that arrive while nobody waits are kept and
// delivered one per wait.
#pragma once

#include <cstdint>
#include <vector>

namespace wdsim {

using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

inline constexpr char kDevicePath[] = "\\\\.\\WINDRVR6";

inline constexpr uint32_t kVersionQuery = 0x95382443;
inline constexpr uint32_t kCardRegister = 0x9538264B;
inline constexpr uint32_t kCardUnregister = 0x953824AF;
inline constexpr uint32_t kTransfer = 0x95382633;
inline constexpr uint32_t kIntEnable = 0x9538263B;
inline constexpr uint32_t kIntWait = 0x9538252F;
inline constexpr uint32_t kIntDisable = 0x9538247F;

inline constexpr uint32_t kVersionRecordSize = 132;
inline constexpr uint32_t kCardRecordSize = 948;
inline constexpr uint32_t kTransferRecordSize = 32;
inline constexpr uint32_t kInterruptRecordSize = 48;

// Service status codes used here.
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusInvalidHandle = 0x20000001;
inline constexpr uint32_t kStatusInsufficientResources = 0x20000005;
inline constexpr uint32_t kStatusInterruptNotEnabled = 0x2000000D;
inline constexpr uint32_t kStatusResourceOverlap = 0x2000000E;
inline constexpr uint32_t kStatusAlreadyDone = 0x20000011;
inline constexpr uint32_t kStatusInvalidParameter = 0x2000001B;
inline constexpr uint32_t kStatusInvalidIoctl = 0x2000001F;

// Opens the device; kInvalidHandle when the path is not the service's or the
// service is absent.
Handle open(const char* path);
// One device-control request. Returns false for an invalid handle. The status
// goes into the first 4 bytes of `out` (when the service answers at all).
bool deviceControl(Handle h, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize);
bool close(Handle h);

// One request as the service received it.
struct Request {
    uint32_t code;
    std::vector<uint8_t> record;  // the record as it came in
    uint32_t status;              // what the service answered (0xFFFFFFFF: nothing)
};

// Controls for tests. Every member is thread-safe.
class Controls {
public:
    // Service present, version 621, every request answered, no registrations,
    // no open handles counted, no request log entries, log of port transfers off.
    void reset();

    void setPresent(bool present);
    void setVersion(uint32_t version);             // major*100 + minor
    void refuseRegistration(uint32_t status);       // 0 accepts again
    // The service leaves requests of this code unanswered: the status output
    // is not written and the record is not touched.
    void setUnanswered(uint32_t code, bool unanswered);
    void refuseInterruptEnable(uint32_t status);   // 0 accepts again
    // The next interrupt wait (or the one in progress) ends with word 11 = `how`
    // (1 or 2) instead of waiting for an interrupt.
    void endWait(uint32_t how);
    // An interrupt as if the line had risen.
    void fireInterrupt();

    // The request log: the newest 65,536 requests. Port transfers are logged
    // only when asked.
    std::vector<Request> requests() const;
    void clearRequests();
    void setLogTransfers(bool on);

    int openHandles() const;
    int registeredCards() const;
    bool interruptEnabled() const;
    int waitsInProgress() const;
    uint64_t requestCount(uint32_t code) const;
};

Controls& controls();

}  // namespace wdsim
