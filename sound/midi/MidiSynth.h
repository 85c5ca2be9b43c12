#pragma once

#include "sound/decode/Decoders.h"
#include "sound/midi/MidiSequence.h"
#include "sound/soundfont/SoundFontUse.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

typedef struct _fluid_hashtable_t fluid_settings_t;
typedef struct _fluid_synth_t fluid_synth_t;
typedef struct _fluid_sfont_t fluid_sfont_t;

namespace qb::audio {

class SoundFontTables;

// One FluidSynth synthesiser with one SoundFont, rendering interleaved stereo at kEngineRate.
//
// FluidSynth does not see the SoundFont file itself as long as the reader of sound/soundfont follows
// it (SoundFont 2, 24-bit samples included, and 3, compressed): it is given subsets of it built in
// memory through a loader of our own. Creating the synthesiser reads the font's tables
// and loads every preset without zones, so every program resolves as with the full font and sounds
// nothing yet. prepare() then loads, for a song about to play, the zones and samples its notes reach,
// all of them: the song's survey follows it as the decoder plays it and FluidSynth chooses presets,
// so rendering never reads the font nor loads anything. Loaded subsets stay, so the next song on the
// same font loads only what is new to it.
//
// A font the reader does not follow is loaded whole by FluidSynth's own loader, with its dynamic
// sample loading: the tables at once, and in prepare() the samples of every preset the song chooses.
// Which of the two a font takes is said once on standard error.
//
// A song's samples load in two stages, so that its first sound does not wait for all of them (with a
// compressed font, FluidSynth decodes every sample it loads): prepare() loads what the notes of the
// song's first seconds reach, and starts loading the rest of the song on a thread of its own, beside
// playback, into a synthesiser kept for loading alone. The renderer takes that stage over with
// takeLoaded() between blocks; loadedUntil() says up to which frame of the song everything is there,
// and a renderer that reaches it first waits for the rest. Either way every note sounds with all its
// samples, as if the song had loaded at once.
//
// Not thread-safe: one thread at a time. prepare() runs where the song is opened (MidiDecoder gives
// it a thread of its own), rendering after it on the engine's feeder thread; the loading thread touches
// nothing of this object but what takeLoaded() takes over.
class MidiSynth
{
public:
    // FluidSynth renders in blocks of this many frames; events sent between two write calls take
    // effect at the start of the next block, counted from the synthesiser's first rendered frame.
    static constexpr int kBlockFrames = 64;
    // The voices that may sound at once (FluidSynth's own default, the fluidsynth program's too). All
    // are made with the synthesiser: FluidSynth sizes the queues between its voices and its mixer by
    // the voices it is made with, and voices added later would overflow them.
    static constexpr int kVoices = 256;

    // Loads `soundFontPath`. Returns null, with a reason in `why` and its kind in `problem`, when the
    // file is missing, cannot be read, is not a SoundFont or is one that FluidSynth refuses too.
    static std::unique_ptr<MidiSynth> create(const std::string& soundFontPath, std::string* why,
                                             SoundFontProblem* problem = nullptr);
    ~MidiSynth();
    MidiSynth(const MidiSynth&) = delete;
    MidiSynth& operator=(const MidiSynth&) = delete;

    fluid_synth_t* synth() const { return m_synth; }
    const std::string& soundFontPath() const { return m_soundFontPath; }
    // Device, inode, size and modification time of the SoundFont file when it was loaded.
    const std::string& soundFontIdentity() const { return m_soundFontIdentity; }
    // The same for the file at `path` now; empty when it cannot be read.
    static std::string fileIdentity(const std::string& path);

    // Whether FluidSynth loaded the font whole, rather than subsets of it.
    bool loadedWhole() const { return !m_tables; }
    // How many fonts FluidSynth holds now, the one of every preset without zones included.
    int fontsHeld() const;

    // Loads what `sequence` sounds and the synthesiser does not have yet. False (with a reason) when
    // the samples cannot be read; the synthesiser then plays on with what it has, and the notes
    // whose samples are missing stay silent.
    bool prepare(const MidiSequence& sequence, std::string* why);
    // The first frame of the song prepared last whose notes may reach samples that are still loading;
    // the largest frame when everything is loaded.
    std::int64_t loadedUntil() const { return m_loadedUntil; }
    // Takes over the rest of the song's samples once they are loaded (with `wait`, waits for them), and
    // moves every channel to the presets that hold them, as a program change would choose them now,
    // the channel's bank selects kept. Call between render() calls. Returns false when nothing was
    // loading or it is not done yet (and `wait` is false).
    bool takeLoaded(bool wait);

    // Writes `frames` interleaved stereo frames to `out` (overwrites, effects mixed in).
    void render(float* out, int frames);
    // Frames rendered since the synthesiser was made; block starts are the multiples of kBlockFrames.
    std::int64_t renderedFrames() const { return m_renderedFrames; }

    // The value a freshly made synthesiser gives controller `cc` (reverb and chorus sends, volume...).
    int defaultController(int cc) const { return m_defaultControllers[cc & 0x7F]; }

private:
    MidiSynth() = default;
    // Loads `use` as one more font on top of the others and records what it holds.
    bool loadSubset(const SoundFontUse& use, bool allHeaders, std::string* why);

    // Loads the font file through FluidSynth's own loader.
    bool loadWhole(std::string* why);
    // What of `use` the synthesiser does not have yet.
    SoundFontUse missingFrom(const SoundFontUse& use) const;
    void noteLoaded(int fontId, const std::vector<PresetKey>& presets,
                    const std::map<PresetKey, NoteSet>& complete, const SoundFontUse& use);

    // What one stage of a song's loading adds: the notes that start before `until` (a frame of the
    // song), in two halves of about equal sample data, each loaded by a loading synthesiser of its
    // own (so both cores decode).
    struct Stage
    {
        std::int64_t until = 0;
        SoundFontUse halves[2];
        // Filled as it loads: the fonts, held by nobody until taken over.
        fluid_sfont_t* fonts[2] = {nullptr, nullptr};
        std::vector<PresetKey> presets[2];
        std::map<PresetKey, NoteSet> complete;
        std::string error;
    };
    // A loading synthesiser: new_fluid_synth() once, then one subset at a time.
    struct Loader
    {
        fluid_settings_t* settings = nullptr;
        fluid_synth_t* synth = nullptr;
        // Frees the synthesiser; the fonts it loaded and gave away stay with their new owner.
        void reset();
        ~Loader() { reset(); }
    };
    // The song's stages, in the order they play; the loading thread fills them, the renderer takes
    // them over.
    struct Pipeline
    {
        std::mutex mutex;
        std::condition_variable loaded;
        std::vector<Stage> stages;
        std::size_t done = 0;  // stages loaded (under mutex)
        std::size_t taken = 0; // stages taken over (the renderer's)
        std::thread thread;
    };
    // On a loading thread: loads `use` with `loader` and takes the font back out of it.
    static fluid_sfont_t* loadApart(const SoundFontTables& tables, const SoundFontUse& use, Loader& loader,
                                    std::vector<PresetKey>& presets, std::map<PresetKey, NoteSet>& complete,
                                    std::string& error);
    static void loadStages(std::shared_ptr<const SoundFontTables> tables, Pipeline* pipeline,
                           Loader* loaders);
    // Runs `change` (a font added or taken away), every channel then moved to the preset a program
    // change would choose for the preset it plays, its bank selects kept.
    void keepingChannels(const std::function<void()>& change);
    // Adds a font loaded apart on top of the others.
    int takeOver(fluid_sfont_t* font);
    // Unloads the fonts whose every preset a newer font holds.
    void dropShadowed();
    void joinLoading();

    std::shared_ptr<const SoundFontTables> m_tables; // null: loaded whole
    // For each preset loaded with zones, the notes it sounds in the newest subset that holds it, which
    // is the one a program change finds.
    std::map<PresetKey, NoteSet> m_presets;
    // How far that subset plays each of them (its samples cut to it); absent: whole.
    std::map<PresetKey, PresetReach> m_presetReach;
    int m_baseFontId = -1;                               // every preset, without zones; or the whole font
    std::vector<int> m_loaded;                           // font ids, oldest first
    std::map<int, std::vector<PresetKey>> m_fontPresets; // the presets with zones each font holds
    std::set<PresetKey> m_pinnedWhole; // presets of a font loaded whole whose samples are loaded

    fluid_settings_t* m_settings = nullptr;
    fluid_synth_t* m_synth = nullptr;
    std::string m_soundFontPath;
    std::string m_soundFontIdentity;
    std::int64_t m_renderedFrames = 0;
    int m_defaultControllers[128] = {};

    std::unique_ptr<Pipeline> m_pipeline; // the song prepared last, while it loads
    Loader m_loaders[2];                  // the loading thread's, while it runs
    std::int64_t m_loadedUntil = std::numeric_limits<std::int64_t>::max();
};

} // namespace qb::audio
