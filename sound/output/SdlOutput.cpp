#include "SdlOutput.h"

#include "sound/decode/Decoder.h"
#include "sound/output/Outputs.h"
#include "sound/output/StreamIdentity.h"

#include <SDL.h>
#include <chrono>
#include <cstdio>

namespace qb::audio {

std::unique_ptr<SdlOutput> SdlOutput::open(int periodFrames, bool quiet)
{
    // SDL must not take over SIGINT/SIGTERM from the application.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, streamIdentity().appName.c_str());
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        if (!quiet)
            std::fprintf(stderr, "quillbeat: no SDL audio driver: %s\n", SDL_GetError());
        return nullptr;
    }
    std::unique_ptr<SdlOutput> output(new SdlOutput);
    SDL_AudioSpec want{};
    want.freq = kEngineRate;
    want.format = AUDIO_F32SYS;
    want.channels = kChannels;
    want.samples = static_cast<Uint16>(periodFrames);
    want.callback = [](void* self, Uint8* stream, int bytes) { SdlOutput::callback(self, stream, bytes); };
    want.userdata = output.get();
    SDL_AudioSpec have{};
    // No allowed changes: SDL converts to whatever the device really runs at, so the engine always
    // renders at kEngineRate.
    output->m_device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (output->m_device == 0) {
        if (!quiet)
            std::fprintf(stderr, "quillbeat: no SDL audio device: %s\n", SDL_GetError());
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return nullptr;
    }
    output->m_periodFrames = have.samples > 0 ? have.samples : periodFrames;
    const char* driver = SDL_GetCurrentAudioDriver();
    output->m_name = std::string("sdl:") + (driver ? driver : "?");
    return output;
}

SdlOutput::~SdlOutput()
{
    if (m_device != 0) {
        SDL_CloseAudioDevice(m_device);
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
}

std::int64_t SdlOutput::nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool SdlOutput::start(Source source)
{
    stop();
    m_render = std::move(source.render);
    m_started = true;
    m_lastPullMs = nowMs();
    m_active = true;
    SDL_PauseAudioDevice(m_device, 0);
    return true;
}

void SdlOutput::setActive(bool active)
{
    // A paused device leaves the sound server's stream idle instead of feeding it silence.
    if (!m_started)
        return;
    if (active && !m_active)
        m_lastPullMs = nowMs();
    m_active = active;
    SDL_PauseAudioDevice(m_device, active ? 0 : 1);
}

void SdlOutput::stop()
{
    m_started = false;
    m_active = false;
    // Pausing takes the device's lock, which SDL holds around every callback: once it returns no
    // callback is running, and a paused device calls none.
    SDL_PauseAudioDevice(m_device, 1);
}

bool SdlOutput::lost() const
{
    if (SDL_GetAudioDeviceStatus(m_device) == SDL_AUDIO_STOPPED)
        return true; // SDL closed it: the device or the server is gone
    // Some servers leave SDL's device looking fine while nothing is pulled any more.
    return m_started && m_active && nowMs() - m_lastPullMs.load() > kStallMs;
}

void SdlOutput::callback(void* self, std::uint8_t* stream, int bytes)
{
    auto* output = static_cast<SdlOutput*>(self);
    output->m_lastPullMs = nowMs();
    const int frames = bytes / static_cast<int>(sizeof(float) * kChannels);
    output->m_render(reinterpret_cast<float*>(stream), frames);
}

} // namespace qb::audio
