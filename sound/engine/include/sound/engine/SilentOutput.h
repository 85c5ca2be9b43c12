#pragma once

#include "sound/engine/AudioOutput.h"
#include "sound/engine/RealTimePace.h"

#include <memory>

namespace qb::audio {

// Consumes audio in real time and throws it away: the engine's last resort when no other output
// starts, so that playback keeps its timing. Nobody listens, so its periods can be long: fewer
// wake-ups, and the engine's queue is far longer anyway. While inactive it pulls nothing; made active
// again, it takes a period at once and goes on from there, as a sound card starting afresh, however
// long the wait was. It keeps time on `clock`, which outlives it.
std::unique_ptr<AudioOutput> makeSilentOutput(int periodFrames = 4096,
                                              PaceClock& clock = PaceClock::system());

} // namespace qb::audio
