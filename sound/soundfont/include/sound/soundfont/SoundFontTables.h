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

// Why a font could not be read, from the reader's point of view: the file is not there or cannot be
// read, it is not a SoundFont at all, its sizes do not add up (it would cost time or memory beyond
// what the file holds, so nothing else should read it either), or it is a SoundFont whose contents the
// reader does not follow (FluidSynth's own loader may still play it).
enum class SoundFontFault
{
    None,
    Unreadable,
    NotSoundFont,
    Damaged,
    NotUnderstood,
};

// The preset, instrument and sample tables of a SoundFont file, version 2 (16-bit samples, and 24-bit
// ones through an "sm24" chunk) or 3 (samples compressed as Ogg Vorbis), and where its sample data lie.
// Reading it costs the tables only, never the samples, and is bounded: no chunk is trusted past the
// file's end, a table is never larger than its indices can address, and walks over a chunk list stop
// at the first chunk that is not one. Every index in the tables is checked when they are read, so
// whoever walks them through the accessors below stays in bounds. Immutable once read; shared between
// threads.
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
        // Ogg Vorbis data: start and end count bytes of the sample data, loop points frames from the
        // sample's own start.
        bool compressed() const { return (type & kCompressedSample) != 0; }
    };
    // The sample types a SoundFont defines: mono, right, left, linked, compressed (version 3) and ROM.
    static constexpr std::uint16_t kCompressedSample = 0x10;
    static constexpr std::uint16_t kKnownSampleTypes = 0x1 | 0x2 | 0x4 | 0x8 | kCompressedSample | 0x8000;
    struct Version
    {
        std::uint16_t major = 2, minor = 1;
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

    // The most records a table may hold: its indices are 16 bits, and its terminal record follows.
    static constexpr std::size_t kMaxRecords = 65536 + 1;

    // Null, with a reason in `why` and its kind in `fault`, when the file cannot be read, is not a
    // SoundFont or holds what the reader does not follow.
    static std::shared_ptr<const SoundFontTables> read(const std::string& path, std::string* why,
                                                       SoundFontFault* fault = nullptr);

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

    // Where the sample data lie in the file ("smpl": 16-bit points, or compressed samples), and their
    // size.
    std::uint64_t sampleDataOffset() const { return m_sampleDataOffset; }
    std::uint64_t sampleDataBytes() const { return m_sampleDataBytes; }
    std::uint64_t sampleDataFrames() const { return m_sampleDataBytes / 2; }
    // Where the low bytes of 24-bit samples lie ("sm24", one byte per point); size 0 when the font has
    // none that a synthesiser would use.
    std::uint64_t sample24Offset() const { return m_sample24Offset; }
    std::uint64_t sample24Bytes() const { return m_sample24Bytes; }
    // The version in the font's "ifil" chunk: 3 for a font of compressed samples.
    Version version() const { return m_version; }
    bool hasCompressedSamples() const { return m_compressed; }

private:
    bool indicesInRange() const;
    // Whether a zone of a preset reaches, through its instrument, a sample beyond the sample table.
    bool reachesMissingSample() const;

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
    std::uint64_t m_sampleDataBytes = 0;
    std::uint64_t m_sample24Offset = 0;
    std::uint64_t m_sample24Bytes = 0;
    Version m_version;
    bool m_compressed = false;
    std::map<PresetKey, int> m_presetIndex;
};

} // namespace qb::audio
