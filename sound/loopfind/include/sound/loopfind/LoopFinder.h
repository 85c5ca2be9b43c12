#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace qb::loopfind {

// The sound a search looks at, implemented by the caller over whatever decodes the file. The finder
// reads it more than once and out of order: one pass from start to end, then short stretches again
// around the places it compares. It is called on the finder's thread only.
class FrameReader
{
public:
    virtual ~FrameReader() = default;

    // Frames per second of what read() hands out (the file's own rate); 8000..384000.
    virtual int sampleRate() const = 0;

    // The number of frames read() can hand out from frame 0; at least 0.
    virtual std::int64_t lengthFrames() const = 0;

    // Writes frames [first, first + count) to `out` as interleaved stereo float (left, right), full
    // scale 1.0, and returns how many it wrote. It returns fewer than `count` only when the file
    // ends before them, and a negative number when the file cannot be read; the finder then gives up
    // with Outcome::Failed. 0 <= first, 0 < count. It may throw nothing.
    virtual std::int64_t read(std::int64_t first, float* out, std::int64_t count) = 0;
};

// How the file was stored, which decides how closely two passes must agree. Either way, a repeat
// that is the very same samples is found to the frame: its start is the first frame from which the
// samples are equal.
enum class Fidelity
{
    // WAVE, FLAC: no coder's noise. A repeat that is not the same samples (a performance rendered
    // twice) must agree within 20 dB of the music to count.
    Lossless,
    // MP3, Ogg Vorbis, Opus: the two passes differ by the coder's noise (15 to 35 dB below the
    // music). The loop's length is the shift at which they agree best, its start the first frame from
    // which they agree.
    Lossy,
};

struct Options
{
    Fidelity fidelity = Fidelity::Lossy;
    // Set by another thread to stop the search; checked at least every few milliseconds of work.
    const std::atomic<bool>* cancel = nullptr;
    // The bound on work. A longer file is not searched (Outcome::TooLong). The coarse pass compares
    // at most `maxSteps` feature steps: a longer file is looked at in coarser steps, so the search's
    // time grows with the file's length and its memory stays a few megabytes.
    double maxSeconds = 20 * 60;
    int maxSteps = 16384;
};

// A loop the file repeats: it plays from frame 0 to `end` once, then [start, end) for ever. Frames
// at the reader's rate; 0 <= start < end <= lengthFrames().
struct FoundLoop
{
    std::int64_t start = 0;
    std::int64_t end = 0;
    // The level of the difference across the jump relative to the music, in dB: what playing from
    // `start` on puts in place of what the file plays from `end` on, over the second after the jump
    // (-infinity when the samples are equal).
    double jumpDifferenceDb = 0;
    // True when the samples after `start` and `end` are equal (a lossless repeat).
    bool exact = false;
    // How long the file is seen to repeat from `start` on, in seconds: at least half the loop.
    double repeatSeconds = 0;
};

enum class Outcome
{
    Found,     // `loop` holds the loop
    None,      // the file repeats no section that can be looped: play it whole
    TooShort,  // too short to hold a loop (a few seconds): play it whole
    TooLong,   // longer than Options::maxSeconds: not searched
    Cancelled, // Options::cancel was set
    Failed,    // the reader reported an error, or memory ran out: nothing is known
};

struct Result
{
    Outcome outcome = Outcome::None;
    std::optional<FoundLoop> loop; // set exactly when outcome == Found
};

// Finds the section the file repeats: the music after `end` continues exactly as it did after the
// earlier `start`. Of the repeats a file holds, the longest stretch of repeated sound wins, so the
// loop is the whole repeating section (its length the period of the repeat, not one phrase inside
// it), starting as early as the repeat allows: the introduction plays once and the ending (fade,
// silence, a final chord) is never reached. A repeat counts only where the waveform itself repeats
// over several seconds at a level of agreement that music performed twice never reaches; music that
// does not repeat, speech, noise and steady tones give Outcome::None.
//
// Pure computation on the caller's thread: no thread of its own, no global state but FFTW's plans
// (created under a lock of this library; another user of FFTW in the process must not plan at the
// same time). Memory: about 5 MB whatever the file's length. Time: one read of the whole file in
// order, a transform per 23 ms of it, a comparison that grows with the square of the file's length up
// to Options::maxSteps (about 0.15 s of CPU in all for four minutes of 44.1 kHz stereo), and reads of
// some 10 to 30 s of sound in stretches of 0.1 to 0.5 s around the places it checks, each pass's in
// order of position (a reader whose seeks are dear may read on over the gaps). Seeks must be exact to
// the frame.
Result findLoop(FrameReader& reader, const Options& options = {});

} // namespace qb::loopfind
