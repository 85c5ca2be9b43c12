#pragma once

#include "sound/MciApi.h"

#include <functional>
#include <string>

namespace qb::platform {
class MessageBoxPresenter;
} // namespace qb::platform

namespace qb::mci {

// The sound stack (the MCI service over the audio engine, its decoders, FluidSynth and the sound
// server's client libraries) is a module of its own, which the window loads when the first command
// needs it: a window that has played nothing carries none of it. This is what passes between them.

// What the window lends the stack; it must outlive the stack.
struct SoundStackSetup
{
    // Shows the service's error boxes (mciExecute).
    platform::MessageBoxPresenter* errorBox = nullptr;
    // The SoundFont the user chose (empty: the distribution's default), asked at every open of a MIDI
    // file; and told when a SoundFont could not be loaded, with its path and the reason. Both on the
    // thread that sends the command; see MciServiceOptions.
    std::function<std::string()> soundFontChoice;
    std::function<void(const std::string& soundFontPath, const std::string& why)> soundFontFailed;
};

class SoundStack : public MciApi
{
public:
    // The title of what plays now (empty: nothing), for the sound server's list of streams.
    virtual void setStreamTitle(const std::string& title) = 0;
};

// The module's one exported function: a new stack, or null when it could not be made. The caller
// owns the stack and deletes it on the thread that made it.
using MakeSoundStack = SoundStack* (*)(const SoundStackSetup& setup);
inline constexpr const char kMakeSoundStackSymbol[] = "quillbeat_make_sound_stack";
// The module's file name, as the build leaves it beside the program and installs it.
inline constexpr const char kSoundModuleFileName[] = "libquillbeat-sound.so";

} // namespace qb::mci
