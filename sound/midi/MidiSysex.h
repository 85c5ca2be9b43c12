#pragma once

#include <cstdint>
#include <optional>

namespace qb::audio {

// The device number the synthesiser answers besides "all" (7F): 16, the default of Roland's and
// Yamaha's instruments, to which GS and XG files address their messages.
inline constexpr int kSysexDeviceId = 16;

// GM/GM2 system on, GS reset and XG system on: `d` holds the `n` bytes between F0 and F7. Each puts
// every channel back to its power-on state, so two of them with nothing between do the work of one.
inline bool isSystemResetSysex(const std::uint8_t* d, std::uint32_t n)
{
    if (n >= 4 && d[0] == 0x7E && d[2] == 0x09 && (d[3] == 0x01 || d[3] == 0x03))
        return true;
    if (n >= 8 && d[0] == 0x41 && d[2] == 0x42 && d[3] == 0x12 && d[4] == 0x40 && d[5] == 0x00 &&
        d[6] == 0x7F)
        return true;
    if (n >= 7 && d[0] == 0x43 && ((d[1] & 0xF0) == 0x10 || d[1] == 0x7F) && d[2] == 0x4C && d[3] == 0x00 &&
        d[4] == 0x00 && (d[5] == 0x7E || d[5] == 0x7F))
        return true;
    return false;
}

// A GS data set to a part's parameters (address 40 1x xx), such as switching a part to drums: it can
// change which preset a channel plays.
inline bool isGsPartSysex(const std::uint8_t* d, std::uint32_t n)
{
    return n >= 7 && d[0] == 0x41 && d[2] == 0x42 && d[3] == 0x12 && d[4] == 0x40 && (d[5] & 0xF0) == 0x10;
}

struct GsRhythmPart
{
    int channel;
    bool drums;
};

// `d`, `n` as above: a GS "use for rhythm part" message (40 1x 15) exactly as the synthesiser takes
// it, or nothing. It takes one addressed to its device or to all, with one data byte and the right
// checksum, both compared as signed bytes (so a checksum byte of 80 or more never matches, and a
// data byte of 80 or more means drums like 1 and 2, the two drum maps).
inline std::optional<GsRhythmPart> gsRhythmPart(const std::uint8_t* d, std::uint32_t n)
{
    if (n != 9 || d[0] != 0x41 || (d[1] != kSysexDeviceId && d[1] != 0x7F) || d[2] != 0x42 || d[3] != 0x12 ||
        d[4] != 0x40 || (d[5] & 0xF0) != 0x10 || d[6] != 0x15)
        return std::nullopt;
    const int sum = d[4] + d[5] + d[6] + d[7];
    if (d[8] >= 0x80 || 0x80 - (sum & 0x7F) != d[8] || (d[7] > 2 && d[7] < 0x80))
        return std::nullopt;
    // Part 10 is channel 10, parts 1 to 9 are channels 1 to 9, and parts 11 to 16 keep their numbers.
    const int part = d[5] & 0x0F;
    return GsRhythmPart{part == 0 ? 9 : part < 10 ? part - 1 : part, d[7] != 0};
}

} // namespace qb::audio
