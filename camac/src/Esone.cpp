// The ESONE routines.
#include <cstring>

#include "Protocol.h"
#include "State.h"
#include "camac.h"

namespace camac {

CamacStatus g_status{};
std::atomic<AdapterConnection*> g_connection{nullptr};

std::mutex& bus_lock() {
    static std::mutex m;
    return m;
}

void disconnect() {
    AdapterConnection* conn;
    {
        std::lock_guard lock(bus_lock());
        conn = g_connection.exchange(nullptr);
    }
    // Outside the lock: closing joins the LAM thread, which may be waiting
    // for the lock in its handler.
    card_close(conn);
}

namespace {

struct Address {
    int b, c, n, a;
};

Address unpack(int ext) {
    Address x{};
    cgreg(ext, &x.b, &x.c, &x.n, &x.a);
    return x;
}

// The open connection, or null with the failure recorded as an adapter that
// never answered (CamacStatus.error = 0x0100). Routines without a connection
// return 1 and touch no hardware.
AdapterConnection* connection() {
    AdapterConnection* conn = g_connection.load(std::memory_order_acquire);
    if (!conn) g_status.error = CAMAC_ERR_DONE_TIMEOUT;
    return conn;
}

// The unaddressed commands: W CMD = code; wait_done; R CMD = status word.
int unaddressed(int ext, uint16_t code) {
    std::lock_guard lock(bus_lock());
    AdapterConnection* conn = connection();
    if (!conn) return 1;
    select_crate(conn, unpack(ext).c);
    card_write16(conn, 0, kCmd, code);
    if (!wait_done(conn)) return 1;
    decode_status(card_read16(conn, 0, kCmd));
    return 0;
}

// W RSEL = 4; wait_done; R CMD = status word.
bool read_status(AdapterConnection* conn) {
    card_write16(conn, 0, kRsel, kReadoutStatus);
    if (!wait_done(conn)) return false;
    decode_status(card_read16(conn, 0, kCmd));
    return true;
}

}  // namespace

}  // namespace camac

using namespace camac;

extern "C" {

CAMAC_API int CAMAC_CALL ccinit(void) {
    std::lock_guard lock(bus_lock());
    AdapterConnection* conn = g_connection.load();
    // A connection that is already open stays: the service would refuse a
    // second registration of the same ports and interrupt.
    if (!conn && card_open(&conn)) g_connection.store(conn, std::memory_order_release);
    std::memset(&g_status, 0, sizeof g_status);
    if (!conn) return 1;
    card_write16(conn, 0, kCsr, 0);
    return 0;
}

CAMAC_API int CAMAC_CALL cdreg(int* ext, int b, int c, int n, int a) {
    int v = ((c & 3) << 9) + ((n & 31) << 4) + (a & 15);
    if (b == 24) v |= 0x8000;
    *ext = v;
    return 0;
}

CAMAC_API int CAMAC_CALL cgreg(int ext, int* b, int* c, int* n, int* a) {
    *c = (ext >> 9) & 3;
    *n = (ext >> 4) & 31;
    *a = ext & 15;
    *b = (ext & 0x8000) ? 24 : 16;
    return 0;
}

CAMAC_API int CAMAC_CALL cssa(int f, int ext, int* data, char* q) {
    std::lock_guard lock(bus_lock());
    AdapterConnection* conn = connection();
    if (!conn) return 1;
    const Address x = unpack(ext);
    const bool wide = x.b == 24;
    f &= 31;
    select_crate(conn, x.c);
    const auto command = static_cast<uint16_t>((x.n << 9) | (x.a << 5) | f | (wide ? 0x4000 : 0));

    if (f <= 7) {  // read
        *data = 0;
        card_write16(conn, 0, kCmd, command);
        if (!wait_done(conn)) return 1;
        *data = card_read16(conn, 0, kCmd);
        if (wide) {
            card_write16(conn, 0, kRsel, kReadoutHighByte);
            if (!wait_done(conn)) return 1;
            *data |= (card_read16(conn, 0, kCmd) & 0xFF) << 16;
        }
        g_status.lastRead = *data;
        *q = static_cast<char>(g_status.q);
        return 0;
    }

    if (f >= 16 && f <= 23) {  // write
        card_write16(conn, 0, kWdlo, static_cast<uint16_t>(*data & 0xFFFF));
        if (!wait_ready(conn)) return 1;
        if (wide) {
            card_write16(conn, 0, kWdhi, static_cast<uint16_t>((*data >> 16) & 0xFF));
            if (!wait_ready(conn)) return 1;
        }
        card_write16(conn, 0, kCmd, command);
        if (!wait_done(conn)) return 1;
        const uint16_t status = card_read16(conn, 0, kCmd);
        g_status.lastWritten = *data;
        *q = static_cast<char>(g_status.q);
        decode_status(status);
        return 0;
    }

    // control: F 8-15 and 24-31
    card_write16(conn, 0, kCmd, command);
    if (!wait_ready(conn)) return 1;
    const uint16_t status = card_read16(conn, 0, kCmd);
    if (!wait_done(conn)) return 1;
    *q = static_cast<char>(g_status.q);
    decode_status(status);
    return 0;
}

CAMAC_API int CAMAC_CALL cccz(int ext) { return unaddressed(ext, 0x8002); }

CAMAC_API int CAMAC_CALL cccc(int ext) { return unaddressed(ext, 0x8001); }

CAMAC_API int CAMAC_CALL ccci(int ext, char l) { return unaddressed(ext, l ? 0x8004 : 0x8008); }

CAMAC_API int CAMAC_CALL ctci(int ext, char* l) {
    std::lock_guard lock(bus_lock());
    AdapterConnection* conn = connection();
    if (!conn) return 1;
    select_crate(conn, unpack(ext).c);
    if (!read_status(conn)) return 1;
    *l = static_cast<char>(g_status.i);
    return 0;
}

CAMAC_API int CAMAC_CALL ctgl(int ext, char* l) {
    std::lock_guard lock(bus_lock());
    AdapterConnection* conn = connection();
    if (!conn) return 1;
    select_crate(conn, unpack(ext).c);
    g_status.lamPattern = 0;
    if (!read_status(conn)) return 1;
    *l = static_cast<char>(g_status.l);
    if (g_status.l) {
        card_write16(conn, 0, kRsel, kReadoutLamPattern);
        if (!wait_done(conn)) return 1;
        g_status.lamPattern |= card_read16(conn, 0, kCmd);
    }
    return 0;
}

CAMAC_API CamacStatus* CAMAC_CALL cdata(void) { return &g_status; }

}  // extern "C"
