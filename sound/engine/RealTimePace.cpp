#include "sound/engine/RealTimePace.h"

#include "sound/decode/Decoder.h"

#include <algorithm>
#include <thread>

namespace qb::audio {

namespace {

class SystemPaceClock final : public PaceClock
{
public:
    TimePoint now() override { return std::chrono::steady_clock::now(); }
    void sleepUntil(TimePoint deadline) override { std::this_thread::sleep_until(deadline); }
};

} // namespace

PaceClock& PaceClock::system()
{
    static SystemPaceClock clock;
    return clock;
}

RealTimePace::RealTimePace(int periodFrames, PaceClock& clock)
    : m_clock(clock),
      m_period(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(static_cast<double>(std::max(periodFrames, 1)) / kEngineRate))),
      m_deadline(clock.now())
{
}

void RealTimePace::restart()
{
    m_deadline = m_clock.now();
}

void RealTimePace::sleepUntilNextPeriod()
{
    m_deadline += m_period;
    const auto now = m_clock.now();
    if (now > m_deadline + 8 * m_period)
        m_deadline = now;
    m_clock.sleepUntil(m_deadline);
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
