#include "sound/engine/SilentOutput.h"

#include "sound/decode/Decoder.h"
#include "sound/engine/RealTimePace.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace qb::audio {

namespace {

// Keeps playback on the clock of a sound card when there is none: pulls and discards.
class SilentOutput final : public AudioOutput
{
public:
    explicit SilentOutput(int periodFrames) : m_periodFrames(std::max(periodFrames, 1)) {}
    ~SilentOutput() override { stop(); }

    bool start(Source source) override
    {
        stop();
        m_render = std::move(source.render);
        m_buffer.assign(static_cast<std::size_t>(m_periodFrames) * kChannels, 0.0f);
        m_running = true;
        m_thread = std::thread([this] {
            RealTimePace pace(m_periodFrames);
            while (m_running.load(std::memory_order_relaxed)) {
                // While nothing plays, sleep instead of pulling silence.
                bool waited = false;
                {
                    std::unique_lock lock(m_mutex);
                    if (!m_active) {
                        m_wake.wait(lock, [this] { return m_active || !m_running; });
                        waited = true;
                    }
                }
                if (!m_running.load(std::memory_order_relaxed))
                    break;
                // The wait was meant, not a stall: the pace starts afresh now. Catching up on it would
                // take up to the whole queue in one burst, far ahead of the clock a listener keeps.
                if (waited)
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
        }
        m_wake.notify_all();
    }

    int periodFrames() const override { return m_periodFrames; }
    const char* name() const override { return "silent"; }

private:
    const int m_periodFrames;
    RenderFn m_render;
    std::vector<float> m_buffer;
    std::atomic<bool> m_running{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_active = true;
    std::thread m_thread;
};

} // namespace

std::unique_ptr<AudioOutput> makeSilentOutput(int periodFrames)
{
    return std::make_unique<SilentOutput>(periodFrames);
}

} // namespace qb::audio
