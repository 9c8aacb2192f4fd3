// The virtual adapter's crate in the Windows demonstration library: every
// process gets a fresh crate of its own. Nothing is kept between programs and
// nothing is locked, so two demonstration programs never refuse each other.
#include "UserCrate.h"

namespace wdsim {

uint32_t acquireUserCrate() { return 0; }

void releaseUserCrate() {}

std::string userCrateFolder() { return {}; }

}  // namespace wdsim
