// The stand-in kernel's <ntddk.h>: everything is in <wdm.h>.
#pragma once
#include <wdm.h>
