// The routines over the packed path; see Packed.h.
//
// Where CamacStatus comes from here (the register path reads CSR and the
// status word itself):
//   x, q         the completion word's bits 17 and 16 (reads); after writes,
//                controls and crate commands the status word, as there;
//   l, i, bit11, bit10, lamPattern 17-24
//                the status word, which is the completion word's bits 0-15
//                after writes, controls and crate commands, and the second
//                readout of the LAM request (ctci, ctgl);
//   lamPattern 1-16  the LAM request's first readout (ctgl, with L);
//   error        the request's result code: 3 done timeout (0x0100), 2 the
//                adapter's error bit (0x0200), 1 another crate answered
//                (0x0300), 5 busy timeout (0x0500); a request the driver
//                refused or could not carry out is 0x0400. Result 4 (no X)
//                is no failure: X = 0, as on the register path.
// A read without X gives the low 16 bits the command left in CMD; the
// high byte of a 24-bit read is then 0 (the driver reads it only after X).
#include "Packed.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "LamLink.h"
#include "Protocol.h"
#include "State.h"
#include "kt40drv/Kt40drvIoctl.h"

namespace camac {

namespace {

struct Fields {
    unsigned c, n, a;
    bool wide;
};

Fields fields(int ext) {
    return Fields{static_cast<unsigned>(ext >> 9) & 3, static_cast<unsigned>(ext >> 4) & 31,
                  static_cast<unsigned>(ext) & 15, (ext & 0x8000) != 0};
}

uint32_t address_word(AdapterConnection* conn, int ext, int f) {
    const Fields x = fields(ext);
    conn->crates = static_cast<uint8_t>(conn->crates | 1u << x.c);
    return KT40DRV_ADDRESS(x.c, x.n, x.a, f, x.wide);
}

uint16_t error_of(uint32_t result) {
    switch (result) {
    case KT40DRV_RESULT_WRONG_CRATE: return CAMAC_ERR_WRONG_CRATE;
    case KT40DRV_RESULT_ERROR: return CAMAC_ERR_ADAPTER;
    case KT40DRV_RESULT_NO_DONE: return CAMAC_ERR_DONE_TIMEOUT;
    case KT40DRV_RESULT_BUSY: return CAMAC_ERR_BUSY_TIMEOUT;
    default: return CAMAC_ERR_DRIVER;
    }
}

// One request of three output words at most; false with CamacStatus.error
// set when it was not carried out.
bool send(AdapterConnection* conn, uint32_t code, const uint32_t* in, uint32_t inWords, uint32_t out[3]) {
    uint32_t information = 0;
    if (conn->packed->request(code, in, inWords * 4, out, 3 * 4, &information)) return true;
    g_status.error = CAMAC_ERR_DRIVER;
    return false;
}

// Result 0, or 4 where X = 0 is an answer; otherwise the failure is recorded.
bool answered(uint32_t result, bool addressed) {
    if (result == KT40DRV_RESULT_OK || (addressed && result == KT40DRV_RESULT_NO_X)) return true;
    g_status.error = error_of(result);
    return false;
}

void begin_action() {
    g_status.error = 0;
    g_status.x = 0;
    g_status.q = 0;
}

void take_qx(uint32_t completion) {
    g_status.x = (completion & KT40DRV_COMPLETION_X) ? 1 : 0;
    g_status.q = (completion & KT40DRV_COMPLETION_Q) ? 1 : 0;
}

// Reads both LAM readouts of crate c; out[1]'s low half is the status word.
bool read_lam(AdapterConnection* conn, unsigned c, uint32_t out[3]) {
    const uint32_t in[1] = {KT40DRV_ADDRESS(c, 0, 0, 0, 0)};
    return send(conn, KT40DRV_IOCTL_READLAM, in, 1, out) && answered(out[0], false);
}

}  // namespace

// ---- The path's choice ----------------------------------------------------------------

bool parse_adapter(const char* value, AdapterChoice& out) {
    if (std::strcmp(value, "isa") == 0) {
        out = {AdapterKind::Isa, 0};
    } else if (std::strcmp(value, "virtual") == 0) {
        out = {AdapterKind::Virtual, 0};
    } else if (std::strcmp(value, "virtual-pci") == 0) {
        out = {AdapterKind::VirtualPci, 0};
    } else if (std::strcmp(value, "pci") == 0) {
        out = {AdapterKind::Pci, 0};
    } else if (std::strncmp(value, "pci:", 4) == 0) {
        const char* digits = value + 4;
        if (*digits < '0' || *digits > '9') return false;
        char* end = nullptr;
        const unsigned long unit = std::strtoul(digits, &end, 10);
        if (*end != '\0' || unit > 99) return false;
        out = {AdapterKind::Pci, static_cast<unsigned>(unit)};
    } else {
        return false;
    }
    return true;
}

bool choose_adapter(AdapterChoice& out) {
    const char* value = std::getenv("KT40_ADAPTER");
    if (value && *value) {
        if (parse_adapter(value, out)) return true;
        set_error_text("KT40_ADAPTER='%.64s' names no adapter: use isa, pci, pci:N, virtual or virtual-pci\n", value);
        return false;
    }
#if defined(_WIN32) && !defined(CAMAC_VIRTUAL_ADAPTER)
    out = {sizeof(void*) == 4 ? AdapterKind::Isa : AdapterKind::Pci, 0};
#elif defined(_WIN32)
    out = {AdapterKind::Virtual, 0};
#else
    // The card when there is one, else the virtual crate.
    out = {sysfs_card_present() ? AdapterKind::Pci : AdapterKind::Virtual, 0};
#endif
    return true;
}

// ---- Opening ----------------------------------------------------------------------------

int packed_open(const AdapterChoice& choice, AdapterConnection** out) {
    *out = nullptr;
    PackedDevice* device = nullptr;
#ifdef _WIN32
    if (choice.kind == AdapterKind::Pci) device = open_driver_device(choice.unit);
#else
    if (choice.kind == AdapterKind::Pci) device = open_sysfs_device(choice.unit);
    if (choice.kind == AdapterKind::VirtualPci) device = open_driver_device(choice.unit);
#endif
    if (!device) return 0;
    auto* conn = new (std::nothrow) AdapterConnection;
    if (!conn) {
        delete device;
        set_error_text("Failed allocating memory\n");
        return 0;
    }
    conn->packed = device;
    *out = conn;
    return 1;
}

void packed_close(AdapterConnection* conn) {
    delete conn->packed;
    delete conn;
}

// ---- The routines -----------------------------------------------------------------------

int packed_cssa(AdapterConnection* conn, int f, int ext, int* data, char* q) {
    f &= 31;
    const bool read = f <= 7;
    const bool write = f >= 16 && f <= 23;
    const uint32_t in[2] = {address_word(conn, ext, f), write ? static_cast<uint32_t>(*data) : 0};
    uint32_t out[3] = {0, 0, 0};
    begin_action();
    if (read) *data = 0;
    if (!send(conn, KT40DRV_IOCTL_ADDRESSCOMMAND, in, write ? 2 : 1, out) || !answered(out[0], true)) return 1;
    take_qx(out[1]);
    *q = static_cast<char>(g_status.q);
    if (read) {
        *data = static_cast<int>(out[0] == KT40DRV_RESULT_OK ? out[2] : out[1] & 0xFFFF);
        g_status.lastRead = *data;
        return 0;
    }
    if (write) g_status.lastWritten = *data;
    decode_status(static_cast<uint16_t>(out[1]));
    return 0;
}

int packed_crate_command(AdapterConnection* conn, int ext, uint32_t code) {
    const uint32_t in[2] = {address_word(conn, ext, 0), code};
    uint32_t out[3] = {0, 0, 0};
    begin_action();
    if (!send(conn, KT40DRV_IOCTL_CRATECOMMAND, in, 2, out) || !answered(out[0], false)) return 1;
    take_qx(out[1]);
    decode_status(static_cast<uint16_t>(out[1]));
    return 0;
}

int packed_ctci(AdapterConnection* conn, int ext, char* l) {
    uint32_t out[3] = {0, 0, 0};
    begin_action();
    address_word(conn, ext, 0);
    if (!read_lam(conn, fields(ext).c, out)) return 1;
    take_qx(out[1]);
    decode_status(static_cast<uint16_t>(out[1]));
    *l = static_cast<char>(g_status.i);
    return 0;
}

int packed_ctgl(AdapterConnection* conn, int ext, char* l) {
    uint32_t out[3] = {0, 0, 0};
    begin_action();
    g_status.lamPattern = 0;
    address_word(conn, ext, 0);
    if (!read_lam(conn, fields(ext).c, out)) return 1;
    take_qx(out[1]);
    decode_status(static_cast<uint16_t>(out[1]));
    *l = static_cast<char>(g_status.l);
    if (g_status.l) g_status.lamPattern |= out[2] & 0xFFFF;
    return 0;
}

bool packed_lam_present(AdapterConnection* conn) {
    const CamacStatus kept = g_status;
    bool present = false;
    for (unsigned c = 0; c < 4 && !present; ++c) {
        if (!(conn->crates & 1u << c)) continue;
        uint32_t out[3] = {0, 0, 0};
        if (read_lam(conn, c, out)) present = (out[1] & 0x8000) != 0 || out[2] != 0;
    }
    g_status = kept;
    return present;
}

// ---- Blocks -------------------------------------------------------------------------------

int packed_block(AdapterConnection* conn, int mode, camac_private_action* actions, int count, int qrepeatLimit,
                 unsigned* error) {
    *error = 0;
    if (count <= 0) return 0;
    const uint32_t kind = mode == CAMAC_PRIVATE_QSTOP     ? KT40DRV_BLOCK_QSTOP
                          : mode == CAMAC_PRIVATE_QREPEAT ? KT40DRV_BLOCK_QREPEAT
                                                          : KT40DRV_BLOCK_LIST;
    const uint32_t limit = kind == KT40DRV_BLOCK_QREPEAT
                               ? static_cast<uint32_t>(qrepeatLimit < 1 ? 1
                                                       : qrepeatLimit > static_cast<int>(KT40DRV_BLOCK_MAX_REPEAT)
                                                           ? KT40DRV_BLOCK_MAX_REPEAT
                                                           : qrepeatLimit)
                               : 0;
    std::vector<uint32_t> in, out;
    int done = 0;
    begin_action();
    for (int first = 0; first < count;) {
        const uint32_t n = static_cast<uint32_t>(
            count - first < static_cast<int>(KT40DRV_BLOCK_MAX_ACTIONS) ? count - first : KT40DRV_BLOCK_MAX_ACTIONS);
        in.assign(KT40DRV_BLOCK_BYTES(n) / 4, 0);
        out.assign(KT40DRV_BLOCK_BYTES(n) / 4, 0);
        in[0] = kind;
        in[1] = n;
        in[2] = limit;
        for (uint32_t i = 0; i < n; ++i) {
            const camac_private_action& a = actions[kind == KT40DRV_BLOCK_LIST ? first + i : 0];
            in[KT40DRV_BLOCK_HEADER_WORDS + 2 * i] = address_word(conn, a.ext, a.f & 31);
            in[KT40DRV_BLOCK_HEADER_WORDS + 2 * i + 1] = static_cast<uint32_t>(actions[first + i].data);
        }
        uint32_t information = 0;
        if (!conn->packed->request(KT40DRV_IOCTL_BLOCK, in.data(), KT40DRV_BLOCK_BYTES(n), out.data(),
                                   KT40DRV_BLOCK_BYTES(n), &information) ||
            information < KT40DRV_BLOCK_BYTES(0) || information > KT40DRV_BLOCK_BYTES(n)) {
            *error = g_status.error = CAMAC_ERR_DRIVER;
            return done;
        }
        const uint32_t started = (information - KT40DRV_BLOCK_BYTES(0)) / 8;
        for (uint32_t i = 0; i < started; ++i) {
            camac_private_action& a = actions[first + i];
            const int f = (kind == KT40DRV_BLOCK_LIST ? a.f : actions[0].f) & 31;
            const uint32_t completion = out[KT40DRV_BLOCK_HEADER_WORDS + 2 * i];
            a.q = (completion & KT40DRV_COMPLETION_Q) ? 1 : 0;
            a.x = (completion & KT40DRV_COMPLETION_X) ? 1 : 0;
            take_qx(completion);
            if (f <= 7) {
                a.data = static_cast<int>(a.x ? out[KT40DRV_BLOCK_HEADER_WORDS + 2 * i + 1] : completion & 0xFFFF);
                if (i < out[1] || kind == KT40DRV_BLOCK_LIST) g_status.lastRead = a.data;
            } else {
                if (f >= 16 && f <= 23) g_status.lastWritten = a.data;
                decode_status(static_cast<uint16_t>(completion));
            }
        }
        done += static_cast<int>(out[1]);
        const uint32_t result = out[0];
        if (result != KT40DRV_RESULT_OK) {
            *error = g_status.error = result == KT40DRV_RESULT_NO_Q  ? CAMAC_PRIVATE_ERR_NO_Q
                                      : result == KT40DRV_RESULT_NO_X ? CAMAC_PRIVATE_ERR_NO_X
                                                                       : error_of(result);
            return done;
        }
        if (out[1] < n) return done;  // Q-stop: Q = 0
        first += static_cast<int>(n);
    }
    return done;
}

}  // namespace camac
