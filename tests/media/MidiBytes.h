#pragma once

#include "testkit/MidiFiles.h"

#include <QByteArray>
#include <cstdint>

// Builders for the Standard MIDI File bytes the scanner tests feed in.
namespace qb::test::midi {

using qb::test::midiHeader;
using qb::test::midiVarLen;

inline QByteArray be16(unsigned value)
{
    QByteArray out;
    out += static_cast<char>((value >> 8) & 0xFF);
    out += static_cast<char>(value & 0xFF);
    return out;
}

inline QByteArray be32(std::uint32_t value)
{
    return be16(value >> 16) + be16(value & 0xFFFF);
}

inline QByteArray le32(std::uint32_t value)
{
    QByteArray out;
    for (int shift = 0; shift < 32; shift += 8)
        out += static_cast<char>((value >> shift) & 0xFF);
    return out;
}

// "MThd", length 6, then the three words as given (raw, so out-of-range values can be written).
inline QByteArray header(unsigned format, unsigned tracks, unsigned division)
{
    return midiHeader(static_cast<int>(format), static_cast<int>(tracks), static_cast<int>(division));
}

// A meta event at delta time 0 with its length as a variable-length quantity.
inline QByteArray meta(unsigned type, const QByteArray& data)
{
    return QByteArray(1, '\0') + '\xFF' + static_cast<char>(type) +
           midiVarLen(static_cast<std::uint32_t>(data.size())) + data;
}

inline QByteArray noteOnOff()
{
    return QByteArray::fromHex("00903C40"
                               "60803C00");
}

inline QByteArray endOfTrack()
{
    return QByteArray::fromHex("00FF2F00");
}

// "MTrk" with the body's true length.
inline QByteArray track(const QByteArray& body)
{
    return QByteArray("MTrk") + be32(static_cast<std::uint32_t>(body.size())) + body;
}

// A RIFF "RMID" container around a sequence: the sequence's "MThd" lands at offset 20.
inline QByteArray rmi(const QByteArray& sequence)
{
    const QByteArray data = QByteArray("data") + le32(static_cast<std::uint32_t>(sequence.size())) + sequence;
    const QByteArray body = QByteArray("RMID") + data;
    return QByteArray("RIFF") + le32(static_cast<std::uint32_t>(body.size())) + body;
}

} // namespace qb::test::midi
