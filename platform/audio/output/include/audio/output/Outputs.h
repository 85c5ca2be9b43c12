#pragma once

#include "audio/engine/AudioOutput.h"
#include "audio/engine/SilentOutput.h"

#include <memory>

namespace qb::audio {

// The desktop's sound server through SDL2; when no audio device opens, a silent real-time output, so
// that playback keeps its timing without a sound card. Never returns null.
std::unique_ptr<AudioOutput> makeDefaultOutput();

} // namespace qb::audio
