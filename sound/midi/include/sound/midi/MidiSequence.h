#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace qb::audio {

// One event the sequencer sends to the synthesiser, already placed in time through the tempo map.
// Sixteen bytes, and nothing else per event: a long song holds millions of them.
struct MidiEvent
{
    std::int64_t frame = 0;  // engine frames from the start of the song
    std::uint8_t status = 0; // 0x80..0xEF channel message, or 0xF0 system exclusive
    // Channel messages: the two data bytes (0 when the message has one). System exclusive: the body's
    // length in bytes, little-endian over data1, data2 and lengthHigh.
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;
    std::uint8_t lengthHigh = 0;
    std::uint32_t sysexOffset = 0; // into MidiSequence::sysexData (0xF0 only): the bytes between F0 and F7

    // The largest system-exclusive body an event can describe.
    static constexpr std::uint32_t kMaxSysexLength = 0xFFFFFF;

    int channel() const { return status & 0x0F; }
    int kind() const { return status & 0xF0; }
    // 0 for a channel message.
    std::uint32_t sysexLength() const
    {
        if (status != 0xF0)
            return 0;
        return std::uint32_t{data1} | (std::uint32_t{data2} << 8) | (std::uint32_t{lengthHigh} << 16);
    }
    void setSysexLength(std::uint32_t length)
    {
        data1 = static_cast<std::uint8_t>(length);
        data2 = static_cast<std::uint8_t>(length >> 8);
        lengthHigh = static_cast<std::uint8_t>(length >> 16);
    }
};
static_assert(sizeof(MidiEvent) == 16);

// A Standard MIDI File reduced to what playback needs. All tracks are merged into one time line
// (format 2 files too: their tracks play at the same time, not one after the other).
struct MidiSequence
{
    int format = 0;
    int trackCount = 0;            // MTrk chunks actually read
    std::vector<MidiEvent> events; // in playing order, allocated to their exact number
    std::vector<std::uint8_t> sysexData;
    // The latest end of all tracks (end-of-track event, or the last event read of a track that has
    // none), in engine frames, rounded to the nearest frame.
    std::int64_t lengthFrames = 0;
    // The loop the file marks, in engine frames: the marker meta events "loopStart" and "loopEnd" (any
    // case), which win when present; else the first control change 111, to the end of the song.
    // Unchecked: the start may lie at or after the end.
    std::optional<std::int64_t> loopStartFrame;
    std::optional<std::int64_t> loopEndFrame;
    const char* loopSource = "";

    // Bytes of memory the sequence holds (reserved capacity included), and their share per event.
    std::size_t memoryBytes() const { return events.capacity() * sizeof(MidiEvent) + sysexData.capacity(); }
    double bytesPerEvent() const
    {
        return events.empty() ? 0.0 : double(memoryBytes()) / double(events.size());
    }
};

} // namespace qb::audio
