#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace qb::audio {

// Pulls interleaved stereo float frames at kEngineRate from a render function and sends them on:
// to the sound server, to nowhere in real time, or into memory for tests.
class AudioOutput
{
public:
    // Fills `frames` frames of `out`. Called on the output's own thread (or, for a manually clocked
    // capture, on the thread that advances the clock). Must not block.
    using RenderFn = std::function<void(float* out, int frames)>;
    // One round of the engine's feeder, run by an output that is clocked by its caller. `clockFrames`
    // is that output's clock: the frames it has pulled so far. The round decodes only when the feeder
    // is due on that clock (woken by a command, or its sleep has run out), as the feeder thread would.
    using FeedFn = std::function<void(std::int64_t clockFrames)>;
    // How many frames the render function can supply at once from what is decoded already. Called on
    // the thread that renders, never while the render function runs.
    using ReadyFn = std::function<std::int64_t()>;

    virtual ~AudioOutput() = default;

    // Starts pulling from `render`. Returns false when the output cannot start.
    virtual bool start(RenderFn render) = 0;
    // Stops pulling; once it returns, `render` is not called again.
    virtual void stop() = 0;
    // Whether anything is playing. While it is not, an output may stop pulling (the render function
    // would only produce silence) and so let the machine and the sound server rest; it pulls again
    // as soon as it is made active. Any thread.
    virtual void setActive(bool active) { (void)active; }
    // Whether this output runs the engine's feeder itself. An output clocked by its caller (the manually
    // clocked capture) takes `feed`, returns true and calls it on the clock's thread before each period
    // it pulls, so that a test drives the feeder's own code path and stays deterministic. Any other
    // output returns false and the engine runs a feeder thread. Called before start().
    virtual bool takeFeeder(FeedFn feed)
    {
        (void)feed;
        return false;
    }
    // For an output that fills a long buffer ahead of real time: it may take whatever is ready at
    // once, and so reach a safe depth sooner, without making the engine run dry. Called before start().
    virtual void setReady(ReadyFn ready) { (void)ready; }
    // Drops what has been pulled but not heard yet (a sound server's buffer), so that a stop is heard
    // at once; pulling goes on as before. Outputs that hold nothing ignore it. Any thread.
    virtual void flush() {}
    // Frames pulled per call of the render function.
    virtual int periodFrames() const = 0;
    // A name for logs and benchmarks ("sdl:pulseaudio", "silent", "capture").
    virtual const char* name() const = 0;
};

} // namespace qb::audio
