#pragma once

#include "ServerOutput.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_mainloop_api;
struct pa_stream;
struct pa_time_event;

namespace qb::audio {

// A PulseAudio-compatible sound server (PulseAudio, PipeWire's pulse service) through libpulse's
// threaded main loop: one playback stream of interleaved stereo float at kEngineRate.
//
// The server holds up to kTargetMs of sound (kGrownTargetMs once it has run out while playing), so a
// busy machine does not starve it; the render function
// runs on libpulse's thread whenever the server asks for kRequestFrames or more. Because that buffer
// is long, going inactive flushes it (a stop is heard at once) and corks the stream (the server and
// this process rest); becoming active uncorks it and fills the buffer over the next kRampMs: whatever the
// engine has decoded already at once, and at least the first few milliseconds and then three times real
// time, so that the engine is never asked for a whole buffer it has not decoded yet (the first sound
// would wait behind silence) and a late wake-up soon after Play finds the server well stocked; the
// server starts playing once a few tens of milliseconds are in. What the server held unplayed when the
// output went inactive is given back to the source (Source::unheard) once the server has said how much
// it was, so that the next Play starts with the first frame nobody heard.
class PulseOutput final : public ServerOutput
{
public:
    static constexpr int kTargetMs = 200;
    // After the server runs out of sound while playing (the machine was too busy to refill it in
    // time), it holds this much from then on, as PulseAudio's own clients grow their buffers.
    static constexpr int kGrownTargetMs = 500;
    static constexpr int kRequestFrames = 2048;
    static constexpr int kRampMs = 100;

    // Connects to the server the environment names (PULSE_SERVER, or the user's own), never starting
    // one. Null when none answers within `timeout` or the stream cannot be made. Blocks up to `timeout`.
    static std::unique_ptr<PulseOutput>
    open(std::chrono::milliseconds timeout = std::chrono::milliseconds(500));
    ~PulseOutput() override;
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    bool start(Source source) override;
    void stop() override;
    void setActive(bool active) override;
    void flush() override;
    int periodFrames() const override { return kRequestFrames; }
    const char* name() const override { return "pulse"; }
    bool lost() const override { return m_lost.load(); }

private:
    PulseOutput() = default;
    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onWrite(pa_stream* stream, std::size_t bytes, void* self);
    static void onCorkedTiming(pa_stream* stream, int success, void* self);
    static void onUnderflow(pa_stream* stream, void* self);
    static void onCorkTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv, void* self);
    static void onRampTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv, void* self);
    // Main loop thread (or its lock held): writes what the server has room for, as far as the ramp allows.
    void fillLocked();
    // Names the stream after the title of what plays, when it has changed since last asked.
    void takeTitleLocked();
    // Leading silence after Play or a flush is pulled in real time but not queued (see the .cpp).
    void awaitSoundFromNowLocked();
    bool awaitSoundLocked(); // true once sound came (and was queued): fill normally
    void armRampTimerLocked(int ms);
    void markLost();

    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    pa_time_event* m_rampTimer = nullptr;
    pa_time_event* m_corkTimer = nullptr;
    // Guarded by the main loop's lock.
    RenderFn m_render;
    ReadyFn m_ready;
    UnheardFn m_unheard;
    int m_corkedTimings = 0; // requests of the server's buffer after a cork, not answered yet
    bool m_started = false;
    bool m_active = false;
    int m_targetMs = kTargetMs;
    std::string m_streamTitle;        // the media.name the server shows; under the loop lock
    std::uint64_t m_titleChanges = 0; // streamTitleChanges() when it was taken; under the loop lock
    std::chrono::steady_clock::time_point m_activeSince;
    bool m_awaitingSound = false;
    std::int64_t m_silentFrames = 0;
    std::int64_t m_rampWritten = 0; // bytes written since the ramp began
    std::vector<float> m_scratch;   // one request's worth, for pulls that may not be queued
    std::atomic<bool> m_lost{false};
};

} // namespace qb::audio
