// CamacDS: the TANGO device server of the KT40 adapter's crates.
//   CamacDS INSTANCE [TANGO options]
#include <tango.h>

#include <cstring>
#include <iostream>

#include "CamacCrate.h"
#include "CamacCrateClass.h"
#include "CrateBus.h"

void Tango::DServer::class_factory() { add_class(camacds::CamacCrateClass::init("CamacCrate")); }

namespace {

// What `CamacDS --help` prints (and the manual page is made of).
void usage() {
    std::cout << "CamacDS: the TANGO device server of CAMAC crates behind the KT40 adapter\n\n"
                 "usage: CamacDS INSTANCE [-v[LEVEL]] [-nodb -dlist DEVICE,...] [-ORBendPoint giop:tcp:HOST:PORT]\n\n"
                 "One device of class CamacCrate per crate; all crates of one adapter belong in one\n"
                 "instance. TANGO_HOST names the database, as for every server.\n\n"
                 "Commands: CNAF [N, A, F(, data(, bits))] -> [data, Q, X]; ExecList (five numbers an\n"
                 "action) -> [data, Q, X] each; Block ([N, A, F, count(, words)], [mode(, bits)]) with\n"
                 "mode qstop, qrepeat, count or countq; Z; C. Attributes: Inhibit, LamPattern (events\n"
                 "on each LAM), LamCount, LastQ, LastX, LastStatusRecord, and one for each named\n"
                 "channel. State: ON, ALARM (a LAM masked), OFF (crate off-line), FAULT (adapter).\n\n"
                 "Device properties:\n";
    for (const auto& p : camacds::kProperties) {
        std::cout << "  " << p.name;
        if (*p.fallback) std::cout << " (default " << p.fallback << ")";
        std::cout << "\n      " << p.description << "\n";
    }
    std::cout << "\n--help prints this, --version the version; every other option is TANGO's own.\n";
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage();
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "CamacDS " << KT40_VERSION << "\n";
        return 0;
    }
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
