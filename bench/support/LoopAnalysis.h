#pragma once

#include <QString>
#include <cstdint>
#include <vector>

namespace qb::bench {

// Frames inserted and dropped at each seam of a recording of a looped WAV or MP3 (all in frames of
// 44.1 kHz), as the seam analyser of the tests measures them.
struct SeamFigures
{
    bool locked = false; // the file was found in the recording
    int seams = 0;       // boundaries between passes that were seen
    double meanInserted = 0;
    std::int64_t maxInserted = 0;
    double meanDropped = 0;
    std::int64_t maxDropped = 0;
    std::int64_t insertedInPasses = 0; // damage away from the seams (glitches, underruns)
    std::int64_t droppedInPasses = 0;
    int dropouts = 0;   // places inside the passes where the recording stopped following the file
    double minutes = 0; // length of the recording from the first pass on
    QString summary;
};

// `tolerance`: per-sample difference still taken as the file's sample (0 for a bit-exact path).
SeamFigures seamFigures(const std::vector<float>& recording, const std::vector<float>& reference,
                        float tolerance = 0.0f);

// One pass of a file as another program decodes it, cut to the frames of the music: the stretch of
// `peerPass` (its output for a single pass, possibly with the encoder's delay and padding left in)
// that lines up best with `ourPass` (our decoder's gapless pass, the music's true length), so that a
// peer is judged on its own decoding against the true length of the music. `offset` receives where
// the music starts in `peerPass`, `note` anything worth reporting (a pass shorter than the music).
std::vector<float> peerReference(const std::vector<float>& peerPass, const std::vector<float>& ourPass,
                                 std::int64_t* offset, QString* note);

// A looped MIDI song whose passes are marked by one loud percussive note `markerFrame` frames after
// the start of each pass, and whose end leaves release and reverb tails ringing (see BenchFiles.h).
struct MidiLoopFigures
{
    bool ok = false;
    QString why;
    int passes = 0;
    // Onset of pass k minus onset of pass 0 minus k song lengths, for k = 1..passes-1.
    std::vector<std::int64_t> drift;
    std::int64_t minDrift = 0;
    std::int64_t maxDrift = 0;
    std::int64_t maxAbsDrift = 0;
    double meanAbsDrift = 0;
    // Onset of pass k minus onset of pass k-1 minus one song length: how far each pass starts from
    // one song length after the previous one.
    std::int64_t minStep = 0;
    std::int64_t maxStep = 0;
    std::int64_t maxAbsStep = 0;
    // Level just after each seam (6..56 ms) against the level just before it (-61..-6 ms), in dB,
    // in the left channel (a dry string's release) and the right one (a piano's reverb): a tail that
    // rings on decays a little; a cut one falls to what else is sounding.
    struct Tail
    {
        double minDb = 0;
        double meanDb = 0;
        int kept = 0; // seams where the level after is within 12 dB of the level before
        // The first pass has no previous one: its level in the same window after its start, against
        // the mean level before the seams. What a cut tail looks like at the most.
        double firstPassDb = 0;
    };
    Tail release;          // left
    Tail reverb;           // right
    int seamsMeasured = 0; // seams with sound just before them (a gap leaves nothing to compare)
};

MidiLoopFigures midiLoopFigures(const std::vector<float>& recording, std::int64_t songFrames,
                                std::int64_t markerFrame);

// Prints the figures as "prefix.key=value" lines on stdout, for scripts/bench.
void printSeam(const QString& prefix, const SeamFigures& f);
void printMidi(const QString& prefix, const MidiLoopFigures& f);
void printValue(const QString& key, const QString& value);
void printValue(const QString& key, double value, int decimals = 2);

} // namespace qb::bench
