#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

namespace qb::loopfind {

// One event of a Standard MIDI File's track at its absolute tick: the whole event as the file spells
// it with its status byte (running status already resolved), e.g. {0x90, 60, 100}, {0xFF, 0x51, 3, ...}
// for a meta event (FF, type, length, data) or {0xF0, ...} for a system exclusive message.
struct MidiTrackEvent
{
    std::uint32_t tick = 0;
    std::vector<std::uint8_t> bytes;
};

// A loop of a song in ticks: it plays from tick 0 to `end` once, then [start, end) for ever.
struct MidiLoop
{
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint32_t repeatTicks = 0; // how long the song is seen to play the same events again from `start`
};

// The loop of a song that plays the same events twice in a row: from `end` on, every track plays, tick
// for tick, what it played from `start` on, over at least the whole loop. Of the repeats a song holds
// the longest wins, and its start is the first repeated tick: so the loop is the whole repeating
// section, not a phrase inside it, and the introduction plays once. Events that make no sound and set
// nothing (text, names, markers, the end of a track) are not compared. None when no such repeat holds
// four notes, when what plays only once (introduction and ending) is longer than two passes, or when
// the song has more than 200,000 events (the comparison grows with the square of the count).
// `tracks` in the file's order, each in order of tick. Pure computation; `cancel` as in findLoop.
std::optional<MidiLoop> findMidiLoop(const std::vector<std::vector<MidiTrackEvent>>& tracks,
                                     const std::atomic<bool>* cancel = nullptr);

} // namespace qb::loopfind
