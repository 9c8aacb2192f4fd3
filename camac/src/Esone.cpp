// The ESONE routines.
#include <cstring>

#include "Packed.h"
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

// Why this build cannot take the chosen path; null when it can.
const char* unavailable(AdapterKind kind) {
#if defined(_WIN32) && defined(CAMAC_VIRTUAL_ADAPTER)
    if (kind != AdapterKind::Virtual)
        return "this is the virtual adapter's camac.dll, which has the virtual crate alone (KT40_ADAPTER=virtual)";
#elif defined(_WIN32)
    if (kind == AdapterKind::Isa && sizeof(void*) == 8)
        return "the WinDriver service's records are those of 32-bit programs: the ISA adapter needs the 32-bit "
               "camac.dll (this one is 64-bit and reaches the PCI adapter through kt40drv, KT40_ADAPTER=pci)";
    if (kind == AdapterKind::Virtual || kind == AdapterKind::VirtualPci)
        return "this camac.dll drives the adapters themselves; the virtual crate comes with the virtual adapter's "
               "camac.dll";
#else
    if (kind == AdapterKind::Isa)
        return "the WinDriver service runs on Windows alone; on Linux use pci, virtual or virtual-pci";
#endif
    (void)kind;
    return nullptr;
}

const char* name_of(AdapterKind kind) {
    switch (kind) {
    case AdapterKind::Isa: return "isa";
    case AdapterKind::Pci: return "pci";
    case AdapterKind::Virtual: return "virtual";
    case AdapterKind::VirtualPci: return "virtual-pci";
    }
    return "?";
}

// Opens the path that KT40_ADAPTER (or the build) chooses; null with the
// reason in the error text.
AdapterConnection* open_adapter() {
    set_error_text("%s", "");
    AdapterChoice choice;
    if (!choose_adapter(choice)) return nullptr;
    if (const char* why = unavailable(choice.kind)) {
        set_error_text("KT40_ADAPTER=%s: %s\n", name_of(choice.kind), why);
        return nullptr;
    }
    AdapterConnection* conn = nullptr;
    if (choice.kind == AdapterKind::Isa || choice.kind == AdapterKind::Virtual)
        card_open(&conn);
    else
        packed_open(choice, &conn);
    return conn;
}

// The unaddressed commands: W CMD = code; wait_done; R CMD = status word.
int unaddressed(int ext, uint16_t code) {
    std::lock_guard lock(bus_lock());
    AdapterConnection* conn = connection();
    if (!conn) return 1;
    if (conn->packed) return packed_crate_command(conn, ext, code & 0x0F);
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

int cssa_locked(AdapterConnection* conn, int f, int ext, int* data, char* q) {
    if (conn->packed) return packed_cssa(conn, f, ext, data, q);
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

}  // namespace camac

using namespace camac;

extern "C" {

CAMAC_API int CAMAC_CALL ccinit(void) {
    std::lock_guard lock(bus_lock());
    AdapterConnection* conn = g_connection.load();
    // A connection that is already open stays: the service would refuse a
    // second registration of the same ports and interrupt.
    if (!conn && (conn = open_adapter())) g_connection.store(conn, std::memory_order_release);
    std::memset(&g_status, 0, sizeof g_status);
    if (!conn) return 1;
    // The packed port never writes CSR: its crate travels in every access.
    if (!conn->packed) card_write16(conn, 0, kCsr, 0);
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
    return cssa_locked(conn, f, ext, data, q);
}

CAMAC_API int CAMAC_CALL cccz(int ext) { return unaddressed(ext, 0x8002); }

CAMAC_API int CAMAC_CALL cccc(int ext) { return unaddressed(ext, 0x8001); }

CAMAC_API int CAMAC_CALL ccci(int ext, char l) { return unaddressed(ext, l ? 0x8004 : 0x8008); }

CAMAC_API int CAMAC_CALL ctci(int ext, char* l) {
    std::lock_guard lock(bus_lock());
    AdapterConnection* conn = connection();
    if (!conn) return 1;
    if (conn->packed) return packed_ctci(conn, ext, l);
    select_crate(conn, unpack(ext).c);
    if (!read_status(conn)) return 1;
    *l = static_cast<char>(g_status.i);
    return 0;
}

CAMAC_API int CAMAC_CALL ctgl(int ext, char* l) {
    std::lock_guard lock(bus_lock());
    AdapterConnection* conn = connection();
    if (!conn) return 1;
    if (conn->packed) return packed_ctgl(conn, ext, l);
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
