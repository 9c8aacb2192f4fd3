// The user's virtual crate: kept in a state file between programs, and held
// by one program at a time, as a real crate belongs to the one program that
// registered the adapter's ports.
//
// KT40_SIM_STATE selects it:
//   unset or empty  the user's crate, in ${XDG_STATE_HOME:-~/.local/state}/kt40/
//                   (crate.state, and crate.lock held while a program has it);
//   "private"       a fresh crate of the process alone: nothing is read, kept
//                   or locked (tests and benchmarks);
//   anything else   refused with a message, and a private crate.
#pragma once

#include <cstdint>
#include <string>

namespace wdsim {

// Takes the user's crate for this process and loads its state into the
// adapter (a damaged state is put aside with a message naming the file and
// line, and the crate starts fresh). 0, or kStatusResourceOverlap when
// another program holds it. Holding it already, or a private crate: 0.
uint32_t acquireUserCrate();

// Saves the crate's state (atomically: a new file renamed over the old) and
// lets it go. Nothing when it is not held. Also run at exit.
void releaseUserCrate();

// The folder of the state and lock files; empty when neither XDG_STATE_HOME
// nor HOME says where it is.
std::string userCrateFolder();

}  // namespace wdsim
