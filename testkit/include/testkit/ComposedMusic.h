#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace qb::test {

// Music made for the tests, interleaved stereo at 44.1 kHz: four voices of different timbres (bass,
// lead, chords, drums) on a pentatonic scale at 120 beats a minute, notes chosen by a seed.
using Samples = std::vector<float>;

struct Note
{
    double start = 0;  // seconds
    double length = 0; // seconds until the decay has done its work
    double hz = 0;     // 0 for the unpitched drums
    float level = 0;
    int voice = 0;
};

// `seconds` of notes chosen by `seed`.
std::vector<Note> compose(std::uint32_t seed, double seconds);

// Renders the notes into `frames` stereo frames. `performance` seeds what a player does not control
// note by note: the phase each note starts in, the drums' noise and (`humanise`) a few milliseconds of
// timing, so that two performances of the same notes sound the same but are not the same waveform.
Samples render(const std::vector<Note>& notes, std::int64_t frames, std::uint32_t performance,
               bool humanise = false);

// Frames [from, to) of `s`; parts one after the other; `s` fading to silence over its length.
Samples slice(const Samples& s, std::int64_t from, std::int64_t to);
Samples join(std::initializer_list<Samples> parts);
Samples fadeOut(Samples s);

// Game music as people keep it: an introduction, the section, the same section again and the start
// of a third pass fading out. [start, end) is the loop the file repeats, in frames.
struct Arranged
{
    Samples samples;
    std::int64_t start = 0, end = 0;
};
Arranged arrange(std::uint32_t seed, std::int64_t intro, std::int64_t section, std::int64_t fade);

} // namespace qb::test
