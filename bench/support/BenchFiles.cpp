#include "BenchFiles.h"

#include "testkit/AudioFiles.h"
#include "testkit/LoopMarkedFiles.h"
#include "testkit/MidiFiles.h"

#include <QDir>

namespace qb::bench {

namespace {

// The loop song (see BenchFiles.h), starting `from` ticks into its track.
test::MidiTrack loopSong(std::uint32_t from)
{
    // Ticks: 960 per second. Both tail notes are released 50 ms before the end of the song.
    test::MidiTrack track;
    track.trackName(from, QByteArray("loop bench"))
        .tempo(0, 500000)
        .programChange(0, 0, 48)
        .controlChange(0, 0, 7, 70)
        .controlChange(0, 0, 10, 0)
        .controlChange(0, 0, 91, 0)
        .controlChange(0, 0, 93, 0)
        .programChange(0, 1, 0)
        .controlChange(0, 1, 7, 70)
        .controlChange(0, 1, 10, 127)
        .controlChange(0, 1, 91, 127)
        .controlChange(0, 1, 93, 0)
        .controlChange(0, 9, 91, 0)
        .controlChange(0, 9, 93, 0)
        .noteOn(96, 9, 76, 127)
        .noteOff(48, 9, 76)
        .noteOn(336, 0, 60, 80)
        .noteOn(336, 1, 67, 70)
        .noteOff(96, 0, 60)
        .noteOff(0, 1, 67)
        .endOfTrack(48);
    return track;
}

} // namespace

LoopFiles loopFilesIn(const QString& dir)
{
    const QDir d(dir);
    return {d.filePath(QStringLiteral("loop.wav")), d.filePath(QStringLiteral("loop.mp3")),
            d.filePath(QStringLiteral("loop.mid"))};
}

bool writeLoopFiles(const QString& dir, LoopFiles* files)
{
    if (!QDir().mkpath(dir))
        return false;
    *files = loopFilesIn(dir);
    if (!test::writeWav(files->wav, kSongFrames, 44100, 2, 7))
        return false;
    if (!test::writeMp3(files->mp3, kSongFrames, 44100, 2, 11))
        return false;

    return test::writeBytes(files->midi, test::midiFile(0, 480, {loopSong(0)}));
}

bool writeLoopPointFiles(const QString& dir, LoopPointFiles* files)
{
    if (!QDir().mkpath(dir))
        return false;
    files->wav = dir + QStringLiteral("/marked.wav");
    files->flac = dir + QStringLiteral("/marked.flac");
    files->ogg = dir + QStringLiteral("/marked.ogg");
    files->opus = dir + QStringLiteral("/marked.opus");
    files->midi = dir + QStringLiteral("/marked.mid");
    // Quieter than full scale, so that the lossy encoding's overshoot stays clear of the mixer's clipping.
    const std::vector<float> noise = test::noiseSignal(kLoopPointEnd, 2, 13, 0.3f);
    const QStringList comments = {QStringLiteral("LOOPSTART=%1").arg(kLoopPointStart),
                                  QStringLiteral("LOOPLENGTH=%1").arg(kLoopPointEnd - kLoopPointStart)};
    if (!test::writeSamplerLoopWav(files->wav, noise, 44100, kLoopPointStart, kLoopPointEnd) ||
        !test::writeCommentedFlac(files->flac, noise, 44100, comments) ||
        !test::writeCommentedOgg(files->ogg, noise, 44100, comments) ||
        !test::writeCommentedOpus(files->opus, noise, 44100,
                                  {QStringLiteral("LOOPSTART=48000"), QStringLiteral("LOOPLENGTH=96000")}))
        return false;
    test::MidiTrack intro;
    intro.trackName(0, QByteArray("loop points bench"))
        .programChange(0, 3, 48)
        .controlChange(0, 3, 7, 40)
        .noteOn(0, 3, 55, 40)
        .noteOff(400, 3, 55)
        .controlChange(80, 3, 111, 0)
        .endOfTrack();
    return test::writeBytes(files->midi, test::midiFile(1, 480, {intro, loopSong(480)}));
}

bool writeBandSong(const QString& path)
{
    constexpr int kPpq = 480; // half a second per quarter at the default tempo
    test::MidiTrack track;
    for (int ch = 0; ch < 16; ++ch) {
        if (ch == 9)
            continue;
        track.programChange(0, ch, (ch * 8 + 1) % 128);
    }
    for (int bar = 0; bar < 4; ++bar) {
        for (int ch = 0; ch < 16; ++ch) {
            if (ch == 9)
                continue;
            const int root = 40 + (ch * 5) % 36;
            for (int k : {0, 4, 7})
                track.noteOn(0, ch, root + k + bar, 70 + ch * 3);
        }
        static const int kKit[] = {35, 36, 38, 40, 42, 44, 46, 49, 51};
        for (int beat = 0; beat < 4; ++beat) {
            track.noteOn(0, 9, kKit[(bar * 4 + beat) % 9], 100);
            track.noteOn(0, 9, kKit[(bar * 4 + beat + 4) % 9], 90);
            track.noteOff(kPpq, 9, kKit[(bar * 4 + beat) % 9]);
            track.noteOff(0, 9, kKit[(bar * 4 + beat + 4) % 9]);
        }
        for (int ch = 0; ch < 16; ++ch) {
            if (ch == 9)
                continue;
            const int root = 40 + (ch * 5) % 36;
            for (int k : {0, 4, 7})
                track.noteOff(0, ch, root + k + bar);
        }
    }
    track.endOfTrack(0);
    return test::writeBytes(path, test::midiFile(0, kPpq, {track}));
}

bool writeLargeSong(const QString& path)
{
    // 65 tracks of 80,000 events: 5.2 million, four bytes each (no running status), about 20 MB.
    constexpr int kPpq = 480;
    constexpr int kTracks = 65;
    constexpr int kNotesPerTrack = 40000;
    std::vector<test::MidiTrack> tracks(kTracks);
    for (int t = 0; t < kTracks; ++t) {
        const int ch = t % 16;
        test::MidiTrack& track = tracks[static_cast<std::size_t>(t)];
        for (int n = 0; n < kNotesPerTrack; ++n) {
            const int key = 36 + (t * 7 + n * 5) % 48;
            track.noteOn(n == 0 ? t : 6, ch, key, 40 + (n + t) % 60).noteOff(6, ch, key);
        }
        track.endOfTrack(0);
    }
    return test::writeBytes(path, test::midiFile(1, kPpq, tracks));
}

} // namespace qb::bench
