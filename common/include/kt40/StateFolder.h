// Where the KT40 programs keep what they keep for a user between runs (the
// virtual crate's image and lock, the shell's history). Header-only and built
// on the standard library alone, so that any layer may include it, the
// virtual crate's library as well as the command line.
#pragma once

#include <cstdlib>
#include <string>

namespace kt40 {

// ${XDG_STATE_HOME:-~/.local/state}/kt40. A variable that does not hold an
// absolute path counts as unset (as the XDG base directories say); empty when
// neither XDG_STATE_HOME nor HOME says where. Only the folder's name: nothing
// is made.
inline std::string userStateFolder() {
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && xdg[0] == '/') return std::string(xdg) + "/kt40";
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return std::string(home) + "/.local/state/kt40";
    return {};
}

}  // namespace kt40
