// The sound module's entry points: the build it comes from, and the audio engine on the desktop's
// sound output with the MCI service over it, made when the window sends its first command.
#include "sound/SoundStack.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/SilentOutput.h"
#include "sound/mci/MciService.h"
#include "sound/output/Outputs.h"
#include "sound/output/StreamIdentity.h"

#include <cstdio>
#include <exception>
#include <memory>

namespace qb::mci {
namespace {

MciServiceOptions serviceOptions(const SoundStackSetup& setup,
                                 std::shared_ptr<audio::MidiSynthCache> synthCache)
{
    MciServiceOptions options;
    options.synthCache = std::move(synthCache);
    options.soundFontChoice = setup.soundFontChoice;
    options.loopPointsWanted = setup.loopPointsWanted;
    options.trackWanted = setup.trackWanted;
    options.findLoopWanted = setup.findLoopWanted;
    options.soundFontFailed = setup.soundFontFailed;
    options.fileTooLarge = setup.fileTooLarge;
    return options;
}

// The output is named to the sound server before it opens a stream; a stack that only answers
// questions about files plays on the silent output.
std::unique_ptr<audio::AudioOutput> namedOutput(bool silent)
{
    if (silent)
        return audio::makeSilentOutput();
    audio::setStreamIdentity(audio::StreamIdentity{});
    return audio::makeDefaultOutput();
}

class ModuleSoundStack final : public SoundStack
{
public:
    explicit ModuleSoundStack(const SoundStackSetup& setup)
        : m_synthCache(synthCacheAhead(serviceOptions(setup, nullptr),
                                       setup.silentOutput ? std::string() : setup.firstFile)),
          m_engine(namedOutput(setup.silentOutput)),
          m_service(m_engine, *setup.errorBox, serviceOptions(setup, m_synthCache))
    {
    }

    MCIERROR mciSendStringA(const char* command, char* returnString, unsigned returnLength,
                            void* callbackWindow) override
    {
        return m_service.mciSendStringA(command, returnString, returnLength, callbackWindow);
    }
    bool mciExecute(const char* command) override { return m_service.mciExecute(command); }
    void setStreamTitle(const std::string& title) override { audio::setStreamTitle(title); }

private:
    // Made first: a start with a MIDI file has its synthesiser made while the output starts (the sound
    // server's answers take a while), for the first open to borrow.
    std::shared_ptr<audio::MidiSynthCache> m_synthCache;
    audio::AudioEngine m_engine; // outlives the service, which closes its devices on it
    MciService m_service;
};

} // namespace
} // namespace qb::mci

extern "C" __attribute__((visibility("default"))) const char* quillbeat_sound_module_build()
{
    return qb::mci::kSoundModuleBuild;
}

extern "C" __attribute__((visibility("default"))) qb::mci::SoundStack*
quillbeat_make_sound_stack(const qb::mci::SoundStackSetup& setup)
{
    if (setup.errorBox == nullptr)
        return nullptr;
    try {
        return new qb::mci::ModuleSoundStack(setup);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quillbeat: the sound stack did not start: %s\n", error.what());
        return nullptr;
    }
}
