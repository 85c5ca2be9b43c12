#pragma once

#include "sound/engine/AudioOutput.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace qb::audio {

// Records what would reach the speakers. With the manual clock nothing happens until advance() is
// called, on the caller's thread, so tests can assert on samples without sleeping; an engine made
// without a feeder thread (AudioEngine::Options::feederThread) then runs its feeder there too, each
// period's round before the pull. With the real-time clock a thread of its own pulls one period at a
// time at the pace of a sound card, and the engine keeps its feeder thread.
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

    bool start(Source source) override;
    void stop() override;
    // With a server buffer (setServerBuffer()), going inactive drops its frames as a server would.
    void setActive(bool active) override;
    int periodFrames() const override { return m_periodFrames; }
    const char* name() const override { return "capture"; }

    // Manual clock: pulls `frames` frames, one period at a time (the last one may be shorter).
    void advance(std::int64_t frames);

    // Interleaved stereo frames recorded so far; takeCaptured() also clears the record.
    std::vector<float> captured() const;
    std::vector<float> takeCaptured();
    std::int64_t capturedFrames() const;
    // Manual clock: what the engine says it has ready, as an output filling ahead would see it.
    std::int64_t readyFrames() const { return m_ready ? m_ready() : 0; }
    // When false, periods are pulled but not kept (long benchmark runs that analyse on the fly).
    void setRecording(bool on);
    // Acts as a sound server that holds the last `frames` frames pulled unplayed: when the output goes
    // inactive they leave the record (nobody heard them) and go back to the source as unheard. 0: none.
    // Manual clock only (the real-time clock's thread may be pulling meanwhile).
    void setServerBuffer(std::int64_t frames) { m_serverBuffer = frames; }

private:
    void pullPeriod(int frames);

    const int m_periodFrames;
    const Clock m_clock;
    RenderFn m_render;
    ReadyFn m_ready;
    UnheardFn m_unheard;
    std::atomic<std::int64_t> m_serverBuffer{0};
    bool m_active = true;
    mutable std::mutex m_mutex;
    std::vector<float> m_captured;
    std::vector<float> m_period;
    std::atomic<bool> m_recording{true};
    std::atomic<bool> m_running{false};
    std::thread m_thread;
};

} // namespace qb::audio
