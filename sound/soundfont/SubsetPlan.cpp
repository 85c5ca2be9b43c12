#include "sound/soundfont/SubsetPlan.h"

#include "sound/soundfont/SoundFontTables.h"

#include <algorithm>
#include <cmath>
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

// The generators a voice plays with, as a synthesiser sets them: a zone's own value, else its global
// zone's; the preset's values add to the instrument's.
struct ZoneValues
{
    Generators local, global;

    std::optional<int> find(std::uint16_t oper) const
    {
        for (Generators gens : {local, global})
            for (const SoundFontTables::Generator& g : gens)
                if (g.oper == oper)
                    return static_cast<std::int16_t>(g.amount);
        return std::nullopt;
    }
    int value(std::uint16_t oper, int otherwise) const { return find(oper).value_or(otherwise); }
};

// Generators, by number, that decide where in its sample a voice plays: the start and loop offsets,
// the pitch (the modulation LFO, vibrato and envelope to pitch, coarse and fine tune, scale tuning,
// the key and the root key, and FluidSynth's own pitch, which the pitch wheel moves) and the release
// of the volume envelope.
constexpr std::uint16_t kStartOffset = 0, kStartLoopOffset = 2, kEndLoopOffset = 3, kStartCoarseOffset = 4,
                        kModLfoToPitch = 5, kVibLfoToPitch = 6, kModEnvToPitch = 7, kVolumeRelease = 38,
                        kStartLoopCoarseOffset = 45, kKeyNumber = 46, kVelocity = 47,
                        kEndLoopCoarseOffset = 50, kCoarseTune = 51, kFineTune = 52, kSampleModes = 54,
                        kScaleTuning = 56, kRootKey = 58, kPitch = 59;

// The keys and velocities of the notes that reach a zone, lowest and highest.
struct NoteSpan
{
    int lowKey = 127, highKey = 0, lowVelocity = 127, highVelocity = 0;

    // Nothing when `notes` is empty.
    static std::optional<NoteSpan> of(const NoteSet& notes)
    {
        NoteSpan span;
        bool any = false;
        for (std::size_t n = notes._Find_first(); n < notes.size(); n = notes._Find_next(n)) {
            const int key = static_cast<int>(n / 128), velocity = static_cast<int>(n % 128);
            span.lowKey = std::min(span.lowKey, key);
            span.highKey = std::max(span.highKey, key);
            span.lowVelocity = std::min(span.lowVelocity, velocity);
            span.highVelocity = std::max(span.highVelocity, velocity);
            any = true;
        }
        return any ? std::optional(span) : std::nullopt;
    }
};

// The largest size a modulator source can have for notes of `span`, its curve, polarity and direction
// applied as FluidSynth maps a source to [-1, 1] (all its curves rise with the source, so the
// largest size is at one end). Controllers other than the note's key and velocity can take any value.
double sourceReach(std::uint16_t source, const NoteSpan& span)
{
    const int index = source & 0x7F;
    const bool controller = (source & 0x80) != 0;
    double low = 0, high = 127;
    if (!controller && index == 0) // no source: a modulator without one gives its whole amount
        return 1;
    if (!controller && index == 2) {
        low = span.lowVelocity;
        high = span.highVelocity;
    } else if (!controller && index == 3) {
        low = span.lowKey;
        high = span.highKey;
    }
    const bool negative = (source & 0x100) != 0, bipolar = (source & 0x200) != 0;
    const int curve = source >> 10;
    // The curves as FluidSynth tabulates them over 128 steps; concave lies under the straight line.
    auto concave = [](double x) { return x >= 1 ? 1.0 : std::min(1.0, x); };
    auto convex = [](double x) {
        const double step = std::floor(127 * x);
        return step >= 127 ? 1.0 : step <= 0 ? 0.0 : std::min(1.0, 1 + 400.0 / 960 * std::log10(step / 127));
    };
    auto map = [&](double value) {
        double x = value / 128;
        if (negative)
            x = 1 - x;
        auto shape = [&](double y) { return curve == 1 ? concave(y) : curve == 2 ? convex(y) : y; };
        if (curve == 3)
            return bipolar ? 1.0 : (x >= 0.5 ? 1.0 : 0.0);
        if (!bipolar)
            return shape(x);
        return curve == 0 ? std::fabs(2 * x - 1) : shape(2 * std::fabs(x - 0.5));
    };
    if (curve > 3)
        return 1;
    return std::min(1.0, std::max(map(low), map(high)) + 0.01);
}

// The most the modulators of a voice's zones can move the generators that decide where it plays: a
// modulator adds its amount times its sources' values, and preset modulators add to the
// instrument's; a zone's modulator replaces its global zone's of the same sources, destination and
// transform. `follows` is false for a modulator this plan does not bound: one that moves the key,
// the root key, the scale tuning or a loop, or that feeds another modulator.
struct ModulatorSwing
{
    bool follows = true;
    double startFrames = 0, releaseTimecents = 0, cents = 0;

    void add(std::span<const std::uint8_t> global, std::span<const std::uint8_t> local, const NoteSpan& span)
    {
        constexpr std::size_t kBytes = SoundFontTables::kModulatorBytes;
        auto field = [](std::span<const std::uint8_t> mods, std::size_t at, std::size_t offset) {
            return static_cast<std::uint16_t>(mods[at + offset] | (mods[at + offset + 1] << 8));
        };
        auto same = [&](std::span<const std::uint8_t> a, std::size_t i, std::span<const std::uint8_t> b,
                        std::size_t j) {
            return field(a, i, 0) == field(b, j, 0) && field(a, i, 2) == field(b, j, 2) &&
                   field(a, i, 6) == field(b, j, 6) && field(a, i, 8) == field(b, j, 8);
        };
        for (std::size_t at = 0; at + kBytes <= global.size(); at += kBytes) {
            bool replaced = false;
            for (std::size_t own = 0; own + kBytes <= local.size() && !replaced; own += kBytes)
                replaced = same(global, at, local, own);
            if (!replaced)
                addOne(global, at, span);
        }
        for (std::size_t at = 0; at + kBytes <= local.size(); at += kBytes)
            addOne(local, at, span);
    }

private:
    void addOne(std::span<const std::uint8_t> mods, std::size_t at, const NoteSpan& span)
    {
        const auto source = static_cast<std::uint16_t>(mods[at] | (mods[at + 1] << 8));
        const auto dest = static_cast<std::uint16_t>(mods[at + 2] | (mods[at + 3] << 8));
        const auto amountSource = static_cast<std::uint16_t>(mods[at + 6] | (mods[at + 7] << 8));
        const double amount = std::abs(static_cast<std::int16_t>(mods[at + 4] | (mods[at + 5] << 8))) *
                              sourceReach(source, span) * sourceReach(amountSource, span);
        switch (dest) {
        case kStartOffset:
            startFrames += amount;
            break;
        case kStartCoarseOffset:
            startFrames += 32768 * amount;
            break;
        case kVolumeRelease:
            releaseTimecents += amount;
            break;
        case kModLfoToPitch:
        case kVibLfoToPitch:
        case kModEnvToPitch:
        case kFineTune:
        case kPitch:
            cents += amount;
            break;
        case kCoarseTune:
            cents += 100 * amount;
            break;
        case kStartLoopOffset:
        case kEndLoopOffset:
        case kStartLoopCoarseOffset:
        case kKeyNumber:
        case kEndLoopCoarseOffset:
        case kScaleTuning:
        case kRootKey:
            follows = false;
            break;
        default:
            if (dest & 0x8000)
                follows = false;
        }
    }
};

// How long a voice sounds after its key is released, at most, in seconds: the volume envelope's
// release as FluidSynth clamps it.
double releaseSeconds(const ZoneValues& instrument, const ZoneValues& preset, const ModulatorSwing& swing)
{
    const double timecents =
        instrument.value(kVolumeRelease, -12000) + preset.value(kVolumeRelease, 0) + swing.releaseTimecents;
    return std::exp2(std::clamp(timecents, -12000.0, 8000.0) / 1200.0);
}

// The highest a voice of `keys` (from its lowest key to its highest) can sound above the sample's
// own pitch, in cents: the key against the root key through the scale tuning, the tuning, the pitch
// wheel as far as `bendCents`, the LFOs and the modulation envelope at full swing, the vibrato that
// the modulation wheel and the channel pressure add (50 cents each by default) and the modulators.
double highestCents(const ZoneValues& instrument, const ZoneValues& preset,
                    const SoundFontTables::SampleHeader& h, int lowKey, int highKey, int bendCents,
                    const ModulatorSwing& modulated)
{
    if (const std::optional<int> key = instrument.find(kKeyNumber); key && *key >= 0 && *key <= 127)
        lowKey = highKey = *key;
    const int rootKey = instrument.value(kRootKey, -1);
    const int root = rootKey >= 0 && rootKey <= 127 ? rootKey : (h.pitch <= 127 ? h.pitch : 0);
    const double rootCents = root * 100.0 - h.correction;
    const double scale = instrument.value(kScaleTuning, 100) + preset.value(kScaleTuning, 0);
    const double keyCents =
        std::max(scale / 100.0 * (lowKey * 100.0 - rootCents), scale / 100.0 * (highKey * 100.0 - rootCents));
    const double tune = (instrument.value(kCoarseTune, 0) + preset.value(kCoarseTune, 0)) * 100.0 +
                        instrument.value(kFineTune, 0) + preset.value(kFineTune, 0);
    double swing = 100.0 + modulated.cents;
    for (std::uint16_t oper : {kModLfoToPitch, kVibLfoToPitch, kModEnvToPitch})
        swing += std::abs(instrument.value(oper, 0)) + std::abs(preset.value(oper, 0));
    return keyCents + tune + swing + bendCents;
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
    boundSamples(tables, use);
}

std::uint64_t SubsetPlan::playedFrames(std::size_t s) const
{
    const auto found = m_playedFrames.find(s);
    return found != m_playedFrames.end() ? found->second : kWholeSample;
}

void SubsetPlan::boundSamples(const SoundFontTables& tables, const SoundFontUse& use)
{
    // Time a voice may sound beyond its key's release and its release, for the synthesiser's blocks,
    // its shortest note and rounding (a twentieth more, and a tenth of a second); frames read ahead of
    // the playing position by interpolation.
    constexpr double kSlackFactor = 1.05, kSlackSeconds = 0.1;
    constexpr double kReadAhead = 8;
    std::map<std::size_t, double> frames; // by sample; infinite: whole
    auto reach = [&](std::size_t sample, double played) {
        double& f = frames.try_emplace(sample, 0.0).first->second;
        f = std::max(f, played);
    };
    auto globalZone = [](Generators gens, std::uint16_t target) {
        return gens.empty() || gens.back().oper != target;
    };
    for (std::size_t p = 0; p < tables.presetCount(); ++p) {
        if (!m_presetKept[p])
            continue;
        const SoundFontTables::PresetHeader& header = tables.preset(p);
        const auto notes = use.presets.find(PresetKey{header.bank, header.program});
        if (notes == use.presets.end())
            continue;
        const PresetReach presetReach = use.reachOf(notes->first);
        const SoundFontTables::Zones pzones = tables.presetZones(p);
        const bool presetGlobal =
            pzones.begin < pzones.end &&
            globalZone(tables.presetGenerators(pzones.begin), SoundFontTables::kInstrument);
        const Generators pglobal = presetGlobal ? tables.presetGenerators(pzones.begin) : Generators{};
        for (std::size_t pz : m_presetZones[p]) {
            const Generators pgens = tables.presetGenerators(pz);
            const std::optional<std::size_t> instrument = zoneTarget(pgens, SoundFontTables::kInstrument);
            if (!instrument)
                continue;
            const NoteSet reached = zoneNotes(pgens) & notes->second;
            const ZoneValues presetValues{pgens, pglobal};
            const std::span<const std::uint8_t> pmodGlobal =
                presetGlobal ? tables.presetModulators(pzones.begin) : std::span<const std::uint8_t>{};
            const SoundFontTables::Zones izones = tables.instrumentZones(*instrument);
            const bool instrumentGlobal =
                izones.begin < izones.end &&
                globalZone(tables.instrumentGenerators(izones.begin), SoundFontTables::kSampleId);
            const Generators iglobal =
                instrumentGlobal ? tables.instrumentGenerators(izones.begin) : Generators{};
            const std::span<const std::uint8_t> imodGlobal = instrumentGlobal
                                                                 ? tables.instrumentModulators(izones.begin)
                                                                 : std::span<const std::uint8_t>{};
            for (std::size_t iz : m_instrumentZones[*instrument]) {
                const Generators igens = tables.instrumentGenerators(iz);
                const std::optional<std::size_t> sample = zoneTarget(igens, SoundFontTables::kSampleId);
                if (!sample)
                    continue;
                std::optional<NoteSpan> span = NoteSpan::of(zoneNotes(igens) & reached);
                if (!span)
                    continue;
                if (presetReach.whole()) {
                    reach(*sample, std::numeric_limits<double>::infinity());
                    continue;
                }
                const ZoneValues instrumentValues{igens, iglobal};
                // A zone may play every note at one key or velocity of its own.
                if (const std::optional<int> key = instrumentValues.find(kKeyNumber);
                    key && *key >= 0 && *key <= 127)
                    span->lowKey = span->highKey = *key;
                if (const std::optional<int> velocity = instrumentValues.find(kVelocity);
                    velocity && *velocity >= 0 && *velocity <= 127)
                    span->lowVelocity = span->highVelocity = *velocity;
                ModulatorSwing swing;
                swing.add(pmodGlobal, tables.presetModulators(pz), *span);
                swing.add(imodGlobal, tables.instrumentModulators(iz), *span);
                const bool movesLoop = instrumentValues.value(kStartLoopOffset, 0) != 0 ||
                                       instrumentValues.value(kEndLoopOffset, 0) != 0 ||
                                       instrumentValues.value(kStartLoopCoarseOffset, 0) != 0 ||
                                       instrumentValues.value(kEndLoopCoarseOffset, 0) != 0;
                const SoundFontTables::SampleHeader& h = tables.sample(*sample);
                if (!swing.follows || movesLoop || h.rate < 1000 || h.rate > 384000) {
                    reach(*sample, std::numeric_limits<double>::infinity());
                    continue;
                }
                const double cents = highestCents(instrumentValues, presetValues, h, span->lowKey,
                                                  span->highKey, presetReach.bendCents, swing);
                const double seconds =
                    (presetReach.holdSeconds + releaseSeconds(instrumentValues, presetValues, swing)) *
                        kSlackFactor +
                    kSlackSeconds;
                const double start = std::max(
                    0.0, instrumentValues.value(kStartOffset, 0) +
                             32768.0 * instrumentValues.value(kStartCoarseOffset, 0) + swing.startFrames);
                double played = start + seconds * h.rate * std::exp2(cents / 1200.0) + kReadAhead;
                // A voice that can reach its loop plays the loop on: all of it is kept.
                const int mode = instrumentValues.value(kSampleModes, 0) & 3;
                const double loopStart =
                    h.compressed() ? h.loopStart
                                   : static_cast<double>(h.loopStart) - static_cast<double>(h.start);
                if ((mode == 1 || mode == 3) && played >= loopStart)
                    played = std::numeric_limits<double>::infinity();
                reach(*sample, played);
            }
        }
    }
    for (const auto& [sample, played] : frames)
        if (played < 1e15)
            m_playedFrames[sample] = static_cast<std::uint64_t>(std::ceil(played));
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
