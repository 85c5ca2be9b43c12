#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

namespace qb::audio {

// Pulls interleaved stereo float frames at kEngineRate from a render function and sends them on:
// to the sound server, to nowhere in real time, or into memory for tests.
class AudioOutput
{
public:
    // Fills `frames` frames of `out`. Called on the output's own thread, or on its caller's for an
    // output that its caller clocks. Must not block.
    using RenderFn = std::function<void(float* out, int frames)>;
    // How many frames the render function can supply at once from what is decoded already. Called on
    // the thread that renders, never while the render function runs.
    using ReadyFn = std::function<std::int64_t()>;
    // The last `frames` frames the render function supplied will never be heard (a sound server's
    // buffer was dropped): the source takes them back and supplies them again when pulled next. Called
    // on any thread, never while the render function runs.
    using UnheardFn = std::function<void(std::int64_t frames)>;

    // What an output pulls from.
    struct Source
    {
        Source(RenderFn renderFn, ReadyFn readyFn = {}, UnheardFn unheardFn = {})
            : render(std::move(renderFn)), ready(std::move(readyFn)), unheard(std::move(unheardFn))
        {
        }
        RenderFn render;
        // An output that fills a long buffer ahead of real time may take whatever is ready at once, and
        // so reach a safe depth sooner, without making the engine run dry. Empty: nothing is known.
        ReadyFn ready;
        // An output that drops what it has pulled but not played says how much. Empty: nobody listens.
        UnheardFn unheard;
    };

    virtual ~AudioOutput() = default;

    // Starts pulling from `source`. Returns false when the output cannot start.
    virtual bool start(Source source) = 0;
    // Stops pulling; once it returns, the source is not called again.
    virtual void stop() = 0;
    // Whether anything is playing. While it is not, an output may stop pulling (the render function
    // would only produce silence) and so let the machine and the sound server rest; it pulls again
    // as soon as it is made active. An output that holds pulled frames unplayed drops them when made
    // inactive (a stop is heard at once) and tells the source how many through Source::unheard, so
    // that the next Play starts with the first frame nobody heard. Any thread.
    virtual void setActive(bool active) { (void)active; }
    // Drops what has been pulled but not heard yet (a sound server's buffer), so that a stop is heard
    // at once; pulling goes on as before. Outputs that hold nothing ignore it. Any thread.
    virtual void flush() {}
    // Frames pulled per call of the render function.
    virtual int periodFrames() const = 0;
    // A name for logs and benchmarks ("sdl:pulseaudio", "silent", "capture").
    virtual const char* name() const = 0;
};

} // namespace qb::audio
