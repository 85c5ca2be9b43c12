#pragma once

#include "sound/midi/MidiSequence.h"
#include "sound/soundfont/ChannelPresets.h"
#include "sound/soundfont/SoundFontUse.h"

#include <cstdint>

namespace qb::audio {

class SoundFontTables;

// What `sequence` sounds on the font of `tables`, on every pass and from any position playing starts
// at: follows the song's bank selects, program changes, GS drum parts and system resets as the
// decoder sends them and the synthesiser then chooses presets (see ChannelPresets), so that the
// subset built from it holds every note the song plays and nothing is left to load while it plays.
SoundFontUse collectSoundFontUse(const MidiSequence& sequence, const SoundFontTables& tables);
// The same for the notes that start before frame `before` of the first pass: what its beginning sounds.
SoundFontUse collectSoundFontUse(const MidiSequence& sequence, const SoundFontTables& tables,
                                 std::int64_t before);
// The same for a font known only by the presets it has.
SoundFontUse collectSoundFontUse(const MidiSequence& sequence, ChannelPresets::Catalogue catalogue);

} // namespace qb::audio
