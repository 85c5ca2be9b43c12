#include "audio/decode/Decoder.h"
#include "audio/output/Outputs.h"
#include "audio/output/StreamIdentity.h"

#include <SDL.h>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

namespace qb::audio {

namespace {

// The desktop's sound server through SDL2: interleaved stereo float at kEngineRate, 512-frame periods
// (SDL converts if the device wants something else). The render function runs on SDL's audio thread.
class SdlOutput final : public AudioOutput
{
public:
    // Null when SDL has no working audio driver or no device opens.
    static std::unique_ptr<SdlOutput> open(int periodFrames = 512);
    ~SdlOutput() override;

    bool start(RenderFn render) override;
    void stop() override;
    void setActive(bool active) override;
    int periodFrames() const override { return m_periodFrames; }
    const char* name() const override { return m_name.c_str(); }

private:
    SdlOutput() = default;
    static void callback(void* self, Uint8* stream, int bytes);

    SDL_AudioDeviceID m_device = 0;
    std::atomic<bool> m_started{false};
    int m_periodFrames = 0;
    std::string m_name;
    RenderFn m_render;
};

std::unique_ptr<SdlOutput> SdlOutput::open(int periodFrames)
{
    // SDL must not take over SIGINT/SIGTERM from the application.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, streamIdentity().appName.c_str());
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        std::fprintf(stderr, "quillbeat: no SDL audio driver: %s\n", SDL_GetError());
        return nullptr;
    }
    std::unique_ptr<SdlOutput> output(new SdlOutput);
    SDL_AudioSpec want{};
    want.freq = kEngineRate;
    want.format = AUDIO_F32SYS;
    want.channels = kChannels;
    want.samples = static_cast<Uint16>(periodFrames);
    want.callback = &SdlOutput::callback;
    want.userdata = output.get();
    SDL_AudioSpec have{};
    // No allowed changes: SDL converts to whatever the device really runs at, so the engine always
    // renders at kEngineRate.
    output->m_device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (output->m_device == 0) {
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

bool SdlOutput::start(RenderFn render)
{
    stop();
    m_render = std::move(render);
    m_started = true;
    SDL_PauseAudioDevice(m_device, 0);
    return true;
}

void SdlOutput::setActive(bool active)
{
    // A paused device leaves the sound server's stream idle instead of feeding it silence.
    if (m_started)
        SDL_PauseAudioDevice(m_device, active ? 0 : 1);
}

void SdlOutput::stop()
{
    m_started = false;
    // Pausing takes the device's lock, which SDL holds around every callback: once it returns no
    // callback is running, and a paused device calls none.
    SDL_PauseAudioDevice(m_device, 1);
}

void SdlOutput::callback(void* self, Uint8* stream, int bytes)
{
    auto* output = static_cast<SdlOutput*>(self);
    const int frames = bytes / static_cast<int>(sizeof(float) * kChannels);
    output->m_render(reinterpret_cast<float*>(stream), frames);
}

} // namespace

std::unique_ptr<AudioOutput> makeDefaultOutput()
{
    if (auto sdl = SdlOutput::open())
        return sdl;
    std::fprintf(stderr, "quillbeat: no sound device; playing on a silent output\n");
    return makeSilentOutput();
}

} // namespace qb::audio
