#include "sound/output/Outputs.h"

#include "FailoverOutput.h"
#include "PulseOutput.h"
#include "SdlOutput.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qb::audio {

namespace {

// SDL_AUDIODRIVER naming any other driver is a user's (or a test's) choice of SDL's output.
bool pulseWanted()
{
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    return !driver || !*driver || std::strcmp(driver, "pulseaudio") == 0 || std::strcmp(driver, "pulse") == 0;
}

} // namespace

std::unique_ptr<AudioOutput> makeDefaultOutput()
{
    if (pulseWanted()) {
        if (auto pulse = PulseOutput::open())
            return std::make_unique<FailoverOutput>(std::move(pulse), [] { return PulseOutput::open(); });
    }
    if (auto sdl = SdlOutput::open())
        return std::make_unique<FailoverOutput>(std::move(sdl), [] { return SdlOutput::open(); });
    // Started with the session, before its sound server: play silently in time and take the server's
    // stream as soon as it answers, as after a server that went away and came back.
    std::fprintf(stderr, "quillbeat: no sound device yet; playing on a silent output until one answers\n");
    if (pulseWanted())
        return std::make_unique<FailoverOutput>(nullptr, [] { return PulseOutput::open(); });
    return std::make_unique<FailoverOutput>(nullptr, [] { return SdlOutput::open(512, true); });
}

} // namespace qb::audio
