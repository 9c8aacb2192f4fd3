#include "Protocol.h"

#include "State.h"
#include "camac.h"

namespace camac {

bool wait_done(AdapterConnection* conn) {
    g_status.error = 0;
    g_status.x = 0;
    g_status.q = 0;
    for (uint32_t polls = 0; polls < kPollLimit; ++polls) {
        const uint16_t csr = card_read16(conn, 0, kCsr);
        if (csr & kCsrDone) {  // done wins over the error bit
            g_status.x = (csr & kCsrX) ? 1 : 0;
            g_status.q = (csr & kCsrQ) ? 1 : 0;
            return true;
        }
        if (csr & kCsrError) {
            g_status.error = CAMAC_ERR_ADAPTER;
            return false;
        }
    }
    g_status.error = CAMAC_ERR_DONE_TIMEOUT;
    return false;
}

bool wait_ready(AdapterConnection* conn) {
    g_status.error = 0;
    for (uint32_t polls = 0; polls < kPollLimit; ++polls)
        if (!(card_read16(conn, 0, kCsr) & kCsrBusy)) return true;
    g_status.error = CAMAC_ERR_BUSY_TIMEOUT;
    return false;
}

void select_crate(AdapterConnection* conn, int crate) {
    const uint16_t csr = card_read16(conn, 0, kCsr);
    if (((csr >> 6) & 3) == crate) return;
    const uint16_t enable = (csr & kCsrEnableReadBack) ? kCsrInterruptEnable : 0;
    card_write16(conn, 0, kCsr, static_cast<uint16_t>(crate | enable));
}

void decode_status(uint16_t w) {
    g_status.l = (w >> 15) & 1;
    g_status.x = (w >> 14) & 1;
    g_status.q = (w >> 13) & 1;
    g_status.i = (w >> 12) & 1;
    g_status.bit11 = (w >> 11) & 1;
    g_status.bit10 = (w >> 10) & 1;
    g_status.lamPattern = uint32_t{w & 0xFFu} << 16;
}

void write_lam_enable(AdapterConnection* conn, bool on) {
    const uint16_t csr = card_read16(conn, 0, kCsr);
    const uint16_t crate = (csr >> 14) & 3;
    card_write16(conn, 0, kCsr, static_cast<uint16_t>(crate | (on ? kCsrInterruptEnable : 0)));
}

}  // namespace camac
