#include "testkit/CaptureOutput.h"

#include "sound/decode/Decoder.h"
#include "sound/engine/RealTimePace.h"

#include <algorithm>
#include <utility>

namespace qb::audio {

CaptureOutput::CaptureOutput(int periodFrames, Clock clock)
    : m_periodFrames(std::max(periodFrames, 1)), m_clock(clock)
{
}

CaptureOutput::~CaptureOutput()
{
    stop();
}

bool CaptureOutput::start(Source source)
{
    stop();
    m_render = std::move(source.render);
    m_ready = std::move(source.ready);
    m_unheard = std::move(source.unheard);
    m_active = true;
    m_period.assign(static_cast<std::size_t>(m_periodFrames) * kChannels, 0.0f);
    m_running = true;
    if (m_clock == Clock::RealTime) {
        m_thread = std::thread(
            [this] { runAtRealTimePace(m_periodFrames, m_running, [this] { pullPeriod(m_periodFrames); }); });
    }
    return true;
}

void CaptureOutput::stop()
{
    m_running = false;
    if (m_thread.joinable())
        m_thread.join();
}

void CaptureOutput::setActive(bool active)
{
    // Called by whoever runs the engine's feeder: on the manual clock, the caller's thread between
    // pulls; never while a period is being pulled.
    const bool dropping = m_active && !active;
    m_active = active;
    const std::int64_t buffer = m_serverBuffer.load();
    if (!dropping || buffer <= 0 || m_clock != Clock::Manual)
        return;
    std::int64_t dropped = 0;
    {
        std::lock_guard lock(m_mutex);
        dropped = std::min<std::int64_t>(buffer, static_cast<std::int64_t>(m_captured.size() / kChannels));
        m_captured.resize(m_captured.size() - static_cast<std::size_t>(dropped) * kChannels);
    }
    if (m_unheard && dropped > 0)
        m_unheard(dropped);
}

void CaptureOutput::advance(std::int64_t frames)
{
    if (m_clock != Clock::Manual || !m_running)
        return;
    while (frames > 0) {
        const int n = static_cast<int>(std::min<std::int64_t>(frames, m_periodFrames));
        pullPeriod(n);
        frames -= n;
    }
}

void CaptureOutput::pullPeriod(int frames)
{
    m_render(m_period.data(), frames);
    if (!m_recording.load(std::memory_order_relaxed))
        return;
    std::lock_guard lock(m_mutex);
    m_captured.insert(m_captured.end(), m_period.begin(),
                      m_period.begin() + static_cast<std::ptrdiff_t>(frames) * kChannels);
}

std::vector<float> CaptureOutput::captured() const
{
    std::lock_guard lock(m_mutex);
    return m_captured;
}

std::vector<float> CaptureOutput::takeCaptured()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_captured, {});
}

std::int64_t CaptureOutput::capturedFrames() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<std::int64_t>(m_captured.size() / kChannels);
}

void CaptureOutput::setRecording(bool on)
{
    m_recording = on;
}

} // namespace qb::audio
