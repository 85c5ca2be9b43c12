#pragma once

#include <cstdint>

namespace qb::audio {

// GM/GM2 system on, GS reset and XG system on: `d` holds the `n` bytes between F0 and F7. Each puts
// every channel back to its power-on state, so two of them with nothing between do the work of one.
inline bool isSystemResetSysex(const std::uint8_t* d, std::uint32_t n)
{
    if (n >= 4 && d[0] == 0x7E && d[2] == 0x09 && (d[3] == 0x01 || d[3] == 0x03))
        return true;
    if (n >= 8 && d[0] == 0x41 && d[2] == 0x42 && d[3] == 0x12 && d[4] == 0x40 && d[5] == 0x00 &&
        d[6] == 0x7F)
        return true;
    if (n >= 7 && d[0] == 0x43 && (d[1] & 0xF0) == 0x10 && d[2] == 0x4C && d[3] == 0x00 && d[4] == 0x00 &&
        (d[5] == 0x7E || d[5] == 0x7F))
        return true;
    return false;
}

// A GS data set to a part's parameters (address 40 1x xx), such as switching a part to drums: it can
// change which preset a channel plays.
inline bool isGsPartSysex(const std::uint8_t* d, std::uint32_t n)
{
    return n >= 7 && d[0] == 0x41 && d[2] == 0x42 && d[3] == 0x12 && d[4] == 0x40 && (d[5] & 0xF0) == 0x10;
}

} // namespace qb::audio
