// Process-wide state of the library.
#pragma once

#include <atomic>
#include <mutex>

#include "Access.h"
#include "camac.h"

namespace camac {

extern CamacStatus g_status;

// The open connection, null while there is none.
extern std::atomic<AdapterConnection*> g_connection;

// Held for every register sequence, so that an action on one thread and the
// LAM thread's CSR writes never interleave. Never held while a caller's LAM
// handler runs.
std::mutex& bus_lock();

// cssa's work on an open connection, either path, with the bus lock held.
int cssa_locked(AdapterConnection* conn, int f, int ext, int* data, char* q);

// Closes the open connection, if any (the routines themselves never do).
void disconnect();

}  // namespace camac
