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
//
// It also tells how far the song plays each preset (SoundFontUse::reach): a note is held from its
// note-on until its key is released by a note-off, or by the sustain or sostenuto pedal going up if
// either is down then, or at the end of the pass; the pitch wheel bends as far as the song's largest
// bend range (2 semitones unless it sets one). A song that uses what can hold or move a voice
// otherwise (portamento, legato or mono mode, registered parameters other than the bend range,
// non-registered parameters, a tuning message) gets no reach: its samples are kept whole.
SoundFontUse collectSoundFontUse(const MidiSequence& sequence, const SoundFontTables& tables);
// The same (without the reach) for the notes that start before frame `before` of the first pass: what its
// beginning sounds.
SoundFontUse collectSoundFontUse(const MidiSequence& sequence, const SoundFontTables& tables,
                                 std::int64_t before);
// The same for a font known only by the presets it has.
SoundFontUse collectSoundFontUse(const MidiSequence& sequence, ChannelPresets::Catalogue catalogue);

} // namespace qb::audio
