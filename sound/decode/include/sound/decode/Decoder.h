#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qb::audio {

// Everything the engine mixes is interleaved stereo 32-bit float at this rate.
inline constexpr int kEngineRate = 44100;
inline constexpr int kChannels = 2;

// A loop the file marks for itself: an introduction [0, start) that plays once, then [start, end)
// for ever. Engine frames; `source` names the convention the marks came from, for messages.
struct LoopSpan
{
    std::int64_t start = 0;
    std::int64_t end = 0;
    const char* source = "";
};

// One file's sound as a stream of passes. A decoder lives on the engine's feeder thread, never on the
// audio callback: it may read the disk and allocate. All frame counts are in engine frames.
//
// Worked example (a 2 s WAV at 44100 Hz, lengthFrames() == 88200): read() hands out frames 0..88199
// over as many calls as it takes and returns a short count exactly once, at the end of the pass;
// further reads return 0. seek(0) then starts the next pass, and read() continues with frame 0.
class Decoder
{
public:
    virtual ~Decoder() = default;

    // Writes up to `frames` frames to `out` and returns how many it wrote. A count below `frames`
    // means the pass ended after them; after that, reads return 0 until the next seek().
    virtual int read(float* out, int frames) = 0;

    // Places the decoder at `frame` of the pass (clamped to the length). Sound that is still ringing
    // from before (the release and reverb tails of a synthesiser) rings on under what follows;
    // silence() is the way to cut it. Returns false when the file can no longer be read.
    virtual bool seek(std::int64_t frame) = 0;

    // Sound that goes on by itself after the end of a pass, such as a synthesiser's release and
    // reverb tails, written over `frames` frames of `out`. Plain files have none: silence.
    virtual void renderTail(float* out, int frames);

    // Cuts every sound at once (stop, close). Plain files have nothing to cut.
    virtual void silence() {}

    // The length of one pass in frames; -1 when the decoder cannot tell before reaching the end.
    virtual std::int64_t lengthFrames() const = 0;

    // The position of the next frame that read() will hand out.
    virtual std::int64_t positionFrames() const = 0;

    // The loop points the file carries, as it says them (they may make no sense); none by default.
    // Read when the file opens, before the feeder takes the decoder.
    virtual std::optional<LoopSpan> loopMarks() const { return std::nullopt; }

    // Maps a position counted on through the jumps of the loop in force back into the file: only a
    // decoder that jumps (one that plays a file's own loop points, a tracker module running into its
    // restart position) folds. Any thread may call it.
    virtual std::int64_t foldPosition(std::int64_t frame) const { return frame; }

    // The rate of the file's own frames, and its loop marks (as loopMarks()) counted in them: what a
    // user tags a file with. Decoders that render at the engine's rate count in engine frames.
    virtual int fileRate() const { return kEngineRate; }
    virtual std::int64_t fileLengthFrames() const { return lengthFrames(); }
    virtual std::optional<LoopSpan> fileLoopMarks() const { return loopMarks(); }

    // The title the file gives what it holds (a module's name, a tune's title tag), UTF-8; empty when
    // it gives none. Read when the file opens.
    virtual std::string title() const { return {}; }
};

} // namespace qb::audio
