#pragma once

#include <QString>
#include <cstdint>

namespace qb::bench {

// The files every looping benchmark plays, ours and the peers' alike. Each lasts one second, so 22
// passes (21 seams) fit in about 22 s.
struct LoopFiles
{
    QString wav;  // 16-bit PCM, stereo, 44.1 kHz, seeded noise; 44100 frames (not a multiple of 512)
    QString mp3;  // the same length of noise through LAME (with its Xing/LAME gapless header)
    QString midi; // the song below
};

// The MIDI song: 120 bpm, 480 ticks per quarter note, end of track at tick 960 (one second).
// - channel 10 (drums): a loud hi wood block at 0.1 s, dry (no reverb or chorus send), panned
//   centre: its onsets mark the passes;
// - channel 1: a string note from 0.5 s to 0.95 s, dry and panned hard left: its release rings on
//   past the end of the song, in the left channel;
// - channel 2: a piano note from 0.85 s to 0.95 s, panned hard right with full reverb send: its
//   reverb rings on past the end of the song, mostly in the right channel.
inline constexpr std::int64_t kSongFrames = 44100;
inline constexpr std::int64_t kMarkerFrame = 4410; // the wood block's place in the song

// Writes the three files into `dir` (created when missing). Returns false on failure.
bool writeLoopFiles(const QString& dir, LoopFiles* files);

// A song with many instruments: 15 melodic programs (one per channel, a chord each from the first tick)
// and a drum pattern of nine kit pieces, eight seconds. Returns false on failure.
bool writeBandSong(const QString& path);
// A valid song of 65 tracks and 5.2 million note events (about 20 MB, 16 minutes): a file at the scale
// of the largest MIDI files users meet, for the open time and the memory per event.
bool writeLargeSong(const QString& path);

// The file names writeLoopFiles() uses.
LoopFiles loopFilesIn(const QString& dir);

// Files that mark their own loop, for the jump of loop points (LoopPoints=1). The sampled ones hold
// three seconds of seeded noise: one second of introduction, then the loop [1 s, 3 s), marked by a
// WAVE sampler chunk and by LOOPSTART/LOOPLENGTH comments in FLAC, Ogg Vorbis and Opus (which plays at
// 48 kHz, where its comments count: the same seconds in its own samples). The MIDI song is
// half a second of a quiet string note, then, from a control change 111, the song above whole (its
// wood block marks each pass of the loop, one second apart).
struct LoopPointFiles
{
    QString wav;
    QString flac;
    QString ogg;
    QString opus;
    QString midi;
};
inline constexpr int kLoopPointStart = 44100;
inline constexpr int kLoopPointEnd = 3 * 44100;
bool writeLoopPointFiles(const QString& dir, LoopPointFiles* files);

} // namespace qb::bench
