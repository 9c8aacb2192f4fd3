// What the C++ compiler expects of a run-time library, for kt40drv.sys,
// which links none: the driver is built without exceptions and RTTI and with
// no static constructors or destructors (every global is constant
// initialised; the link fails on anything else because there is no CRT), so
// all that remains is the slot the compiler puts in the virtual table of a
// class with a pure virtual function.
#include <wdm.h>

// Called only through the virtual table of an object still under construction
// or already destroyed: a fault in the driver. Stops the machine with a bug
// check rather than running on with a broken object. IRQL: any.
extern "C" void __cxa_pure_virtual() {
    KeBugCheckEx(0x4B543430 /* 'KT40' */, 0, 0, 0, 0);
}
