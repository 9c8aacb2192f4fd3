// The private entries for camac758 and the programs of this build.
#include <atomic>
#include <mutex>

#include "Packed.h"
#include "Protocol.h"
#include "State.h"
#include "camac_private.h"

using namespace camac;

namespace {

// One action of cssa's, under the bus lock held by the caller: false on a
// failed wait (CamacStatus.error set), else the action's q and x (and data).
bool register_action(AdapterConnection* conn, camac_private_action& a) {
    int data = a.data;
    char q = 0;
    if (cssa_locked(conn, a.f, a.ext, &data, &q) != 0) return false;
    if ((a.f & 31) <= 7) a.data = data;
    a.q = q ? 1 : 0;
    a.x = g_status.x;
    return true;
}

// The register path's blocks, by the rules of the driver's block request.
int register_block(AdapterConnection* conn, int mode, camac_private_action* actions, int count, int limit,
                   unsigned* error) {
    int done = 0;
    const auto failed = [&](unsigned code) {
        *error = code;
        g_status.error = static_cast<uint16_t>(code);
        return done;
    };
    for (int k = 0; k < count; ++k) {
        camac_private_action& a = actions[k];
        if (mode != CAMAC_PRIVATE_LIST) a.ext = actions[0].ext, a.f = actions[0].f;
        for (int tries = 1;; ++tries) {
            if (!register_action(conn, a)) return failed(g_status.error);
            if (mode == CAMAC_PRIVATE_LIST) break;
            if (!a.x) return failed(CAMAC_PRIVATE_ERR_NO_X);
            if (a.q) break;
            if (mode == CAMAC_PRIVATE_QSTOP) return done;
            if (tries >= limit) return failed(CAMAC_PRIVATE_ERR_NO_Q);
        }
        ++done;
    }
    return done;
}

std::atomic<int> g_packedDemand{0};

}  // namespace

extern "C" CAMAC_PRIVATE_API int CAMAC_CALL camac_private_block(int mode, camac_private_action* actions, int count,
                                                                int qrepeatLimit, unsigned* error) {
    unsigned ignored = 0;
    if (!error) error = &ignored;
    *error = 0;
    std::lock_guard lock(bus_lock());
    AdapterConnection* conn = g_connection.load(std::memory_order_acquire);
    if (!conn || !conn->packed) return -1;  // one by one, through cssa
    if (!actions || count < 0) {
        *error = CAMAC_PRIVATE_ERR_ARGUMENT;
        return 0;
    }
    return packed_block(conn, mode, actions, count, qrepeatLimit, error);
}

extern "C" CAMAC_PRIVATE_API int CAMAC_CALL camac_private_run(int mode, camac_private_action* actions, int count,
                                                              int qrepeatLimit, unsigned* error) {
    unsigned ignored = 0;
    if (!error) error = &ignored;
    *error = 0;
    std::lock_guard lock(bus_lock());
    AdapterConnection* conn = g_connection.load(std::memory_order_acquire);
    if (!conn) {
        *error = g_status.error = CAMAC_ERR_DONE_TIMEOUT;
        return 0;
    }
    if (!actions || count < 0) {
        *error = CAMAC_PRIVATE_ERR_ARGUMENT;
        return 0;
    }
    if (conn->packed) return packed_block(conn, mode, actions, count, qrepeatLimit, error);
    g_status.x = g_status.q = 0;
    return register_block(conn, mode, actions, count, qrepeatLimit < 1 ? 1 : qrepeatLimit, error);
}

extern "C" CAMAC_PRIVATE_API int CAMAC_CALL camac_private_crate_demand(int, int set, int* on) {
    std::lock_guard lock(bus_lock());
    AdapterConnection* conn = g_connection.load(std::memory_order_acquire);
    if (!conn) {
        g_status.error = CAMAC_ERR_DONE_TIMEOUT;
        return 1;
    }
    int state = 0;
    if (conn->packed) {
        if (set >= 0) g_packedDemand.store(set ? 1 : 0);
        state = g_packedDemand.load();
    } else {
        if (set >= 0) {
            write_lam_enable(conn, set != 0);
            if (!wait_ready(conn)) return 1;
        }
        state = (card_read16(conn, 0, kCsr) & kCsrEnableReadBack) ? 1 : 0;
    }
    if (on) *on = state;
    return 0;
}

extern "C" CAMAC_PRIVATE_API const char* CAMAC_CALL camac_private_error_text(void) { return error_text(); }

extern "C" CAMAC_PRIVATE_API int CAMAC_CALL camac_private_release(void) {
    disconnect();
    return 0;
}
