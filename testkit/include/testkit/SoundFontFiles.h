#pragma once

#include <QByteArray>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qb::test {

// SoundFont files made from a description, for tests, fuzzing seeds and benchmarks.

struct FontSample
{
    std::string name;
    std::vector<std::int16_t> points;
    std::uint32_t loopStart = 0, loopEnd = 0; // points from the sample's start
    std::uint16_t type = 1;                   // mono; the writer adds the compressed flag for SF3
    // When not -1: the header's start and end as they are (points, or bytes for SF3), whatever the
    // sample's own points are (none, say), to make headers that overlap or point outside the data.
    std::int64_t start = -1, end = -1;
};

// A modulator as the file holds it: sources, destination generator, amount, transform.
struct FontModulator
{
    std::uint16_t source = 0, destination = 0;
    std::int16_t amount = 0;
    std::uint16_t amountSource = 0, transform = 0;
};

struct FontZone
{
    FontZone() = default;
    FontZone(int low, int high, int zoneTarget) : keyLow(low), keyHigh(high), target(zoneTarget) {}

    int keyLow = 0, keyHigh = 127;
    int target = 0;      // instrument (preset zones) or sample (instrument zones); any index, in range or not
    int sampleModes = 1; // instrument zones: 1 loops, 0 plays the sample once
    std::vector<std::pair<std::uint16_t, std::int16_t>> generators; // more, before the target
    std::vector<FontModulator> modulators;
};

struct FontInstrument
{
    std::string name;
    std::vector<FontZone> zones;
};

struct FontPreset
{
    std::string name;
    int bank = 0, program = 0;
    std::vector<FontZone> zones;
};

struct SoundFontRecipe
{
    enum class Kind
    {
        Sf2,       // version 2.01, 16-bit samples
        Sf2With24, // version 2.04 with an "sm24" chunk: each point's low byte is lowByte(sample, point)
        Sf3,       // version 3.01, each sample compressed as Ogg Vorbis
    };
    Kind kind = Kind::Sf2;
    std::vector<FontSample> samples;
    std::vector<FontInstrument> instruments;
    std::vector<FontPreset> presets;
    std::uint16_t versionMajor = 0; // 0: the kind's
};

// The low byte of point `point` of sample `sample` in an Sf2With24 font.
inline std::uint8_t lowByte(std::size_t sample, std::size_t point)
{
    return static_cast<std::uint8_t>(sample * 31 + point * 7 + 1);
}

// A small font whose every sample is a looped square wave of 1000 points, 10 + s points per half
// period for sample s:
//   (0,0) "Piano": keys 48..63 play "piano-low", 64..127 "piano-high" (nothing below 48)
//   (0,1) "Organ": every key plays "organ"
//   (128,0) "Kit": key 36 plays "kick", 38 "snare"
// Instruments 0 piano, 1 organ, 2 kit, for presets added after these.
SoundFontRecipe smallSoundFontRecipe(SoundFontRecipe::Kind kind = SoundFontRecipe::Kind::Sf2);

// The file of `recipe`. SF3 samples are compressed through libsndfile; empty when that fails.
QByteArray soundFontBytes(const SoundFontRecipe& recipe);

// Where the payload of the first chunk (or list, by its type) `tag` starts in `font`; -1 when there is
// none. For tests that damage a font's bytes.
qsizetype chunkPayload(const QByteArray& font, const char* tag);

} // namespace qb::test
