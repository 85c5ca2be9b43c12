#pragma once

#include "sound/engine/AudioOutput.h"

#include <memory>

namespace qb::audio {

// Consumes audio in real time and throws it away: the engine's last resort when no other output
// starts, so that playback keeps its timing. Nobody listens, so its periods can be long: fewer
// wake-ups, and the engine's queue is far longer anyway.
std::unique_ptr<AudioOutput> makeSilentOutput(int periodFrames = 4096);

} // namespace qb::audio
