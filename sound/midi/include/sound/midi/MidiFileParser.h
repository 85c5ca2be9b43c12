#pragma once

#include "sound/midi/MidiSequence.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace qb::audio {

// The most memory the events of one song may take on this machine (MidiSequence::memoryBytes()): a
// quarter of its physical memory, so that a song the player accepts never pushes the desktop into
// swapping.
std::uint64_t midiEventMemoryLimit();

// The limit a parse keeps to, and what a refused file would have needed.
struct MidiEventBudget
{
    std::uint64_t bytes = midiEventMemoryLimit();
    bool exceeded = false;    // set when the file was refused for it
    std::uint64_t needed = 0; // then: the bytes its events need
};

// Reads a Standard MIDI File (formats 0, 1 and 2), or one wrapped in a RIFF MIDI container (.rmi),
// from memory and places every event in time at kEngineRate through the file's tempo map.
//
// The header chunk must start the data (or the RIFF "data" chunk). Damage after the header is
// tolerated: a track that is cut short, a chunk length that runs past the end, bytes between chunks
// and a missing end-of-track all keep whatever could be read before the damage. Returns nothing
// (and a reason in `why`) when the data is not a MIDI sequence at all (no header, an unusable time
// division, or no track chunk) or when its events would take more memory than `budget` allows (by
// default midiEventMemoryLimit()): the file is refused rather than cut short, since playing part of it
// would sound broken. The events are counted before anything is allocated for them, and the sequence
// then holds 16 bytes per event and the system-exclusive bodies, nothing more; while it is read, the
// file's bytes come on top. Time: two walks over the file, and a merge of its tracks by time.
std::optional<MidiSequence> parseMidiFile(std::span<const std::uint8_t> bytes, std::string* why = nullptr,
                                          MidiEventBudget* budget = nullptr);

} // namespace qb::audio
