#pragma once

#include "sound/decode/Decoders.h"
#include "sound/midi/MidiSequence.h"
#include "sound/soundfont/SoundFontUse.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

typedef struct _fluid_hashtable_t fluid_settings_t;
typedef struct _fluid_synth_t fluid_synth_t;

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
// Not thread-safe: one thread at a time. prepare() runs where the song is opened (MidiDecoder gives
// it a thread of its own), rendering after it on the engine's feeder thread.
class MidiSynth
{
public:
    // FluidSynth renders in blocks of this many frames; events sent between two write calls take
    // effect at the start of the next block, counted from the synthesiser's first rendered frame.
    static constexpr int kBlockFrames = 64;

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

    // Loads what `sequence` sounds and the synthesiser does not have yet. False (with a reason) when
    // the samples cannot be read; the synthesiser then plays on with what it has, and the notes
    // whose samples are missing stay silent.
    bool prepare(const MidiSequence& sequence, std::string* why);

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

    std::shared_ptr<const SoundFontTables> m_tables; // null: loaded whole
    // For each preset loaded with zones, the notes it sounds in the newest subset that holds it, which
    // is the one a program change finds.
    std::map<PresetKey, NoteSet> m_presets;
    int m_baseFontId = -1;             // every preset, without zones; or the whole font
    std::vector<int> m_loaded;         // font ids, oldest first
    std::set<PresetKey> m_pinnedWhole; // presets of a font loaded whole whose samples are loaded

    fluid_settings_t* m_settings = nullptr;
    fluid_synth_t* m_synth = nullptr;
    std::string m_soundFontPath;
    std::string m_soundFontIdentity;
    std::int64_t m_renderedFrames = 0;
    int m_defaultControllers[128] = {};
};

} // namespace qb::audio
