// The KT40 register protocol: register offsets, the two waits, crate
// selection and the LAM interrupt writes.
#pragma once

#include <cstdint>

#include "Access.h"

namespace camac {

enum Register : uint32_t {
    kCmd = 0,   // command word / data low, readout, status word
    kRsel = 2,  // readout select
    kWdlo = 4,  // write data bits 0-15
    kWdhi = 6,  // write data bits 16-23
    kCsr = 8,   // control/status
};

enum Readout : uint16_t { kReadoutHighByte = 1, kReadoutLamPattern = 2, kReadoutStatus = 4 };

// CSR as read.
inline constexpr uint16_t kCsrQ = 1u << 0;
inline constexpr uint16_t kCsrX = 1u << 1;
inline constexpr uint16_t kCsrBusy = 1u << 2;
inline constexpr uint16_t kCsrDone = 1u << 4;
inline constexpr uint16_t kCsrError = 1u << 5;
inline constexpr uint16_t kCsrEnableReadBack = 1u << 8;
// CSR as written.
inline constexpr uint16_t kCsrInterruptEnable = 1u << 2;

// Each wait reads CSR at most this many times.
inline constexpr uint32_t kPollLimit = 65534;

// Polls for completion; captures Q and X. False with CamacStatus.error set
// to 0x0100 (no done) or 0x0200 (error bit).
bool wait_done(AdapterConnection* conn);
// Polls until busy clears. False with CamacStatus.error = 0x0500.
bool wait_ready(AdapterConnection* conn);

// Selects crate c in CSR unless it is selected already, keeping the LAM
// interrupt enable.
void select_crate(AdapterConnection* conn, int crate);

// Copies a status word into CamacStatus: L, X, Q, I, bits 11 and 10, and the
// LAMs of stations 17-24 into lamPattern (bits 0-15 of which become 0).
void decode_status(uint16_t word);

// Reads CSR and writes it back with bits 14-15 as the crate and the LAM
// interrupt enable on or off.
void write_lam_enable(AdapterConnection* conn, bool on);

}  // namespace camac
