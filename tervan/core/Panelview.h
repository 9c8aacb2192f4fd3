#pragma once

#include <cstdint>

// What the worker has to show on the panel since the panel last looked: each
// part carries its own "changed" flag, so that a refresh applies only what an
// entry actually touched, in the order in which an entry touches them (R or
// "ERROR", the indicators, the LAM table, the release of "Однократно").
struct TPanelView
{
    bool rChanged = false;
    bool rError = false;  // "ERROR" instead of a value
    std::int32_t r = 0;

    bool indicatorsChanged = false;
    int x = 2, q = 2, l = 2, i = 2; // 0, 1, or 2 for not applicable

    bool lamChanged = false;
    std::uint32_t lamMask = 0;
    std::uint32_t lamPattern = 0;

    bool oneTimeReleased = false;
    bool cycleReleased = false; // the worker ended a cycle that had nothing left to run

    std::uint64_t entries = 0; // entries executed since the last look
};
