// CamacDS: the TANGO device server of the KT40 adapter's crates.
//   CamacDS INSTANCE [TANGO options]
#include <tango.h>

#include "CamacCrateClass.h"
#include "CrateBus.h"

void Tango::DServer::class_factory() { add_class(camacds::CamacCrateClass::init("CamacCrate")); }

int main(int argc, char* argv[]) {
    int rc = 0;
    try {
        Tango::Util* util = Tango::Util::init(argc, argv);
        util->server_init();
        std::cout << "Ready to accept request" << std::endl;
        util->server_run();
        util->server_cleanup();
    } catch (const std::bad_alloc&) {
        std::cerr << "CamacDS: out of memory" << std::endl;
        rc = 1;
    } catch (const CORBA::Exception& e) {
        Tango::Except::print_exception(e);
        rc = 1;
    }
    camacds::Bus::instance().close();
    return rc;
}
