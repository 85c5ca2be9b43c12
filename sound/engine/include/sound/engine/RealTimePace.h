#pragma once

#include <atomic>
#include <chrono>
#include <functional>

namespace qb::audio {

// What a pace reads the time from and sleeps on. The system's (steady_clock and the thread's own
// sleep) unless a test moves its own by hand.
class PaceClock
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~PaceClock() = default;
    virtual TimePoint now() = 0;
    // Returns once now() has reached `deadline` (at once when it has already).
    virtual void sleepUntil(TimePoint deadline) = 0;
    // steady_clock and std::this_thread::sleep_until: stateless, for every thread, for ever.
    static PaceClock& system();
};

// The pace of a sound card running at kEngineRate with periods of `periodFrames`: the first period is
// due at once and each next one a period later. Deadlines are absolute on steady_clock, so the pace
// does not drift. A stall of a few periods is made up, as a sound card's buffer would; after one of
// more than eight periods the pace starts afresh instead of catching up in a burst. One thread;
// `clock` outlives the pace.
class RealTimePace
{
public:
    explicit RealTimePace(int periodFrames, PaceClock& clock = PaceClock::system());

    // The period taken now starts the pace afresh: the next one is due a period from now. For an output
    // that waited on purpose (nothing played) and must not make up for the wait.
    void restart();
    // Sleeps until the next period is due.
    void sleepUntilNextPeriod();

private:
    PaceClock& m_clock;
    std::chrono::steady_clock::duration m_period;
    PaceClock::TimePoint m_deadline;
};

// Calls `pull` once per period of `periodFrames` at the pace of a sound card running at kEngineRate,
// until `running` turns false. Runs on the caller's thread.
void runAtRealTimePace(int periodFrames, const std::atomic<bool>& running, const std::function<void()>& pull);

} // namespace qb::audio
