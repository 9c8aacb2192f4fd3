#pragma once

#include <cstddef>
#include <cstdint>

// One entry of the command program. The layout is the 40-byte record of a
// script file, so the structure is written and read as it stands in memory.
struct TCamCommand
{
    std::uint8_t kind = 0;         // 0 = CAMAC command, 1 = LAM operation
    std::int32_t lamOperation = 0; // kind 1: 0 = read the LAM pattern ("RDL")
    std::uint8_t addressed = 0;    // kind 0: 1 = N, A, F command; 0 = C, Z, I, NI
    std::int32_t mode = 0;         // word width, 16 or 24
    std::int32_t crate = 0;        // 0..3
    std::int32_t n = 0;            // station 1..24
    std::int32_t a = 0;            // subaddress 0..15
    std::int32_t f = 0;            // function 0..31
    std::int32_t data = 0;         // data word, masked to the width
    std::int32_t code = 0;         // unaddressed: 1 = C, 2 = Z, 4 = I, 8 = NI

    static constexpr std::uint8_t kindCamac = 0;
    static constexpr std::uint8_t kindLam = 1;
    static constexpr std::int32_t lamRead = 0;

    // F0-7 read a word, F16-23 write one, the rest (and F outside 0..31) do
    // neither: the one place these ranges are written (camactools' rules
    // take them from here).
    static constexpr bool Reads(std::int32_t f) { return f >= 0 && f <= 7; }
    static constexpr bool Writes(std::int32_t f) { return f >= 16 && f <= 23; }
};

static_assert(sizeof(TCamCommand) == 40);
static_assert(offsetof(TCamCommand, kind) == 0);
static_assert(offsetof(TCamCommand, lamOperation) == 4);
static_assert(offsetof(TCamCommand, addressed) == 8);
static_assert(offsetof(TCamCommand, mode) == 12);
static_assert(offsetof(TCamCommand, crate) == 16);
static_assert(offsetof(TCamCommand, n) == 20);
static_assert(offsetof(TCamCommand, a) == 24);
static_assert(offsetof(TCamCommand, f) == 28);
static_assert(offsetof(TCamCommand, data) == 32);
static_assert(offsetof(TCamCommand, code) == 36);
