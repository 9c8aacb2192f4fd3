// The user's virtual crate: kept in a memory-mapped image between programs,
// and held by one program at a time, as a real crate belongs to the one
// program that registered the adapter's ports.
//
// KT40_SIM_STATE selects it:
//   unset or empty  the user's crate, in ${XDG_STATE_HOME:-~/.local/state}/kt40/
//                   (crate.image, and crate.lock held while a program has it);
//   "private"       a fresh crate of the process alone: nothing is read, kept
//                   or locked (tests and benchmarks);
//   anything else   refused with a message, and a private crate.
//
// The crates live in the image itself, so every completed action is in the
// file the moment it is done: a program killed by any signal loses nothing
// it finished. An image that cannot be taken is put aside, never over an
// earlier one: crate.image.damaged-STAMP when it is not a sound image,
// crate.image.previous-STAMP when it is the crate of another description
// (KT40_CRATE_FILE changed); the crate then starts fresh. A KT40_CRATE_FILE
// that cannot be read leaves the user's crate as it is: the program runs on
// a private default crate and is told so.
#pragma once

#include <cstdint>
#include <string>

#include "kt40sim/Adapter.h"

namespace wdsim {

// Takes the user's crate for this process and puts its image under the
// adapter. 0, or kStatusResourceOverlap when another program holds it.
// Holding it already, or a private crate: 0.
uint32_t acquireUserCrate();

// Lets the crate go (the image holds everything already). Nothing when it is
// not held. Also run at exit.
void releaseUserCrate();

// For the bench: the user's crate under this process's adapter whether or
// not another program holds it (beside that program, through the image's
// lock). False with a reason when there is no user's crate to act on.
bool attachBench(std::string& error);

// Renames `path` to a set-aside name for `why` that no earlier file has;
// returns the new name, or "" (errno says why).
std::string setAside(const std::string& path, kt40sim::ImageProblem why);

// The folder of the image and lock files; empty when neither XDG_STATE_HOME
// nor HOME says where it is.
std::string userCrateFolder();

}  // namespace wdsim
