#include "Camgrid.h"

#include <cstdint>

#include <fmt/format.h>

std::string TCamGrid::CellText(const TCamCommand &entry, int col)
{
    if (entry.kind == TCamCommand::kindCamac && entry.addressed == 1) {
        switch (col) {
        case 0: return fmt::format("B{:02}", entry.mode);
        case 1: return fmt::format("C{:02}", entry.crate);
        case 2: return fmt::format("N{:02}", entry.n);
        case 3: return fmt::format("A{:02}", entry.a);
        case 4: return fmt::format("F{:02}", entry.f);
        case 5: return TCamCommand::Writes(entry.f) ? fmt::format("D{:04X}", static_cast<unsigned>(entry.data))
                                                      : std::string();
        }
        return {};
    }
    if (entry.kind == TCamCommand::kindCamac) {
        if (col == 0)
            return fmt::format("C{:02}", entry.crate);
        if (col == 1)
            return entry.code == 1 ? "C" : entry.code == 2 ? "Z" : entry.code == 4 ? "I" : "NI";
        return {};
    }
    if (entry.kind == TCamCommand::kindLam && entry.lamOperation == TCamCommand::lamRead && col == 0)
        return "RDL";
    return {};
}

std::string TCamGrid::RowText(const TCamCommand &entry)
{
    std::string row;
    for (int col = 0; col < columns; ++col) {
        const std::string cell = CellText(entry, col);
        if (cell.empty())
            continue;
        if (!row.empty())
            row += ' ';
        row += cell;
    }
    return row;
}
