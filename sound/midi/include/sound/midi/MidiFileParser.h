#pragma once

#include "sound/midi/MidiSequence.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace qb::audio {

// Reads a Standard MIDI File (formats 0, 1 and 2), or one wrapped in a RIFF MIDI container (.rmi),
// from memory and places every event in time at kEngineRate through the file's tempo map.
//
// The header chunk must start the data (or the RIFF "data" chunk). Damage after the header is
// tolerated: a track that is cut short, a chunk length that runs past the end, bytes between chunks
// and a missing end-of-track all keep whatever could be read before the damage. Returns nothing
// (and a reason in `why`) when the data is not a MIDI sequence at all (no header, an unusable time
// division, or no track chunk) or holds more than kMaxMidiEvents events: the file is refused rather
// than cut short, since playing part of it would sound broken.
std::optional<MidiSequence> parseMidiFile(std::span<const std::uint8_t> bytes, std::string* why = nullptr);

} // namespace qb::audio
