#include "PulseOutput.h"

#include "sound/decode/Decoder.h"
#include "sound/output/StreamIdentity.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <pulse/pulseaudio.h>
#include <thread>

namespace qb::audio {

namespace {

constexpr std::size_t kFrameBytes = sizeof(float) * kChannels;

std::uint32_t bytesForMs(int ms)
{
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(kEngineRate) * ms / 1000 * kFrameBytes);
}

// What goes out at once when the stream is uncorked, and what the server waits for before it plays.
constexpr int kFirstMs = 20;
constexpr int kStartMs = 40;
// How long leading silence is kept out of the server's buffer at most.
constexpr int kAwaitMs = 1000;
// How long after a cork the server is asked what it holds unplayed: the sink takes back what it had
// mixed of a corked stream on its own thread, a moment after the cork.
constexpr int kCorkSettleMs = 30;

class LoopLock
{
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : m_loop(loop) { pa_threaded_mainloop_lock(m_loop); }
    ~LoopLock() { pa_threaded_mainloop_unlock(m_loop); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* m_loop;
};

void forget(pa_operation* operation)
{
    if (operation)
        pa_operation_unref(operation);
}

} // namespace

std::unique_ptr<PulseOutput> PulseOutput::open(std::chrono::milliseconds timeout)
{
    std::unique_ptr<PulseOutput> output(new PulseOutput);
    output->m_scratch.assign(static_cast<std::size_t>(kRequestFrames) * kChannels, 0.0f);
    output->m_loop = pa_threaded_mainloop_new();
    if (!output->m_loop)
        return nullptr;
    const StreamIdentity& identity = streamIdentity();
    pa_proplist* props = pa_proplist_new();
    // A property the user gave libpulse in the environment (PULSE_PROP_<key>) wins over ours, as it
    // does on SDL's stream.
    const auto set = [props](const char* key, const std::string& ours) {
        const char* users = std::getenv(("PULSE_PROP_" + std::string(key)).c_str());
        pa_proplist_sets(props, key, users ? users : ours.c_str());
    };
    set(PA_PROP_APPLICATION_NAME, identity.appName);
    set(PA_PROP_APPLICATION_ID, identity.appId);
    set(PA_PROP_APPLICATION_ICON_NAME, identity.iconName);
    set(PA_PROP_MEDIA_ROLE, identity.role);
    output->m_context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(output->m_loop),
                                                     identity.appName.c_str(), props);
    if (!output->m_context) {
        pa_proplist_free(props);
        return nullptr;
    }
    pa_context_set_state_callback(output->m_context, &PulseOutput::onContextState, output.get());
    // Never start a server: a player that finds none plays through SDL or silently instead, and a
    // reconnect must not bring up a second server beside one that is restarting.
    if (pa_context_connect(output->m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(output->m_loop) < 0) {
        pa_proplist_free(props);
        return nullptr;
    }

    // libpulse has no timed wait: look at the state a few times while the handshake runs.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pa_context_state_t state;
        {
            LoopLock lock(output->m_loop);
            state = pa_context_get_state(output->m_context);
        }
        if (state == PA_CONTEXT_READY)
            break;
        if (!PA_CONTEXT_IS_GOOD(state) || std::chrono::steady_clock::now() >= deadline) {
            pa_proplist_free(props);
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    LoopLock lock(output->m_loop);
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(kEngineRate),
                                static_cast<std::uint8_t>(kChannels)};
    output->m_titleChanges = streamTitleChanges();
    output->m_streamTitle = streamTitle();
    const std::string& name = output->m_streamTitle.empty() ? identity.streamName : output->m_streamTitle;
    output->m_stream = pa_stream_new_with_proplist(output->m_context, name.c_str(), &format, nullptr, props);
    pa_proplist_free(props);
    if (!output->m_stream)
        return nullptr;
    pa_stream_set_state_callback(output->m_stream, &PulseOutput::onStreamState, output.get());
    pa_stream_set_write_callback(output->m_stream, &PulseOutput::onWrite, output.get());
    pa_stream_set_underflow_callback(output->m_stream, &PulseOutput::onUnderflow, output.get());

    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = bytesForMs(kTargetMs);
    // The server waits for kStartMs before it plays (after a cork, a flush or an underrun): the ramp
    // reaches that within a few milliseconds, and from then on a late wake-up finds slack.
    attr.prebuf = bytesForMs(kStartMs);
    attr.minreq = static_cast<std::uint32_t>(kRequestFrames * kFrameBytes);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(output->m_stream, nullptr, &attr, flags, nullptr, nullptr) < 0)
        return nullptr;
    while (pa_stream_get_state(output->m_stream) == PA_STREAM_CREATING) {
        // The state callback signals; a lost context ends the wait too.
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(output->m_context)))
            return nullptr;
        pa_threaded_mainloop_wait(output->m_loop);
    }
    if (pa_stream_get_state(output->m_stream) != PA_STREAM_READY)
        return nullptr;
    return output;
}

PulseOutput::~PulseOutput()
{
    if (!m_loop)
        return;
    stop();
    {
        LoopLock lock(m_loop);
        for (pa_time_event** timer : {&m_rampTimer, &m_corkTimer}) {
            if (*timer) {
                pa_threaded_mainloop_get_api(m_loop)->time_free(*timer);
                *timer = nullptr;
            }
        }
        if (m_stream) {
            pa_stream_set_state_callback(m_stream, nullptr, nullptr);
            pa_stream_set_write_callback(m_stream, nullptr, nullptr);
            pa_stream_set_underflow_callback(m_stream, nullptr, nullptr);
            pa_stream_disconnect(m_stream);
            pa_stream_unref(m_stream);
        }
        if (m_context) {
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
        }
    }
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
}

bool PulseOutput::start(Source source)
{
    LoopLock lock(m_loop);
    if (m_lost)
        return false;
    m_render = std::move(source.render);
    m_ready = std::move(source.ready);
    m_unheard = std::move(source.unheard);
    m_started = true;
    m_active = true;
    awaitSoundFromNowLocked();
    forget(pa_stream_cork(m_stream, 0, nullptr, nullptr));
    fillLocked();
    return true;
}

void PulseOutput::stop()
{
    // Every callback runs under the main loop's lock: once it is ours, none is rendering.
    LoopLock lock(m_loop);
    if (!m_started)
        return;
    m_started = false;
    m_active = false;
    m_render = nullptr;
    if (!m_lost) {
        forget(pa_stream_cork(m_stream, 1, nullptr, nullptr));
        forget(pa_stream_flush(m_stream, nullptr, nullptr));
    }
}

void PulseOutput::setActive(bool active)
{
    LoopLock lock(m_loop);
    if (!m_started || m_active == active || m_lost)
        return;
    m_active = active;
    if (!active) {
        // What the server still holds was rendered before everything stopped: drop it, so that Stop is
        // heard at once, and let the server stop asking. Corked first: a stream flushed while it plays
        // runs dry for a moment, and the server reports that as an underflow. Once the sink has taken
        // back what it had mixed of the stream (it does so on its own thread, soon after the cork), the
        // stream says how much it holds unplayed (see onCorkedTiming()), and only then is it flushed.
        forget(pa_stream_cork(m_stream, 1, nullptr, nullptr));
        const pa_usec_t at = pa_rtclock_now() + static_cast<pa_usec_t>(kCorkSettleMs) * PA_USEC_PER_MSEC;
        if (m_corkTimer)
            pa_context_rttime_restart(m_context, m_corkTimer, at);
        else
            m_corkTimer = pa_context_rttime_new(m_context, at, &PulseOutput::onCorkTimer, this);
        return;
    }
    // The stream is named after what plays: a new title is known by the time Play makes it active.
    takeTitleLocked();
    forget(pa_stream_cork(m_stream, 0, nullptr, nullptr));
    awaitSoundFromNowLocked();
    // The engine makes the output active just before it decodes the first chunk: give it a moment.
    armRampTimerLocked(3);
}

void PulseOutput::flush()
{
    LoopLock lock(m_loop);
    if (!m_started || m_lost)
        return;
    forget(pa_stream_flush(m_stream, nullptr, nullptr));
    awaitSoundFromNowLocked();
    if (m_active)
        fillLocked();
}

void PulseOutput::awaitSoundFromNowLocked()
{
    m_activeSince = std::chrono::steady_clock::now();
    m_awaitingSound = true;
    m_silentFrames = 0;
    m_rampWritten = 0;
}

void PulseOutput::takeTitleLocked()
{
    const std::uint64_t changes = streamTitleChanges();
    if (changes == m_titleChanges)
        return;
    m_titleChanges = changes;
    std::string title = streamTitle();
    if (title == m_streamTitle)
        return;
    m_streamTitle = std::move(title);
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_MEDIA_NAME,
                     (m_streamTitle.empty() ? streamIdentity().streamName : m_streamTitle).c_str());
    forget(pa_stream_proplist_update(m_stream, PA_UPDATE_REPLACE, props, nullptr, nullptr));
    pa_proplist_free(props);
}

void PulseOutput::fillLocked()
{
    if (!m_started || !m_active || m_lost || pa_stream_get_state(m_stream) != PA_STREAM_READY)
        return;
    // A file handed over while one plays keeps the stream running: its title is taken here.
    takeTitleLocked();
    const std::size_t writable = pa_stream_writable_size(m_stream);
    if (writable == static_cast<std::size_t>(-1))
        return;
    if (m_awaitingSound && !awaitSoundLocked())
        return;

    // While ramping up, hold what the engine has ready, and at least the first kFirstMs plus three times
    // the time since: the buffer grows to its target without asking the engine for much more than it
    // has decoded, and fast enough that a late wake-up just after Play does not run it dry. What the
    // server holds
    // is reckoned from what was written and the time since, not from the server's requests: after a
    // flush or an uncork the server asks for more only once it has played something, and it does not
    // play before it holds kStartMs.
    const auto since = std::chrono::steady_clock::now() - m_activeSince;
    const auto sinceMs = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    std::int64_t want = static_cast<std::int64_t>(writable);
    const bool ramping = sinceMs < kRampMs;
    if (ramping) {
        const std::int64_t played = std::chrono::duration_cast<std::chrono::microseconds>(since).count() *
                                    kEngineRate / 1000000 * static_cast<std::int64_t>(kFrameBytes);
        const std::int64_t held = std::max<std::int64_t>(m_rampWritten - played, 0);
        const std::int64_t target = bytesForMs(m_targetMs);
        std::int64_t allowed = bytesForMs(std::min(kFirstMs + 3 * static_cast<int>(sinceMs), m_targetMs));
        if (m_ready)
            allowed = std::max(allowed,
                               std::min(held + m_ready() * static_cast<std::int64_t>(kFrameBytes), target));
        want = allowed - held;
    }
    want -= want % static_cast<std::int64_t>(kFrameBytes);

    while (want > 0) {
        void* data = nullptr;
        std::size_t bytes = static_cast<std::size_t>(
            std::min<std::int64_t>(want, static_cast<std::int64_t>(kRequestFrames * kFrameBytes)));
        if (pa_stream_begin_write(m_stream, &data, &bytes) < 0 || !data)
            break;
        bytes -= bytes % kFrameBytes;
        if (bytes == 0) {
            pa_stream_cancel_write(m_stream);
            break;
        }
        m_render(static_cast<float*>(data), static_cast<int>(bytes / kFrameBytes));
        if (pa_stream_write(m_stream, data, bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            break;
        want -= static_cast<std::int64_t>(bytes);
        if (ramping)
            m_rampWritten += static_cast<std::int64_t>(bytes);
    }

    if (ramping)
        armRampTimerLocked(5);
}

void PulseOutput::armRampTimerLocked(int ms)
{
    const pa_usec_t at = pa_rtclock_now() + static_cast<pa_usec_t>(ms) * PA_USEC_PER_MSEC;
    if (m_rampTimer)
        pa_context_rttime_restart(m_context, m_rampTimer, at);
    else
        m_rampTimer = pa_context_rttime_new(m_context, at, &PulseOutput::onRampTimer, this);
}

bool PulseOutput::awaitSoundLocked()
{
    // Until the first sound, pull at the pace of real time and queue nothing: silence the engine
    // renders while it is still decoding (the first notes of a song, after a seek) would otherwise sit
    // in the server's buffer ahead of the music. A file that starts silent keeps its timing: its
    // silence passes in real time, just not through the server.
    const auto now = std::chrono::steady_clock::now();
    const std::int64_t dueFrames =
        std::chrono::duration_cast<std::chrono::microseconds>(now - m_activeSince).count() * kEngineRate /
            1000000 +
        static_cast<std::int64_t>(kEngineRate) * kFirstMs / 1000;
    while (m_silentFrames < dueFrames) {
        const int frames =
            static_cast<int>(std::min<std::int64_t>(dueFrames - m_silentFrames, kRequestFrames));
        m_render(m_scratch.data(), frames);
        const auto end = m_scratch.begin() + static_cast<std::ptrdiff_t>(frames) * kChannels;
        if (std::any_of(m_scratch.begin(), end, [](float v) { return v != 0.0f; })) {
            m_awaitingSound = false;
            m_activeSince = now; // the ramp starts with the music
            const std::size_t bytes = static_cast<std::size_t>(frames) * kFrameBytes;
            pa_stream_write(m_stream, m_scratch.data(), bytes, nullptr, 0, PA_SEEK_RELATIVE);
            m_rampWritten = static_cast<std::int64_t>(bytes);
            return true;
        }
        m_silentFrames += frames;
    }
    if (m_silentFrames >= static_cast<std::int64_t>(kEngineRate) * kAwaitMs / 1000) {
        // Silence for real: buffer it as any sound.
        m_awaitingSound = false;
        m_activeSince = now;
        m_rampWritten = 0;
        return true;
    }
    // Looked at again each millisecond: the first sound goes out as soon as the engine has it, not up
    // to a ramp step later. Only until the first sound, which seldom takes more than a few tens of ms.
    armRampTimerLocked(1);
    return false;
}

void PulseOutput::markLost()
{
    if (m_lost.exchange(true))
        return;
    // A server that is not there while opening is no news: the caller tries again or falls back.
    if (m_started)
        std::fprintf(stderr, "quillbeat: lost the sound server: %s\n",
                     pa_strerror(pa_context_errno(m_context)));
    reportLost();
}

void PulseOutput::onContextState(pa_context* context, void* self)
{
    auto* output = static_cast<PulseOutput*>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    if (!PA_CONTEXT_IS_GOOD(state))
        output->markLost();
    pa_threaded_mainloop_signal(output->m_loop, 0);
}

void PulseOutput::onStreamState(pa_stream* stream, void* self)
{
    auto* output = static_cast<PulseOutput*>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
        output->markLost();
    pa_threaded_mainloop_signal(output->m_loop, 0);
}

void PulseOutput::onWrite(pa_stream*, std::size_t, void* self)
{
    static_cast<PulseOutput*>(self)->fillLocked();
}

void PulseOutput::onUnderflow(pa_stream* stream, void* self)
{
    auto* output = static_cast<PulseOutput*>(self);
    std::fprintf(stderr, "quillbeat: the sound server ran out of sound\n");
    // A corked or flushed stream running dry is no news; one that plays was not refilled in time.
    if (!output->m_active || output->m_targetMs >= kGrownTargetMs)
        return;
    output->m_targetMs = kGrownTargetMs;
    const pa_buffer_attr* current = pa_stream_get_buffer_attr(stream);
    if (!current)
        return;
    pa_buffer_attr attr = *current;
    attr.tlength = bytesForMs(output->m_targetMs);
    forget(pa_stream_set_buffer_attr(stream, &attr, nullptr, nullptr));
    std::fprintf(stderr, "quillbeat: the sound server holds %d ms from now on\n", output->m_targetMs);
}

void PulseOutput::onCorkTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self)
{
    auto* output = static_cast<PulseOutput*>(self);
    if (output->m_active || !output->m_started || output->m_lost)
        return;
    ++output->m_corkedTimings;
    forget(pa_stream_update_timing_info(output->m_stream, &PulseOutput::onCorkedTiming, output));
}

void PulseOutput::onCorkedTiming(pa_stream* stream, int success, void* self)
{
    // On the main loop's thread with its lock held: no render call runs meanwhile.
    auto* output = static_cast<PulseOutput*>(self);
    // Only the answer to the latest cork counts: the server has answered the earlier ones before
    // Play and the next Stop changed what it holds.
    if (--output->m_corkedTimings > 0 || output->m_active || !output->m_started || output->m_lost)
        return;
    // The corked stream's read index is what the sink took (less what it rewound when the stream
    // corked); everything written beyond it was never played.
    std::int64_t unheard = 0;
    const pa_timing_info* timing = success ? pa_stream_get_timing_info(stream) : nullptr;
    if (timing && !timing->write_index_corrupt && !timing->read_index_corrupt)
        unheard = std::max<std::int64_t>(timing->write_index - timing->read_index, 0) /
                  static_cast<std::int64_t>(kFrameBytes);
    forget(pa_stream_flush(stream, nullptr, nullptr));
    if (unheard > 0 && output->m_unheard)
        output->m_unheard(unheard);
}

void PulseOutput::onRampTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self)
{
    static_cast<PulseOutput*>(self)->fillLocked();
}

} // namespace qb::audio
