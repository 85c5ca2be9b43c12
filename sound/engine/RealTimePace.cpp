#include "sound/engine/RealTimePace.h"

#include "sound/decode/Decoder.h"

#include <algorithm>
#include <thread>

namespace qb::audio {

RealTimePace::RealTimePace(int periodFrames)
    : m_period(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(static_cast<double>(std::max(periodFrames, 1)) / kEngineRate))),
      m_deadline(Clock::now())
{
}

void RealTimePace::restart()
{
    m_deadline = Clock::now();
}

void RealTimePace::sleepUntilNextPeriod()
{
    m_deadline += m_period;
    const auto now = Clock::now();
    if (now > m_deadline + 8 * m_period)
        m_deadline = now;
    std::this_thread::sleep_until(m_deadline);
}

void runAtRealTimePace(int periodFrames, const std::atomic<bool>& running, const std::function<void()>& pull)
{
    RealTimePace pace(periodFrames);
    while (running.load(std::memory_order_relaxed)) {
        pull();
        pace.sleepUntilNextPeriod();
    }
}

} // namespace qb::audio
