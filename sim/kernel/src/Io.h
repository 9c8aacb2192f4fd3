// What the stand-in kernel's I/O manager (Io.cpp), Plug and Play manager
// (Pnp.cpp) and teardown (Teardown.cpp) share.
#pragma once

#include <cstdint>
#include <string>

#include "State.h"

namespace kt40kernel::detail {

// The top of the device stack a device belongs to.
PDEVICE_OBJECT attachedTop(PDEVICE_OBJECT d);
PDRIVER_OBJECT newDriverObject(const std::wstring& name);
void deleteDriverObject(PDRIVER_OBJECT d);

// Sends a request the way the I/O or PnP manager does, in the calling
// thread (issue), and waits for it and takes it out of the tables (collect).
using Fill = void (*)(PIRP, PIO_STACK_LOCATION, void*);
uint64_t issue(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, PFILE_OBJECT file, Fill fill, void* context,
               NTSTATUS initial, PMDL mdl = nullptr);
IO_STATUS_BLOCK collect(uint64_t id);
IO_STATUS_BLOCK send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, PFILE_OBJECT file, Fill fill, void* context,
                     NTSTATUS initial = STATUS_SUCCESS);

// The virtual adapters on the bus (Pnp.cpp).
PDEVICE_OBJECT pdoOf(int adapter);
void setAssigned(int adapter, bool assigned);
NTSTATUS pnp(int adapter, UCHAR minor);

}  // namespace kt40kernel::detail
