#include "Camprogram.h"

void TCamProgram::Reset()
{
    count = 0;
    runPosition = -1;
}

bool TCamProgram::Append(const TCamCommand &command)
{
    if (count >= capacity || count < 0)
        return false;
    runPosition = count;
    entries[static_cast<std::size_t>(count)] = command;
    ++count;
    return true;
}

bool TCamProgram::AppendTemporary(const TCamCommand &command)
{
    if (count >= slotCount || count < 0)
        return false;
    runPosition = count;
    entries[static_cast<std::size_t>(count)] = command;
    ++count;
    return true;
}

void TCamProgram::Rewind()
{
    runPosition = 0;
}
