#include "AudioOutput.h"
#include "Decoder.h"
#include "RealTimePace.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace qb::audio {

namespace {

// Keeps playback on the clock of a sound card when there is none: pulls and discards.
class SilentOutput final : public AudioOutput
{
public:
    explicit SilentOutput(int periodFrames)
        : m_periodFrames(std::max(periodFrames, 1))
    {
    }
    ~SilentOutput() override { stop(); }

    bool start(RenderFn render) override
    {
        stop();
        m_render = std::move(render);
        m_buffer.assign(static_cast<std::size_t>(m_periodFrames) * kChannels, 0.0f);
        m_running = true;
        m_thread = std::thread([this] {
            runAtRealTimePace(m_periodFrames, m_running, [this] { m_render(m_buffer.data(), m_periodFrames); });
        });
        return true;
    }

    void stop() override
    {
        m_running = false;
        if (m_thread.joinable())
            m_thread.join();
    }

    int periodFrames() const override { return m_periodFrames; }
    const char* name() const override { return "silent"; }

private:
    const int m_periodFrames;
    RenderFn m_render;
    std::vector<float> m_buffer;
    std::atomic<bool> m_running{false};
    std::thread m_thread;
};

} // namespace

std::unique_ptr<AudioOutput> makeSilentOutput(int periodFrames)
{
    return std::make_unique<SilentOutput>(periodFrames);
}

} // namespace qb::audio
