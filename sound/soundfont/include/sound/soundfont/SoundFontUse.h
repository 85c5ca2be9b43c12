#pragma once

#include <bitset>
#include <map>
#include <utility>

namespace qb::audio {

// The notes a preset is played with: bit key * 128 + velocity.
using NoteSet = std::bitset<128 * 128>;
using PresetKey = std::pair<int, int>; // bank, program

// What a song sounds: for each preset it selects, the notes played on it. The drum kit counts only
// the keys the song strikes.
struct SoundFontUse
{
    std::map<PresetKey, NoteSet> presets;
};

} // namespace qb::audio
