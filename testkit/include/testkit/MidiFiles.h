#pragma once

#include <QByteArray>
#include <cstdint>
#include <vector>

namespace qb::test {

// Builds the bytes of one track chunk's events. Every event takes the delta time (in ticks) since the
// previous one; channel messages always carry their status byte unless written with raw().
class MidiTrack
{
public:
    MidiTrack& noteOn(std::uint32_t delta, int channel, int key, int velocity);
    MidiTrack& noteOff(std::uint32_t delta, int channel, int key, int velocity = 0);
    MidiTrack& controlChange(std::uint32_t delta, int channel, int controller, int value);
    MidiTrack& programChange(std::uint32_t delta, int channel, int program);
    MidiTrack& pitchBend(std::uint32_t delta, int channel, int value); // 0..16383, 8192 = centre
    // FF 51: microseconds per quarter note.
    MidiTrack& tempo(std::uint32_t delta, std::uint32_t microsecondsPerQuarter);
    // FF 03 and FF 01 with the given bytes as they are (any encoding, e.g. Shift_JIS).
    MidiTrack& trackName(std::uint32_t delta, const QByteArray& name);
    MidiTrack& text(std::uint32_t delta, const QByteArray& text);
    MidiTrack& meta(std::uint32_t delta, int type, const QByteArray& data);
    // F0 <length> <body>: `body` is what follows F0, normally ending with F7.
    MidiTrack& sysex(std::uint32_t delta, const QByteArray& body);
    MidiTrack& endOfTrack(std::uint32_t delta = 0);
    // A delta time followed by any bytes (running status, damaged events...).
    MidiTrack& event(std::uint32_t delta, const QByteArray& bytes);
    // Bytes appended as they are, with no delta time.
    MidiTrack& raw(const QByteArray& bytes);

    const QByteArray& bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

// A variable-length quantity as used for delta times and lengths.
QByteArray midiVarLen(std::uint32_t value);
// A chunk: 4-byte tag, 32-bit big-endian length of `payload`, payload.
QByteArray midiChunk(const char* tag, const QByteArray& payload);
// The MThd chunk alone; `division` is ticks per quarter note (or an SMPTE value with bit 15 set).
QByteArray midiHeader(int format, int trackCount, int division);
// A whole Standard MIDI File: header (with tracks.size() as the count) and one MTrk per track.
QByteArray midiFile(int format, int division, const std::vector<MidiTrack>& tracks);
// (To write any of these to disk, use writeBytes() of AudioFiles.h.)
// Wraps a Standard MIDI File in a RIFF MIDI (.rmi) container: RIFF, RMID, "data" chunk.
QByteArray riffMidi(const QByteArray& smf);

} // namespace qb::test
