#pragma once

#include "sound/MciApi.h"
#include "sound/SoundStack.h"
#include "sound/decode/Decoders.h"
#include "sound/mci/MciCommand.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace qb::audio {
class AudioEngine;
class Device;
class MidiSynthCache;
} // namespace qb::audio

namespace qb::platform {
class MessageBoxPresenter;
class WorkBeside;
} // namespace qb::platform

namespace qb::mci {

struct SoundFontFailureReport;

// One file to open, as the service hands it to the thread that opens it: everything the open uses,
// owned, since an open given up runs on by itself.
struct FileOpening
{
    std::string path;
    bool midiAllowed = true;   // "type" named no device, or the sequencer
    bool othersAllowed = true; // "type" named no device, or waveaudio or mpegvideo
    std::string soundFont;     // the sequencer's SoundFont, should the file be MIDI
    std::shared_ptr<audio::MidiSynthCache> synthCache;
    bool loopPoints = false; // it plays the loop points it marks
    int track = 0;           // of a file that holds several; 0 is the first
};

class LoopSearch;

struct MciServiceOptions
{
    // The General MIDI SoundFont of the sequencer device; empty: the distribution's default.
    std::string soundFontPath;
    // Where the sequencer device borrows its synthesisers; null: the service keeps its own.
    std::shared_ptr<audio::MidiSynthCache> synthCache;
    // Asked at every open of a MIDI file for the SoundFont to load (the user's setting); an empty
    // answer, or no function, means soundFontPath. Called on the thread that sends the command.
    std::function<std::string()> soundFontChoice;
    // Told when a MIDI file was refused because its SoundFont could not be loaded (the open still
    // fails with MCIERR_CANNOT_LOAD_DRIVER): the SoundFont's path, the kind of problem (a
    // SoundFontProblem, as a number: see SoundStackSetup) and the reason. Called after the command has
    // finished and the service's lock is released, so it may show a modal window.
    std::function<void(const std::string& soundFontPath, int problem, const std::string& why)>
        soundFontFailed;
    // Told, in the same way, when a valid file was refused as too large for this machine (the open
    // fails with MCIERR_OUT_OF_MEMORY): see SoundStackSetup::fileTooLarge.
    std::function<void(const std::string& file, int limitKind, std::uint64_t amount, std::uint64_t limit)>
        fileTooLarge;
    // How long an open may take: a file (with its SoundFont) is opened on a thread of its own, and one
    // that takes longer is refused with MCIERR_INVALID_FILE, as a file that cannot be opened is.
    std::chrono::milliseconds openLimit = std::chrono::seconds(5);
    // Opens a file, on a thread of its own (see FileOpening); null: the player's decoders. Tests lend a
    // double here.
    using Opener = std::function<audio::OpenResult(const FileOpening&)>;
    Opener opener;
    // Asked at every open: true when a file that marks its own loop points (a WAVE sampler chunk, MIDI
    // loop markers or control change 111) plays them: its introduction once, then its loop for ever
    // in one endless pass. No function, or false: every file loops whole. On the sending thread.
    std::function<bool()> loopPointsWanted;
    // Asked at every open, with the file's path as the command names it: the track to play of a file
    // that holds several (game-music files), 0 the first. No function: the first. On the sending thread.
    std::function<int(const std::string& path)> trackWanted;
    // Asked at every open: true when a file whose own loop does not play (it marks none, or loop points
    // are off) has the loop it repeats looked for while it plays (see LoopSearch.h), and plays it once
    // found. No function, or false: it loops whole. On the sending thread.
    std::function<bool()> findLoopWanted;
    // Where found loops are kept between plays; empty: the user's cache folder
    // ($XDG_CACHE_HOME/quillbeat/loops).
    std::string loopCacheFolder;

    // The SoundFont an open of a MIDI file loads now: soundFontChoice's answer, else soundFontPath, else
    // the distribution's default.
    std::string soundFont() const;
};

// A synthesiser cache for a service with `options`, already making the synthesiser that opening
// `firstFile` will borrow when it is a MIDI file (empty: none known), beside what the caller does
// next (a start with a file starts its sound output meanwhile).
std::shared_ptr<audio::MidiSynthCache> synthCacheAhead(const MciServiceOptions& options,
                                                       const std::string& firstFile);

// The MCI command-string service over the audio engine: open, play, stop, pause, resume, seek,
// status and close on devices named by their element (the file path) or by an alias.
//
// Devices: the file's content chooses its decoder, whatever its name (audio::openDecoder): a Standard
// MIDI File plays on the sequencer (FluidSynth), everything else on the sampled-sound device. "type
// sequencer" opens MIDI files only, "type waveaudio" or "type mpegvideo" everything else. A file that
// does not open is reported on standard error with its path and the reason. Device names and aliases
// compare without regard to ASCII case.
//
// Replies: "status ... mode" is "playing", "paused" or "stopped" ("stopped" after open, after stop and
// once the end of the file has been queued for output); "length" and "position" are whole
// milliseconds, held at 4294967295 (the largest 32-bit number, as MCI's status values are) when a file
// lasts longer; "ready" is "true"; "volume" is the volume from 0 (silent) to 1000 (full, after open).
// "info ... file" is the file's path; "info ... title" the title the file gives what it holds (a
// tracker module's name, a tune's title tag; UTF-8), or the empty text; "info ... loop" the loop that
// plays, as "START END RATE SOURCE": frames of the file's own at its own rate, SOURCE "marks" (its
// own loop points), "found" (the loop it repeats, found while it plays) or "whole" (0 to its length).
// With "wait", an answer waits for a search under way to end. Commands without a reply
// leave the empty text in the reply buffer.
//
// "setaudio <device> volume to N" sets the volume, 0 to 1000 (more is MCIERR_OUTOFRANGE). Every device
// plays through the engine's one stream, so the volume is theirs together: it stays as set for the
// devices opened after.
//
// "play ... wait" returns once the device is no longer playing (its last frame has been queued for
// output), pumping the engine meanwhile so that a file shorter than the engine's queue ends even without
// a feeder thread; if the output stops taking frames for a second, as a manually clocked output does,
// it returns with the device still playing rather than wait for ever.
// "notify" is accepted; no notification is sent to the callback window.
//
// "open" reads the file on a thread of its own, at most Options::openLimit; meanwhile the caller waits,
// and on the application's main thread its event loop keeps running without user input (see
// system/WorkBeside.h), so the window stays alive while a large or damaged file opens. An open that
// takes longer, or that is under way when the application is told to quit, is given up: its reads fail
// from then on, so it ends at its next read, on its own thread. Opens run one at a time: the next open
// first waits, within its own limit, for one given up before to end, and is refused if it has not. The
// service's destructor waits for such an open a moment, and leaves it to end by itself after that.
//
// Threading: meant for one thread (the UI thread); the device tables are guarded by a mutex all the
// same, and no lock is held while an open waits. The engine and the presenter must outlive the
// service; its destructor closes every device.
class MciService : public MciApi
{
public:
    using Options = MciServiceOptions;

    MciService(audio::AudioEngine& engine, platform::MessageBoxPresenter& errorBox);
    MciService(audio::AudioEngine& engine, platform::MessageBoxPresenter& errorBox, Options options);
    ~MciService() override;
    MciService(const MciService&) = delete;
    MciService& operator=(const MciService&) = delete;

    MCIERROR mciSendStringA(const char* command, char* returnString, unsigned returnLength,
                            void* callbackWindow) override;
    // On failure shows mciErrorText(code) with the caption "MCI" through the presenter, once.
    bool mciExecute(const char* command) override;

private:
    struct OpenDevice
    {
        std::string name;    // alias, or the element when opened without one
        std::string element; // the file path
        std::string title;   // what the file calls what it holds (UTF-8), or empty
        std::shared_ptr<audio::Device> device;
        int fileRate = audio::kEngineRate;
        std::int64_t fileLength = -1;         // in the file's own frames; -1 unknown
        std::optional<audio::LoopSpan> marks; // its own loop, when it plays (file frames)
        std::shared_ptr<LoopSearch> search;   // looking for its loop, or done
    };

    MCIERROR execute(const ParsedCommand& cmd, std::string& reply);
    MCIERROR open(const ParsedCommand& cmd);
    MCIERROR close(const ParsedCommand& cmd);
    MCIERROR play(const ParsedCommand& cmd);
    MCIERROR control(const ParsedCommand& cmd);
    MCIERROR seek(const ParsedCommand& cmd);
    MCIERROR status(const ParsedCommand& cmd, std::string& reply);
    MCIERROR setAudio(const ParsedCommand& cmd);
    MCIERROR info(const ParsedCommand& cmd, std::string& reply);
    void waitWhilePlaying(const std::shared_ptr<audio::Device>& device);
    // Runs the opener on `file` beside the caller, within the open limit; nothing when it was given up
    // (the reason is on standard error).
    std::optional<audio::OpenResult> openBeside(FileOpening file);

    // The device called `name`, or null. Callers hold m_mutex.
    std::shared_ptr<audio::Device> find(const std::string& name) const;
    // The one device `cmd` names ("all" is refused), or the error for it. m_mutex held.
    MCIERROR findOne(const ParsedCommand& cmd, std::shared_ptr<audio::Device>& device) const;

    audio::AudioEngine& m_engine;
    platform::MessageBoxPresenter& m_errorBox;
    Options m_options;
    mutable std::mutex m_mutex;
    // Keyed by the ASCII-lower-cased name.
    std::map<std::string, OpenDevice> m_devices;
    // A SoundFont that failed during the current command, reported once it is done.
    struct SoundFontFailure
    {
        std::string path;
        SoundFontProblem problem;
        std::string why;
    };
    std::optional<SoundFontFailure> m_soundFontFailure;
    std::string m_loopCacheFolder;
    // The last open that was given up, until the next open finds it ended.
    std::unique_ptr<platform::WorkBeside> m_givenUp;
    struct TooLargeFile
    {
        std::string path;
        FileLimitKind kind;
        std::uint64_t amount, limit;
    };
    std::optional<TooLargeFile> m_tooLargeFile;
    friend struct SoundFontFailureReport;
};

} // namespace qb::mci
