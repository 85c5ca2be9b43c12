#pragma once

#include "sound/soundfont/SoundFontUse.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <vector>

namespace qb::audio {

class SoundFontTables;

// What a subset of a font keeps for what a song sounds (`use`): the zones of the song's presets that
// its notes reach, the instruments those zones name and, of those, the zones the same notes reach,
// and the samples those play. Each preset and instrument keeps its global zone. Indices are the
// font's. Immutable once made.
class SubsetPlan
{
public:
    SubsetPlan(const SoundFontTables& tables, const SoundFontUse& use);

    // Whether preset `p` is kept with zones (it is in `use` with a note); it may still reach none.
    bool keepsPreset(std::size_t p) const { return m_presetKept[p]; }
    // The zones of preset `p` kept, in the font's order.
    const std::vector<std::size_t>& presetZones(std::size_t p) const { return m_presetZones[p]; }
    // Instrument `i`'s index in the subset, -1 when it is left out; its kept zones.
    int instrumentIndex(std::size_t i) const { return m_instrumentIndex[i]; }
    const std::vector<std::size_t>& instrumentZones(std::size_t i) const { return m_instrumentZones[i]; }
    // Sample `s`'s index in the subset, -1 when it is left out; the samples kept, in the font's order.
    int sampleIndex(std::size_t s) const { return m_sampleIndex[s]; }
    const std::vector<std::size_t>& samples() const { return m_samples; }
    // How many frames from its start of kept sample `s` the song's notes can play (use.reach): all
    // of them (kWholeSample) when a note can reach the sample's loop, or when something that moves a
    // voice's pitch, length or start is beyond what the plan follows (a modulator on those, a loop
    // moved by the zone).
    static constexpr std::uint64_t kWholeSample = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t playedFrames(std::size_t s) const;

    // For each preset kept, the notes it sounds in the subset as in the full font: those that reach
    // only zones the subset holds (or none at all).
    const std::map<PresetKey, NoteSet>& complete() const { return m_complete; }

private:
    // Marks the preset zones the notes reach; returns, for each instrument they name, those notes.
    std::map<std::size_t, NoteSet> reachPresetZones(const SoundFontTables& tables, const SoundFontUse& use);
    void reachInstrumentZones(const SoundFontTables& tables, const std::map<std::size_t, NoteSet>& notes);
    // The notes of a kept preset that reach only zones the plan keeps; `leftOut` holds, by instrument,
    // the notes that reach one of its zones the plan leaves out, filled as instruments come up.
    NoteSet completeNotes(const SoundFontTables& tables, std::size_t preset,
                          std::map<std::size_t, NoteSet>& leftOut) const;
    NoteSet leftOutNotes(const SoundFontTables& tables, std::size_t instrument) const;
    // Fills m_playedFrames from the kept zones and what `use` says of each preset's reach.
    void boundSamples(const SoundFontTables& tables, const SoundFontUse& use);

    std::vector<bool> m_presetKept;
    std::vector<std::vector<std::size_t>> m_presetZones;
    std::vector<int> m_instrumentIndex;
    std::vector<std::vector<std::size_t>> m_instrumentZones;
    std::vector<int> m_sampleIndex;
    std::vector<std::size_t> m_samples;
    std::map<PresetKey, NoteSet> m_complete;
    std::map<std::size_t, std::uint64_t> m_playedFrames; // by font sample; absent: whole
};

} // namespace qb::audio
