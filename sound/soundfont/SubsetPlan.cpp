#include "sound/soundfont/SubsetPlan.h"

#include "sound/soundfont/SoundFontTables.h"

#include <algorithm>
#include <optional>
#include <span>

namespace qb::audio {

namespace {

using Generators = std::span<const SoundFontTables::Generator>;

// Bits [from, to) of a note set.
NoteSet bitRange(std::size_t from, std::size_t to)
{
    if (to <= from)
        return {};
    return (NoteSet().set() >> (NoteSet().size() - (to - from))) << from;
}

// The notes a zone's key and velocity ranges let through. Built with whole-set shifts, not bit by
// bit: a General MIDI font has thousands of zones.
NoteSet zoneNotes(Generators gens)
{
    std::size_t keyLow = 0, keyHigh = 127, velLow = 0, velHigh = 127;
    for (const SoundFontTables::Generator& g : gens) {
        if (g.oper == SoundFontTables::kKeyRange) {
            keyLow = g.amount & 0x7F;
            keyHigh = (g.amount >> 8) & 0x7F;
        } else if (g.oper == SoundFontTables::kVelocityRange) {
            velLow = g.amount & 0x7F;
            velHigh = (g.amount >> 8) & 0x7F;
        }
    }
    NoteSet velocities = bitRange(velLow, velHigh + 1);
    for (std::size_t shift = 128; shift < velocities.size(); shift *= 2)
        velocities |= velocities << shift;
    return velocities & bitRange(keyLow * 128, (keyHigh + 1) * 128);
}

// What a zone plays: the instrument (`oper` kInstrument) or sample (kSampleId) its last generator
// names. Nothing for a zone without one, such as a global zone.
std::optional<std::size_t> zoneTarget(Generators gens, std::uint16_t oper)
{
    if (gens.empty() || gens.back().oper != oper)
        return std::nullopt;
    return gens.back().amount;
}

// Whether `zones` (in the font's order, as the plan keeps them) holds `zone`.
bool holds(const std::vector<std::size_t>& zones, std::size_t zone)
{
    return std::binary_search(zones.begin(), zones.end(), zone);
}

} // namespace

SubsetPlan::SubsetPlan(const SoundFontTables& tables, const SoundFontUse& use)
    : m_presetKept(tables.presetCount(), false), m_presetZones(tables.presetCount()),
      m_instrumentIndex(tables.instrumentCount(), -1), m_instrumentZones(tables.instrumentCount()),
      m_sampleIndex(tables.sampleCount(), -1)
{
    reachInstrumentZones(tables, reachPresetZones(tables, use));
    std::sort(m_samples.begin(), m_samples.end());
    for (std::size_t n = 0; n < m_samples.size(); ++n)
        m_sampleIndex[m_samples[n]] = static_cast<int>(n);
    std::map<std::size_t, NoteSet> leftOut;
    for (std::size_t p = 0; p < tables.presetCount(); ++p) {
        if (m_presetKept[p]) {
            const SoundFontTables::PresetHeader& h = tables.preset(p);
            m_complete.emplace(PresetKey{h.bank, h.program}, completeNotes(tables, p, leftOut));
        }
    }
}

std::map<std::size_t, NoteSet> SubsetPlan::reachPresetZones(const SoundFontTables& tables,
                                                            const SoundFontUse& use)
{
    std::map<std::size_t, NoteSet> instrumentNotes;
    for (const auto& [key, notes] : use.presets) {
        const int found = tables.presetIndex(key);
        if (found < 0 || notes.none())
            continue;
        const auto p = static_cast<std::size_t>(found);
        m_presetKept[p] = true;
        const SoundFontTables::Zones zones = tables.presetZones(p);
        for (std::size_t z = zones.begin; z < zones.end; ++z) {
            const Generators gens = tables.presetGenerators(z);
            const std::optional<std::size_t> instrument = zoneTarget(gens, SoundFontTables::kInstrument);
            if (!instrument) {
                if (z == zones.begin)
                    m_presetZones[p].push_back(z); // the global zone
                continue;
            }
            if (*instrument >= tables.instrumentCount())
                continue;
            const NoteSet reached = zoneNotes(gens) & notes;
            if (reached.none())
                continue;
            m_presetZones[p].push_back(z);
            instrumentNotes[*instrument] |= reached;
        }
    }
    return instrumentNotes;
}

void SubsetPlan::reachInstrumentZones(const SoundFontTables& tables,
                                      const std::map<std::size_t, NoteSet>& notes)
{
    int kept = 0;
    for (const auto& [i, reached] : notes) { // in the font's order
        m_instrumentIndex[i] = kept++;
        const SoundFontTables::Zones zones = tables.instrumentZones(i);
        for (std::size_t z = zones.begin; z < zones.end; ++z) {
            const Generators gens = tables.instrumentGenerators(z);
            const std::optional<std::size_t> sample = zoneTarget(gens, SoundFontTables::kSampleId);
            if (!sample) {
                if (z == zones.begin)
                    m_instrumentZones[i].push_back(z); // the global zone
                continue;
            }
            if (*sample >= tables.sampleCount() || (zoneNotes(gens) & reached).none())
                continue;
            m_instrumentZones[i].push_back(z);
            if (m_sampleIndex[*sample] < 0) {
                m_sampleIndex[*sample] = 0; // numbered once all are known
                m_samples.push_back(*sample);
            }
        }
    }
}

NoteSet SubsetPlan::leftOutNotes(const SoundFontTables& tables, std::size_t instrument) const
{
    NoteSet notes;
    const SoundFontTables::Zones zones = tables.instrumentZones(instrument);
    for (std::size_t z = zones.begin; z < zones.end; ++z) {
        const Generators gens = tables.instrumentGenerators(z);
        if (zoneTarget(gens, SoundFontTables::kSampleId) && !holds(m_instrumentZones[instrument], z))
            notes |= zoneNotes(gens);
    }
    return notes;
}

NoteSet SubsetPlan::completeNotes(const SoundFontTables& tables, std::size_t preset,
                                  std::map<std::size_t, NoteSet>& leftOut) const
{
    // Every note but those that reach a zone left out.
    NoteSet complete = NoteSet().set();
    const SoundFontTables::Zones zones = tables.presetZones(preset);
    for (std::size_t z = zones.begin; z < zones.end; ++z) {
        const Generators gens = tables.presetGenerators(z);
        const std::optional<std::size_t> instrument = zoneTarget(gens, SoundFontTables::kInstrument);
        if (!instrument || *instrument >= tables.instrumentCount())
            continue;
        const NoteSet zone = zoneNotes(gens);
        if (!holds(m_presetZones[preset], z)) {
            complete &= ~zone;
            continue;
        }
        // What the instrument leaves out, found once for all the zones that name it: a font may have
        // thousands of zones on one instrument.
        auto left = leftOut.find(*instrument);
        if (left == leftOut.end())
            left = leftOut.emplace(*instrument, leftOutNotes(tables, *instrument)).first;
        complete &= ~(zone & left->second);
    }
    return complete;
}

} // namespace qb::audio
