#pragma once

#include <cstdint>
#include <vector>

namespace qb::loopfind {

class Source;

// The coarse picture of a file: for each step of `step` frames, the levels of kBands frequency bands
// over the three steps around it, and how much they change there.
struct FeatureTrack
{
    static constexpr int kBands = 16;
    int step = 0;
    std::int64_t steps = 0;
    // steps * kBands levels in half decibels above -100 dB relative to full scale.
    std::vector<std::uint8_t> levels;
    // Per step: the mean change of the band levels over the next two steps, in half decibels, capped.
    // Zero in silence and in a steady sound, so that only music that moves counts as repeated.
    std::vector<std::uint8_t> novelty;

    const std::uint8_t* at(std::int64_t s) const { return levels.data() + s * kBands; }
};

// Reads the whole file once, in order. False when the read failed or the search was cancelled.
bool computeFeatures(Source& source, int step, FeatureTrack& track);

// The sum of absolute differences of two steps' band levels.
int levelDistance(const std::uint8_t* a, const std::uint8_t* b);

} // namespace qb::loopfind
