#pragma once

#include <cstdint>
#include <memory>
#include <string>

typedef struct _fluid_hashtable_t fluid_settings_t;
typedef struct _fluid_synth_t fluid_synth_t;

namespace qb::audio {

// One FluidSynth synthesiser with one SoundFont loaded, rendering interleaved stereo at kEngineRate.
// Samples are loaded on demand (when a preset is first selected), so loading the SoundFont reads
// only its preset headers. Not thread-safe: one thread at a time, handed over under a mutex.
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
    int soundFontId() const { return m_soundFontId; }
    const std::string& soundFontPath() const { return m_soundFontPath; }
    // Device, inode, size and modification time of the SoundFont file when it was loaded.
    const std::string& soundFontIdentity() const { return m_soundFontIdentity; }
    // The same for the file at `path` now; empty when it cannot be read.
    static std::string fileIdentity(const std::string& path);

    // Writes `frames` interleaved stereo frames to `out` (overwrites, effects mixed in).
    void render(float* out, int frames);
    // Frames rendered since the synthesiser was made; block starts are the multiples of kBlockFrames.
    std::int64_t renderedFrames() const { return m_renderedFrames; }

    // The value a freshly made synthesiser gives controller `cc` (reverb and chorus sends, volume...).
    int defaultController(int cc) const { return m_defaultControllers[cc & 0x7F]; }

private:
    MidiSynth() = default;

    fluid_settings_t* m_settings = nullptr;
    fluid_synth_t* m_synth = nullptr;
    int m_soundFontId = -1;
    std::string m_soundFontPath;
    std::string m_soundFontIdentity;
    std::int64_t m_renderedFrames = 0;
    int m_defaultControllers[128] = {};
};

} // namespace qb::audio
