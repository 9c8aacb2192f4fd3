#pragma once

#include "Camcommand.h"

#include <array>
#include <cstddef>
#include <cstdint>

// The command program: the header of a script file followed by room for 256
// entries. The operator fills at most 255; the last slot is kept free for the
// temporary entry of a single command run while the program is full.
struct TCamProgram
{
    static constexpr std::int32_t capacity = 255;
    static constexpr std::int32_t slotCount = 256;

    std::int32_t runPosition = -1; // entry the worker executes next
    std::int32_t count = 0;        // entries in use, 0..255 (256 only during a run)
    std::array<std::uint8_t, 44> reserved{};
    std::array<TCamCommand, slotCount> entries{};

    // Empties the program: count 0, run position -1.
    void Reset();
    // Adds an entry behind the last one and makes it the run position.
    // Returns false, leaving the program as it was, when it is full.
    bool Append(const TCamCommand &command);
    // Adds the temporary entry of a single command run; it may take the spare
    // slot of a full program. Returns false only when that slot is taken too.
    bool AppendTemporary(const TCamCommand &command);
    void Rewind();
    bool Full() const { return count >= capacity; }
};

static_assert(offsetof(TCamProgram, runPosition) == 0);
static_assert(offsetof(TCamProgram, count) == 4);
static_assert(offsetof(TCamProgram, reserved) == 8);
static_assert(offsetof(TCamProgram, entries) == 52);
static_assert(sizeof(TCamProgram) == 52 + 256 * 40);
