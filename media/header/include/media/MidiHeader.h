#pragma once

#include <QString>
#include <cstdint>
#include <span>

namespace qb::media {

// What the header scan of a Standard MIDI File found. The empty record (all zeros, empty Title)
// stands for every failure; after a successful scan each number lies in 0..32767.
struct MidiHeaderInfo
{
    std::int16_t Format = 0;     // the header's format word
    std::int16_t TrackCount = 0; // the number of track chunks the header declares (not counted)
    std::int16_t Division = 0;   // the time-division word (ticks per quarter note)
    QString Title;               // first text or track-name event of the first track, or "NoTitle"

    friend bool operator==(const MidiHeaderInfo&, const MidiHeaderInfo&) = default;
};

// How the title's bytes become text: as code page 932 (Shift_JIS), the scan's own reading; or readable,
// for showing, as platform::readableText() reads text (UTF-8 once the bytes hold a multi-byte UTF-8
// character, else code page 932, and bytes that are neither as a file name's). The two differ only in
// the title, and only for a title that is not ASCII or code page 932.
enum class TitleText
{
    CodePage932,
    Readable,
};

// Scans a file's bytes by pattern search, not by walking chunks or events, so a sequence wrapped
// in a RIFF container (.rmi) is found like a plain .mid:
// - the header values are the big-endian words 8..13 bytes after the first "MThd"; a word of
//   0x8000 or more (SMPTE division included) or a word cut off by the end fails the scan;
// - a file without "MTrk" fails;
// - the title is the first FF 01 or FF 03 pair found from 8 bytes after the first "MTrk" (so the
//   track's length field is never taken) up to the second "MTrk". Matches in delta times or
//   system-exclusive data count. Its length is a variable-length quantity of at most four bytes;
//   text that runs past the end is cut there. A pair in the last two bytes fails the scan.
//   The text is decoded as `decoding` says.
// Any failure yields the empty record. Pure function; thread-safe.
MidiHeaderInfo scanMidiHeader(std::span<const std::uint8_t> bytes,
                              TitleText decoding = TitleText::CodePage932);

// Scans the file at the local path `path` as above, with the same result as scanning its bytes. `path`
// is converted to the file's name by platform::toAnsi, so a name that is not UTF-8 (held as escaped
// bytes, see system/CodePage.h) names its own file. The empty record when the path is not an ordinary
// file (symbolic links followed) or its name begins with "." (a hidden file); folders, FIFOs, sockets
// and devices are refused without blocking. The file is opened read-only without locks and read a chunk
// at a time only as far as the scan goes (up to the second track for a title), so memory stays at about
// one megabyte plus the title whatever the file's length; holes of a sparse file are skipped. A read
// error, or a file that gets shorter meanwhile, gives the empty record. Blocks the calling thread while
// the file is read.
MidiHeaderInfo ReadMidiHeader(const QString& path, TitleText decoding = TitleText::CodePage932);

} // namespace qb::media
