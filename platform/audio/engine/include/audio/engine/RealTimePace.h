#pragma once

#include <atomic>
#include <functional>

namespace qb::audio {

// Calls `pull` once per period of `periodFrames` at the pace of a sound card running at kEngineRate,
// until `running` turns false. Deadlines are absolute on steady_clock, so the pace does not drift; after
// a long stall it starts afresh instead of catching up in a burst. Runs on the caller's thread.
void runAtRealTimePace(int periodFrames, const std::atomic<bool>& running, const std::function<void()>& pull);

} // namespace qb::audio
