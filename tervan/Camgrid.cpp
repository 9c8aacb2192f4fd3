#include "Camgrid.h"

#include <cstdio>

namespace {

std::string format(const char *fmt, unsigned value)
{
    char text[32];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}

} // namespace

std::string TCamGrid::CellText(const TCamCommand &entry, int col)
{
    if (entry.kind == TCamCommand::kindCamac && entry.addressed == 1) {
        switch (col) {
        case 0: return format("B%02u", static_cast<unsigned>(entry.mode));
        case 1: return format("C%02u", static_cast<unsigned>(entry.crate));
        case 2: return format("N%02u", static_cast<unsigned>(entry.n));
        case 3: return format("A%02u", static_cast<unsigned>(entry.a));
        case 4: return format("F%02u", static_cast<unsigned>(entry.f));
        case 5: return entry.f >= 16 && entry.f <= 23 ? format("D%04X", static_cast<unsigned>(entry.data)) : std::string();
        }
        return {};
    }
    if (entry.kind == TCamCommand::kindCamac) {
        if (col == 0)
            return format("C%02u", static_cast<unsigned>(entry.crate));
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
