#pragma once

#include "sound/midi/MidiSequence.h"
#include "sound/midi/SoundFontSubset.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

typedef struct _fluid_hashtable_t fluid_settings_t;
typedef struct _fluid_synth_t fluid_synth_t;

namespace qb::audio {

// One FluidSynth synthesiser with one SoundFont, rendering interleaved stereo at kEngineRate.
//
// FluidSynth never sees the SoundFont file itself: it is given subsets of it built in memory (see
// SoundFontSubset.h) through a loader of our own. Creating the synthesiser reads the font's tables
// and loads every preset without zones, so every program resolves as with the full font and sounds
// nothing yet. prepare() then loads, for a song about to play, the zones and samples its notes reach;
// a note that finds its preset without what it needs (a program the song reached in a way prepare()
// did not foresee) loads the whole preset at once, in the calling thread, before it sounds. Loaded
// subsets stay, so the next song on the same font loads only what is new to it.
//
// Not thread-safe: one thread at a time (the engine's feeder thread, never the audio callback),
// handed over under a mutex.
class MidiSynth
{
public:
    // FluidSynth renders in blocks of this many frames; events sent between two write calls take
    // effect at the start of the next block, counted from the synthesiser's first rendered frame.
    static constexpr int kBlockFrames = 64;

    // Loads `soundFontPath`. Returns null, with a reason in `why`, when the file cannot be read or is
    // not a SoundFont.
    static std::unique_ptr<MidiSynth> create(const std::string& soundFontPath, std::string* why);
    ~MidiSynth();
    MidiSynth(const MidiSynth&) = delete;
    MidiSynth& operator=(const MidiSynth&) = delete;

    fluid_synth_t* synth() const { return m_synth; }
    const std::string& soundFontPath() const { return m_soundFontPath; }
    // Device, inode, size and modification time of the SoundFont file when it was loaded.
    const std::string& soundFontIdentity() const { return m_soundFontIdentity; }
    // The same for the file at `path` now; empty when it cannot be read.
    static std::string fileIdentity(const std::string& path);

    // Loads what `sequence` sounds and the synthesiser does not have yet. False (with a reason) when
    // the samples cannot be read; the synthesiser then plays on with what it has.
    bool prepare(const MidiSequence& sequence, std::string* why);
    // The preset now selected on `channel` changed (program change, bank or drum switch, reset).
    void presetSelected(int channel);
    // Makes sure the note can sound on `channel`'s preset, loading its preset whole if not. Call
    // before sending the note on.
    void ensureNote(int channel, int key, int velocity)
    {
        const ChannelPreset& c = m_channels[channel & 15];
        if (c.active &&
            (!c.notes || !c.notes->test(static_cast<std::size_t>((key & 0x7F) * 128 + (velocity & 0x7F)))))
            loadMissingNote(channel & 15, key & 0x7F, velocity & 0x7F);
    }
    // What the loaded subsets hold, oldest first.
    std::vector<SoundFontSubsetContents> loadedSubsets() const;

    // Writes `frames` interleaved stereo frames to `out` (overwrites, effects mixed in).
    void render(float* out, int frames);
    // Frames rendered since the synthesiser was made; block starts are the multiples of kBlockFrames.
    std::int64_t renderedFrames() const { return m_renderedFrames; }

    // The value a freshly made synthesiser gives controller `cc` (reverb and chorus sends, volume...).
    int defaultController(int cc) const { return m_defaultControllers[cc & 0x7F]; }

private:
    MidiSynth() = default;
    struct LoadedPreset
    {
        int soundFontId = -1; // the newest font holding it with zones, which a program change selects
        NoteSet notes;        // the notes it can sound there
    };
    struct ChannelPreset
    {
        bool active = false; // a preset is selected
        PresetKey key{-1, -1};
        const NoteSet* notes = nullptr; // what it can sound; null: nothing (a preset without zones)
    };
    // Loads `use` as one more font on top of the others and records what it holds.
    bool loadSubset(const SoundFontUse& use, bool allHeaders, std::string* why);
    void loadMissingNote(int channel, int key, int velocity);

    std::shared_ptr<const SoundFontTables> m_tables;
    std::map<PresetKey, LoadedPreset> m_presets;                   // node-based: channels point into it
    int m_baseFontId = -1;                                         // every preset, without zones
    std::vector<std::pair<int, SoundFontSubsetContents>> m_loaded; // font id, contents; oldest first
    ChannelPreset m_channels[16];

    fluid_settings_t* m_settings = nullptr;
    fluid_synth_t* m_synth = nullptr;
    std::string m_soundFontPath;
    std::string m_soundFontIdentity;
    std::int64_t m_renderedFrames = 0;
    int m_defaultControllers[128] = {};
};

} // namespace qb::audio
