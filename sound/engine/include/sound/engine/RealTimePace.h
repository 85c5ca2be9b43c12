#pragma once

#include <atomic>
#include <chrono>
#include <functional>

namespace qb::audio {

// The pace of a sound card running at kEngineRate with periods of `periodFrames`: the first period is
// due at once and each next one a period later. Deadlines are absolute on steady_clock, so the pace
// does not drift. A stall of a few periods is made up, as a sound card's buffer would; after one of
// more than eight periods the pace starts afresh instead of catching up in a burst. One thread.
class RealTimePace
{
public:
    explicit RealTimePace(int periodFrames);

    // The period taken now starts the pace afresh: the next one is due a period from now. For an output
    // that waited on purpose (nothing played) and must not make up for the wait.
    void restart();
    // Sleeps until the next period is due.
    void sleepUntilNextPeriod();

private:
    using Clock = std::chrono::steady_clock;
    Clock::duration m_period;
    Clock::time_point m_deadline;
};

// Calls `pull` once per period of `periodFrames` at the pace of a sound card running at kEngineRate,
// until `running` turns false. Runs on the caller's thread.
void runAtRealTimePace(int periodFrames, const std::atomic<bool>& running, const std::function<void()>& pull);

} // namespace qb::audio
