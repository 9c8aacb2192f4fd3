#pragma once

#include "Camcommand.h"

#include <string>

// The program grid's text: six columns a row, one row an entry. An addressed
// command shows B, C, N, A, F and, for a write, its data in hex; an
// unaddressed one its crate and C, Z, I or NI; a LAM read "RDL". Shared by
// the panel's grid and the command line, so both show an entry alike.
struct TCamGrid
{
    static constexpr int columns = 6;
    static std::string CellText(const TCamCommand &entry, int col);
    // The cells of a row that are not empty, separated by one space.
    static std::string RowText(const TCamCommand &entry);
};
