// The private entries for camac758 and the programs of this build.
#include <mutex>

#include "Packed.h"
#include "State.h"
#include "camac_private.h"

using namespace camac;

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

extern "C" CAMAC_PRIVATE_API const char* CAMAC_CALL camac_private_error_text(void) { return error_text(); }
