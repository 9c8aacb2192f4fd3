#include "Camgrid.h"

#include <cstdint>
#include <cstdio>

namespace {

std::string format(const char *fmt, std::int32_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, fmt, static_cast<int>(value));
    return text;
}

std::string hex(std::int32_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "D%04X", static_cast<unsigned>(value));
    return text;
}

} // namespace

std::string TCamGrid::CellText(const TCamCommand &entry, int col)
{
    if (entry.kind == TCamCommand::kindCamac && entry.addressed == 1) {
        switch (col) {
        case 0: return format("B%02d", entry.mode);
        case 1: return format("C%02d", entry.crate);
        case 2: return format("N%02d", entry.n);
        case 3: return format("A%02d", entry.a);
        case 4: return format("F%02d", entry.f);
        case 5: return entry.f >= 16 && entry.f <= 23 ? hex(entry.data) : std::string();
        }
        return {};
    }
    if (entry.kind == TCamCommand::kindCamac) {
        if (col == 0)
            return format("C%02d", entry.crate);
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
