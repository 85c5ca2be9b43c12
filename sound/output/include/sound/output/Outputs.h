#pragma once

#include "sound/engine/AudioOutput.h"
#include "sound/engine/SilentOutput.h"

#include <memory>

namespace qb::audio {

// The desktop's sound server: a PulseAudio-compatible one through libpulse when one answers (unless
// SDL_AUDIODRIVER names another driver), else whatever SDL2 opens; both behind a failover that plays
// silently in real time while the server is away and reconnects when it is back. When nothing opens
// (no sound card, or a session whose server is not up yet), the same failover starts on its silent
// output, so that playback keeps its timing, and takes the server's stream once one answers. Never
// returns null.
// May block for up to half a second while a server that does not answer is tried.
std::unique_ptr<AudioOutput> makeDefaultOutput();

} // namespace qb::audio
