#pragma once

#include <cstdint>
#include <optional>

namespace qb::audio {

// One open file as the engine plays it. Controlled from the UI thread; all calls are cheap (they never
// wait for the audio callback or for decoding).
class Device
{
public:
    enum class Mode
    {
        Stopped,
        Playing,
        Paused
    };

    virtual ~Device() = default;

    // "playing" from play() until the last frame of the pass (or of `to`) has been queued for output.
    virtual Mode mode() const = 0;

    // Starts or continues playing. Without `from`, playing goes on from the current position; when
    // the previous pass has ended and its last frames are still queued, the new pass follows them
    // with no gap. `to` ends the pass early (exclusive).
    virtual void play(std::optional<std::int64_t> fromFrame = {},
                      std::optional<std::int64_t> toFrame = {}) = 0;
    // Stops at once and keeps the position that was last heard: the queued frames, and the decoder with
    // them (a synthesiser's sounding notes), wait for the next play() without a start position, which
    // goes on with the first frame nobody heard. What the output had taken but dropped unheard counts
    // as not heard. A later seek() or play() from a position drops what waits.
    virtual void stop() = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
    // Moves to `frame`. While playing it stops first, as MCI's seek does. After the end of a pass the
    // frames still queued are kept, so seek(0) + play() continues right after them.
    virtual void seek(std::int64_t frame) = 0;

    virtual std::int64_t lengthFrames() const = 0;
    // The frame that is being heard now (what the output has taken from the queue).
    virtual std::int64_t positionFrames() const = 0;

    // True once after a pass from the file's start found not one frame: the file has become empty
    // (truncated in place) or can no longer be read. The pass ended at once, silent; the flag is
    // cleared by reading it, so a later play() tries the file again.
    virtual bool takeFileLost() = 0;
};

} // namespace qb::audio
