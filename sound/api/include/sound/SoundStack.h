#pragma once

#include "sound/MciApi.h"

#include <cstdint>
#include <functional>
#include <string>

namespace qb::platform {
class MessageBoxPresenter;
} // namespace qb::platform

namespace qb::mci {

// The sound stack (the MCI service over the audio engine, its decoders, FluidSynth and the sound
// server's client libraries) is a module of its own, which the window loads when the first command
// needs it: a window that has played nothing carries none of it. This is what passes between them.

// Why a SoundFont could not be loaded, as the window words it for the user.
enum class SoundFontProblem
{
    Missing,      // no file at its path
    Unreadable,   // a file that cannot be read (no permission, a folder, a FIFO...)
    NotSoundFont, // a file of another kind
    Rejected,     // a SoundFont that is damaged, or that FluidSynth refuses
};

// The limit of this machine that a valid file went beyond, as the window words it for the user.
enum class FileLimitKind
{
    FileSize,    // the file's size, in bytes
    EventMemory, // the memory a MIDI file's events need, in bytes
};

// What the window lends the stack; it must outlive the stack.
struct SoundStackSetup
{
    // Shows the service's error boxes (mciExecute).
    platform::MessageBoxPresenter* errorBox = nullptr;
    // The SoundFont the user chose (empty: the distribution's default), asked at every open of a MIDI
    // file; and told when a SoundFont could not be loaded: its path, the kind of problem (a
    // SoundFontProblem, passed as a number so that the callback's type names nothing of ours: the
    // module exports nothing but its entry points) and the reason (English, for a log). Both on the
    // thread that sends the command; see MciServiceOptions.
    std::function<std::string()> soundFontChoice;
    std::function<void(const std::string& soundFontPath, int problem, const std::string& why)>
        soundFontFailed;
    // Told when a valid file was refused as too large for this machine: its path, the limit (a
    // FileLimitKind, as a number), what the file has or needs and the limit, in bytes. On the thread
    // that sends the command, after it; see MciServiceOptions.
    std::function<void(const std::string& file, int limitKind, std::uint64_t amount, std::uint64_t limit)>
        fileTooLarge;
    // Asked at every open: whether a file plays the loop points it marks (the user's setting).
    std::function<bool()> loopPointsWanted;
    // Asked at every open, with the path the open command names: the track to play of a file that
    // holds several (game-music files), 0 the first (the request's --track).
    std::function<int(const std::string& path)> trackWanted;
    // Asked at every open: whether a file whose own loop does not play has the loop it repeats looked
    // for while it plays (the user's setting, or --find-loop).
    std::function<bool()> findLoopWanted;
    // Plays on the silent output rather than the desktop's sound server: a stack made only to answer
    // questions about files (--show-loop).
    bool silentOutput = false;
    // The file a start with one opens first, as its open command names it (empty: none known): the
    // stack may begin what opening it takes while it starts its output, such as the synthesiser of a
    // MIDI file.
    std::string firstFile;
};

class SoundStack : public MciApi
{
public:
    // The title of what plays now (empty: nothing), for the sound server's list of streams.
    virtual void setStreamTitle(const std::string& title) = 0;
};

// The module's entry points. The types above cross between two separately linked files, so a module
// is used only by the program of its own build: the first entry point, which stays as it is whatever
// else changes, names the build; the program compares it with kSoundModuleBuild before it calls the
// second, and refuses a module of another build (say, one left in /usr/lib beside a program in
// /usr/local).
//
// The build is the program's version and a fingerprint of the headers that define what crosses
// (this one, MciApi.h, MciErrors.h and the message-box seam), taken when the build is configured.
//
// What both sides link of the sound room's face (the error texts, the table of formats) is linked into
// each of them: it is constant tables and functions of their arguments only, with no state that two
// copies could disagree on, and the module's copy is hidden (the module exports its entry points and
// nothing else), so neither copy can stand in for the other.
using SoundModuleBuild = const char* (*)();
inline constexpr const char kSoundModuleBuildSymbol[] = "quillbeat_sound_module_build";
inline constexpr const char kSoundModuleBuild[] = QUILLBEAT_SOUND_BUILD;
// A new stack, or null when it could not be made. The caller owns the stack and uses it from one
// thread at a time: the thread that made it, or another once that one is done with it.
using MakeSoundStack = SoundStack* (*)(const SoundStackSetup& setup);
inline constexpr const char kMakeSoundStackSymbol[] = "quillbeat_make_sound_stack";
// The module's file name, as the build leaves it beside the program and installs it.
inline constexpr const char kSoundModuleFileName[] = "libquillbeat-sound.so";

} // namespace qb::mci
