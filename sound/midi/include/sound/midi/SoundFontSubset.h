#pragma once

#include "posix/UniqueFd.h"
#include "sound/midi/MidiSequence.h"

#include <bitset>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qb::audio {

// The notes a song can sound on each preset: bit key * 128 + velocity of a preset's set.
using NoteSet = std::bitset<128 * 128>;
using PresetKey = std::pair<int, int>; // bank, program

// The preset, instrument and sample tables of a SoundFont 2 file (its "pdta" list), and where its
// sample data lie. Reading it costs the tables only (a few hundred kilobytes for a General MIDI
// font), never the samples. Immutable once read; shared between threads.
class SoundFontTables
{
public:
    // Null, with a reason in `why`, when the file cannot be read or is not a SoundFont 2 file.
    static std::shared_ptr<const SoundFontTables> read(const std::string& path, std::string* why);

    const std::string& path() const { return m_path; }
    bool hasPreset(int bank, int program) const { return m_presetIndex.count({bank, program}) != 0; }
    // The preset a channel gets for `bank` and `program` when a program is chosen, with the
    // synthesiser's fallbacks for a preset the font lacks (drums: kit 0; others: bank 0, then
    // program 0 of bank 0). Nothing (bank -1) when even those are missing.
    PresetKey resolve(int bank, int program, bool drums) const;

    struct PresetHeader
    {
        char name[20];
        std::uint16_t program, bank, bag;
        std::uint32_t library, genre, morphology;
    };
    struct Bag
    {
        std::uint16_t gen, mod;
    };
    struct Generator
    {
        std::uint16_t oper, amount;
    };
    struct Instrument
    {
        char name[20];
        std::uint16_t bag;
    };
    struct SampleHeader
    {
        char name[20];
        std::uint32_t start, end, loopStart, loopEnd, rate;
        std::uint8_t pitch;
        std::int8_t correction;
        std::uint16_t link, type;
    };
    static constexpr int kModulatorBytes = 10;

private:
    friend class SoundFontSubsetBuilder;
    std::string m_path;
    std::vector<PresetHeader> m_presets; // each followed by its terminal record, as in the file
    std::vector<Bag> m_presetBags;
    std::vector<std::uint8_t> m_presetMods;
    std::vector<Generator> m_presetGens;
    std::vector<Instrument> m_instruments;
    std::vector<Bag> m_instrumentBags;
    std::vector<std::uint8_t> m_instrumentMods;
    std::vector<Generator> m_instrumentGens;
    std::vector<SampleHeader> m_samples;
    std::uint64_t m_sampleDataOffset = 0; // of the "smpl" chunk's data in the file
    std::uint64_t m_sampleDataFrames = 0; // 16-bit sample points in it
    std::map<PresetKey, int> m_presetIndex;
};

// What a song sounds: for each preset it selects, the notes played on it. The drum kit counts only
// the keys the song strikes.
struct SoundFontUse
{
    std::map<PresetKey, NoteSet> presets;
};

// Follows the song's bank selects, program changes, drum channel and system resets as the player
// sends them, and collects the notes each preset of `tables` plays.
SoundFontUse collectSoundFontUse(const MidiSequence& sequence, const SoundFontTables& tables);

// What a subset holds, as the loader built it.
struct SoundFontSubsetContents
{
    std::vector<PresetKey> presets;     // presets with their zones, in the font's order
    std::vector<PresetKey> headersOnly; // presets present without zones (they sound nothing)
    std::vector<std::string> samples;   // the names of the samples whose data it carries
    std::uint64_t sampleDataBytes = 0;
};

// A SoundFont 2 file, built in memory (its sample data read from the font file only as it is read),
// holding only the zones of the presets in `use` that the notes
// in `use` can reach, the instruments and zones those reach, and the samples they play (read from
// the file). With `allHeaders` every other preset of the font is present too, without zones, so that
// a synthesiser finds every preset the full font has (and makes no fallback of its own). Empty (size
// 0, and a reason in `why`) when the font file cannot be opened. Keeps the font file open while it
// lives. One thread at a time.
class SoundFontSubset
{
public:
    SoundFontSubset() = default;
    SoundFontSubset(SoundFontSubset&& other) noexcept;
    SoundFontSubset& operator=(SoundFontSubset&&) = delete;
    ~SoundFontSubset();

    // The size of the whole file in bytes.
    std::uint64_t size() const;
    // Bytes [offset, offset + bytes) of the file; false when out of range or the font cannot be read.
    bool read(std::uint64_t offset, char* out, std::size_t bytes) const;

    SoundFontSubsetContents contents;
    // For each preset with zones, the notes it sounds as in the full font: those that reach only
    // zones the subset holds (or none at all).
    std::map<PresetKey, NoteSet> complete;

private:
    friend class SoundFontSubsetBuilder;
    struct Extent
    {
        std::uint64_t at;   // in the subset's sample data
        std::uint64_t from; // in the font file
        std::uint64_t bytes;
    };
    std::vector<char> m_head; // up to the sample data
    std::vector<char> m_tail; // after it: the tables
    std::vector<Extent> m_extents;
    std::uint64_t m_sampleBytes = 0;
    posix::UniqueFd m_fd;
};
SoundFontSubset buildSoundFontSubset(const SoundFontTables& tables, const SoundFontUse& use, bool allHeaders,
                                     std::string* why);

// How many subsets have been built in this process (for tests of reuse).
int soundFontSubsetsBuilt();

} // namespace qb::audio
