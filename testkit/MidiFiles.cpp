#include "testkit/MidiFiles.h"

namespace qb::test {

namespace {

QByteArray bytesOf(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v & 0xFF));
    return out;
}

QByteArray bigEndian32(std::uint32_t v)
{
    return bytesOf({int(v >> 24), int(v >> 16), int(v >> 8), int(v)});
}

QByteArray littleEndian32(std::uint32_t v)
{
    return bytesOf({int(v), int(v >> 8), int(v >> 16), int(v >> 24)});
}

} // namespace

QByteArray midiVarLen(std::uint32_t value)
{
    QByteArray out;
    out.prepend(static_cast<char>(value & 0x7F));
    while ((value >>= 7) != 0)
        out.prepend(static_cast<char>((value & 0x7F) | 0x80));
    return out;
}

MidiTrack& MidiTrack::event(std::uint32_t delta, const QByteArray& bytes)
{
    m_bytes += midiVarLen(delta);
    m_bytes += bytes;
    return *this;
}

MidiTrack& MidiTrack::raw(const QByteArray& bytes)
{
    m_bytes += bytes;
    return *this;
}

MidiTrack& MidiTrack::noteOn(std::uint32_t delta, int channel, int key, int velocity)
{
    return event(delta, bytesOf({0x90 | channel, key, velocity}));
}

MidiTrack& MidiTrack::noteOff(std::uint32_t delta, int channel, int key, int velocity)
{
    return event(delta, bytesOf({0x80 | channel, key, velocity}));
}

MidiTrack& MidiTrack::controlChange(std::uint32_t delta, int channel, int controller, int value)
{
    return event(delta, bytesOf({0xB0 | channel, controller, value}));
}

MidiTrack& MidiTrack::programChange(std::uint32_t delta, int channel, int program)
{
    return event(delta, bytesOf({0xC0 | channel, program}));
}

MidiTrack& MidiTrack::pitchBend(std::uint32_t delta, int channel, int value)
{
    return event(delta, bytesOf({0xE0 | channel, value & 0x7F, (value >> 7) & 0x7F}));
}

MidiTrack& MidiTrack::tempo(std::uint32_t delta, std::uint32_t microsecondsPerQuarter)
{
    const std::uint32_t t = microsecondsPerQuarter;
    return meta(delta, 0x51, bytesOf({int(t >> 16), int(t >> 8), int(t)}));
}

MidiTrack& MidiTrack::trackName(std::uint32_t delta, const QByteArray& name)
{
    return meta(delta, 0x03, name);
}

MidiTrack& MidiTrack::text(std::uint32_t delta, const QByteArray& text)
{
    return meta(delta, 0x01, text);
}

MidiTrack& MidiTrack::meta(std::uint32_t delta, int type, const QByteArray& data)
{
    return event(delta, bytesOf({0xFF, type}) + midiVarLen(static_cast<std::uint32_t>(data.size())) + data);
}

MidiTrack& MidiTrack::sysex(std::uint32_t delta, const QByteArray& body)
{
    return event(delta, bytesOf({0xF0}) + midiVarLen(static_cast<std::uint32_t>(body.size())) + body);
}

MidiTrack& MidiTrack::endOfTrack(std::uint32_t delta)
{
    return meta(delta, 0x2F, {});
}

QByteArray midiChunk(const char* tag, const QByteArray& payload)
{
    return QByteArray(tag, 4) + bigEndian32(static_cast<std::uint32_t>(payload.size())) + payload;
}

QByteArray midiHeader(int format, int trackCount, int division)
{
    return midiChunk("MThd",
                     bytesOf({format >> 8, format, trackCount >> 8, trackCount, division >> 8, division}));
}

QByteArray midiFile(int format, int division, const std::vector<MidiTrack>& tracks)
{
    QByteArray out = midiHeader(format, static_cast<int>(tracks.size()), division);
    for (const MidiTrack& t : tracks)
        out += midiChunk("MTrk", t.bytes());
    return out;
}

QByteArray riffMidi(const QByteArray& smf)
{
    QByteArray data = QByteArray("data") + littleEndian32(static_cast<std::uint32_t>(smf.size())) + smf;
    if (smf.size() % 2 != 0)
        data.append('\0');
    const QByteArray body = QByteArray("RMID") + data;
    return QByteArray("RIFF") + littleEndian32(static_cast<std::uint32_t>(body.size())) + body;
}

} // namespace qb::test
