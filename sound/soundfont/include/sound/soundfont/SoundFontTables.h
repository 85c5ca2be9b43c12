#pragma once

#include "sound/soundfont/SoundFontUse.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qb::audio {

// The preset, instrument and sample tables of a SoundFont 2 file (its "pdta" list), and where its
// sample data lie. Reading it costs the tables only, never the samples. Every index in the tables is checked
// when they are read, so whoever walks them through the accessors below stays in bounds. Immutable once read;
// shared between threads.
class SoundFontTables
{
public:
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
    // The generators that decide what a zone plays: its key and velocity ranges, and (as a zone's
    // last generator) the instrument of a preset zone or the sample of an instrument zone.
    static constexpr std::uint16_t kInstrument = 41;
    static constexpr std::uint16_t kKeyRange = 43;
    static constexpr std::uint16_t kVelocityRange = 44;
    static constexpr std::uint16_t kSampleId = 53;

    // Zones [begin, end) of a preset or an instrument, as indices into its bags.
    struct Zones
    {
        std::size_t begin, end;
    };

    // Null, with a reason in `why`, when the file cannot be read or is not a SoundFont 2 file.
    static std::shared_ptr<const SoundFontTables> read(const std::string& path, std::string* why);

    const std::string& path() const { return m_path; }
    // The index of preset (bank, program), the first of them should the font hold two; -1 if none.
    int presetIndex(PresetKey key) const;
    bool hasPreset(int bank, int program) const { return presetIndex({bank, program}) >= 0; }

    // The presets, instruments and samples, without the record that ends each table.
    std::size_t presetCount() const { return m_presets.size() - 1; }
    std::size_t instrumentCount() const { return m_instruments.size() - 1; }
    std::size_t sampleCount() const { return m_samples.size() - 1; }
    const PresetHeader& preset(std::size_t p) const { return m_presets[p]; }
    const Instrument& instrument(std::size_t i) const { return m_instruments[i]; }
    const SampleHeader& sample(std::size_t s) const { return m_samples[s]; }

    Zones presetZones(std::size_t p) const { return {m_presets[p].bag, m_presets[p + 1].bag}; }
    Zones instrumentZones(std::size_t i) const { return {m_instruments[i].bag, m_instruments[i + 1].bag}; }
    // The generators and the modulator records of one zone.
    std::span<const Generator> presetGenerators(std::size_t bag) const;
    std::span<const std::uint8_t> presetModulators(std::size_t bag) const;
    std::span<const Generator> instrumentGenerators(std::size_t bag) const;
    std::span<const std::uint8_t> instrumentModulators(std::size_t bag) const;

    // Where the 16-bit sample points lie in the file ("smpl" data), and how many there are.
    std::uint64_t sampleDataOffset() const { return m_sampleDataOffset; }
    std::uint64_t sampleDataFrames() const { return m_sampleDataFrames; }

private:
    bool indicesInRange() const;

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
    std::uint64_t m_sampleDataOffset = 0;
    std::uint64_t m_sampleDataFrames = 0;
    std::map<PresetKey, int> m_presetIndex;
};

} // namespace qb::audio
