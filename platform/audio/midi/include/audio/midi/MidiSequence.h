#pragma once

#include <cstdint>
#include <vector>

namespace qb::audio {

// One event the sequencer sends to the synthesiser, already placed in time through the tempo map.
struct MidiEvent
{
    std::int64_t frame = 0;  // engine frames from the start of the song
    std::uint8_t status = 0; // 0x80..0xEF channel message, or 0xF0 system exclusive
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;
    std::uint32_t sysexOffset = 0; // into MidiSequence::sysexData (0xF0 only): the bytes between F0 and F7
    std::uint32_t sysexLength = 0;

    int channel() const { return status & 0x0F; }
    int kind() const { return status & 0xF0; }
};

// A Standard MIDI File reduced to what playback needs. All tracks are merged into one time line
// (format 2 files too: their tracks play at the same time, not one after the other).
struct MidiSequence
{
    int format = 0;
    int trackCount = 0;            // MTrk chunks actually read
    std::vector<MidiEvent> events; // in playing order
    std::vector<std::uint8_t> sysexData;
    // The latest end of all tracks (end-of-track event, or the last event read of a track that has
    // none), in engine frames, rounded to the nearest frame.
    std::int64_t lengthFrames = 0;
};

} // namespace qb::audio
