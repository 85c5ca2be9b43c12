#include "audio/engine/RealTimePace.h"

#include "audio/decode/Decoder.h"

#include <chrono>
#include <thread>

namespace qb::audio {

void runAtRealTimePace(int periodFrames, const std::atomic<bool>& running, const std::function<void()>& pull)
{
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(periodFrames) / kEngineRate));
    // Like a sound card, the first period is asked for at once and each next one a period later.
    auto deadline = Clock::now();
    while (running.load(std::memory_order_relaxed)) {
        pull();
        deadline += period;
        const auto now = Clock::now();
        if (now > deadline + 8 * period)
            deadline = now;
        std::this_thread::sleep_until(deadline);
    }
}

} // namespace qb::audio
