#include "TimedOutput.h"

#include "sound/decode/Decoder.h"
#include "sound/engine/RealTimePace.h"

#include <cmath>

namespace qb::bench {

TimedOutput::TimedOutput(int periodFrames)
    : m_periodFrames(periodFrames), m_buffer(static_cast<std::size_t>(periodFrames * audio::kChannels))
{
}

TimedOutput::~TimedOutput()
{
    stop();
}

bool TimedOutput::start(Source source)
{
    stop();
    m_render = std::move(source.render);
    m_running = true;
    m_thread =
        std::thread([this] { audio::runAtRealTimePace(m_periodFrames, m_running, [this] { pull(); }); });
    return true;
}

void TimedOutput::stop()
{
    m_running = false;
    if (m_thread.joinable())
        m_thread.join();
}

void TimedOutput::rearm()
{
    m_heard = false;
}

bool TimedOutput::firstSound(std::chrono::steady_clock::time_point* at) const
{
    if (!m_heard.load(std::memory_order_acquire))
        return false;
    *at = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(m_heardAtNs.load()));
    return true;
}

void TimedOutput::pull()
{
    const auto now = std::chrono::steady_clock::now();
    m_render(m_buffer.data(), m_periodFrames);
    if (m_heard.load(std::memory_order_relaxed))
        return;
    for (int i = 0; i < m_periodFrames; ++i) {
        if (std::fabs(m_buffer[static_cast<std::size_t>(2 * i)]) > 1e-6f ||
            std::fabs(m_buffer[static_cast<std::size_t>(2 * i + 1)]) > 1e-6f) {
            const auto offset =
                std::chrono::nanoseconds(static_cast<std::int64_t>(i) * 1000000000 / audio::kEngineRate);
            m_heardAtNs =
                std::chrono::duration_cast<std::chrono::nanoseconds>((now + offset).time_since_epoch())
                    .count();
            m_heard.store(true, std::memory_order_release);
            return;
        }
    }
}

} // namespace qb::bench
