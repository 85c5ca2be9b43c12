#include "sound/engine/SilentOutput.h"

#include "sound/decode/Decoder.h"
#include "sound/engine/RealTimePace.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace qb::audio {

namespace {

// Keeps playback on the clock of a sound card when there is none: pulls and discards.
class SilentOutput final : public AudioOutput
{
public:
    SilentOutput(int periodFrames, PaceClock& clock)
        : m_periodFrames(std::max(periodFrames, 1)), m_clock(clock)
    {
    }
    ~SilentOutput() override { stop(); }

    bool start(Source source) override
    {
        stop();
        m_render = std::move(source.render);
        m_buffer.assign(static_cast<std::size_t>(m_periodFrames) * kChannels, 0.0f);
        m_running = true;
        m_thread = std::thread([this] {
            RealTimePace pace(m_periodFrames, m_clock);
            while (m_running.load(std::memory_order_relaxed)) {
                // While nothing plays, sleep instead of pulling silence.
                bool idled = false;
                {
                    std::unique_lock lock(m_mutex);
                    m_wake.wait(lock, [this] { return m_active || !m_running; });
                    idled = std::exchange(m_idled, false);
                }
                if (!m_running.load(std::memory_order_relaxed))
                    break;
                // The output was made inactive since the last period, whether or not this thread saw
                // it (a busy machine may not have run it during the whole wait): that time was meant,
                // not a stall, and the pace starts afresh now. Catching up on it would take up to the
                // whole queue in one burst, far ahead of the clock a listener keeps.
                if (idled)
                    pace.restart();
                m_render(m_buffer.data(), m_periodFrames);
                pace.sleepUntilNextPeriod();
            }
        });
        return true;
    }

    void stop() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_running = false;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    void setActive(bool active) override
    {
        {
            std::lock_guard lock(m_mutex);
            m_active = active;
            m_idled = m_idled || !active;
        }
        m_wake.notify_all();
    }

    int periodFrames() const override { return m_periodFrames; }
    const char* name() const override { return "silent"; }

private:
    const int m_periodFrames;
    PaceClock& m_clock;
    RenderFn m_render;
    std::vector<float> m_buffer;
    std::atomic<bool> m_running{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_active = true;
    bool m_idled = false; // made inactive since the thread last looked
    std::thread m_thread;
};

} // namespace

std::unique_ptr<AudioOutput> makeSilentOutput(int periodFrames, PaceClock& clock)
{
    return std::make_unique<SilentOutput>(periodFrames, clock);
}

} // namespace qb::audio
