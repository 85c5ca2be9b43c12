#pragma once

#include "sound/engine/AudioOutput.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace qb::audio {

// Records what would reach the speakers. With the manual clock nothing happens until advance() is
// called, on the caller's thread, so tests can assert on samples without sleeping; it also runs the
// engine's feeder there (takeFeeder), each period first the feeder's round and then the pull, with the
// frames pulled so far as the feeder's clock. With the real-time clock a thread of its own pulls one
// period at a time at the pace of a sound card, and the engine keeps its feeder thread.
class CaptureOutput : public AudioOutput
{
public:
    enum class Clock
    {
        Manual,
        RealTime
    };

    explicit CaptureOutput(int periodFrames = 512, Clock clock = Clock::Manual);
    ~CaptureOutput() override;

    bool start(RenderFn render) override;
    void stop() override;
    // Manual clock only: true, and `feed` runs before each period advance() pulls.
    bool takeFeeder(FeedFn feed) override;
    void setReady(ReadyFn ready) override { m_ready = std::move(ready); }
    int periodFrames() const override { return m_periodFrames; }
    const char* name() const override { return "capture"; }

    // Manual clock: pulls `frames` frames, one period at a time (the last one may be shorter), each
    // after a round of the feeder it was given.
    void advance(std::int64_t frames);

    // Interleaved stereo frames recorded so far; takeCaptured() also clears the record.
    std::vector<float> captured() const;
    std::vector<float> takeCaptured();
    std::int64_t capturedFrames() const;
    // Manual clock: what the engine says it has ready, as an output filling ahead would see it.
    std::int64_t readyFrames() const { return m_ready ? m_ready() : 0; }
    // When false, periods are pulled but not kept (long benchmark runs that analyse on the fly).
    void setRecording(bool on);

private:
    void pullPeriod(int frames);

    const int m_periodFrames;
    const Clock m_clock;
    RenderFn m_render;
    FeedFn m_feed;
    ReadyFn m_ready;
    std::int64_t m_clockFrames = 0; // manual clock: frames pulled since construction
    mutable std::mutex m_mutex;
    std::vector<float> m_captured;
    std::vector<float> m_period;
    std::atomic<bool> m_recording{true};
    std::atomic<bool> m_running{false};
    std::thread m_thread;
};

} // namespace qb::audio
