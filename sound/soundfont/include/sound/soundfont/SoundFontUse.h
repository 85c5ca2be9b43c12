#pragma once

#include <algorithm>
#include <bitset>
#include <limits>
#include <map>
#include <utility>

namespace qb::audio {

// The notes a preset is played with: bit key * 128 + velocity.
using NoteSet = std::bitset<128 * 128>;
using PresetKey = std::pair<int, int>; // bank, program

// How far into its samples a song can play a preset: the longest its notes are held (from the
// note-on to the key's release by a note-off, a pedal or the end of a pass) and the most the pitch
// wheel raises them, in cents. A sample no note can play to its end needs only what the notes reach.
struct PresetReach
{
    double holdSeconds = std::numeric_limits<double>::infinity();
    int bendCents = std::numeric_limits<int>::max();

    // Reaches as far as anything: whole samples.
    bool whole() const { return holdSeconds == std::numeric_limits<double>::infinity(); }
    // Whether samples cut for this reach serve `other` as well.
    bool covers(const PresetReach& other) const
    {
        return holdSeconds >= other.holdSeconds && bendCents >= other.bendCents;
    }
    PresetReach joined(const PresetReach& other) const
    {
        return {std::max(holdSeconds, other.holdSeconds), std::max(bendCents, other.bendCents)};
    }
};

// What a song sounds: for each preset it selects, the notes played on it. The drum kit counts only
// the keys the song strikes.
struct SoundFontUse
{
    std::map<PresetKey, NoteSet> presets;
    // How far the song plays each preset; a preset without an entry is played whole.
    std::map<PresetKey, PresetReach> reach;

    PresetReach reachOf(const PresetKey& key) const
    {
        const auto found = reach.find(key);
        return found != reach.end() ? found->second : PresetReach{};
    }
};

} // namespace qb::audio
