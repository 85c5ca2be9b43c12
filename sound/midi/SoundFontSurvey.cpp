#include "sound/midi/SoundFontSurvey.h"

#include "MidiSysex.h"
#include "sound/decode/Decoder.h"
#include "sound/soundfont/ChannelPresets.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <vector>

namespace qb::audio {

namespace {

void followSysex(ChannelPresets& presets, const MidiSequence& sequence, const MidiEvent& e)
{
    const std::uint8_t* d = sequence.sysexData.data() + e.sysexOffset;
    const std::uint32_t n = e.sysexLength();
    if (isSystemResetSysex(d, n)) {
        presets.reset();
    } else if (const std::optional<GsRhythmPart> part = gsRhythmPart(d, n)) {
        presets.setDrums(part->channel, part->drums);
    }
}

SoundFontUse survey(const MidiSequence& sequence, ChannelPresets& presets,
                    std::int64_t before = std::numeric_limits<std::int64_t>::max())
{
    // Each pass starts from a reset, and a seek replays the choices made before its position (without
    // their notes), so one walk from the start meets every preset a note can sound on.
    for (const MidiEvent& e : sequence.events) {
        if (e.frame >= before)
            break;
        switch (e.kind()) {
        case 0x90:
            if (e.data2 > 0)
                presets.noteOn(e.channel(), e.data1, e.data2);
            break;
        case 0xB0:
            if (e.data1 == 0)
                presets.bankSelect(e.channel(), e.data2);
            break;
        case 0xC0:
            presets.programChange(e.channel(), e.data1);
            break;
        case 0xF0:
            followSysex(presets, sequence, e);
            break;
        default:
            break;
        }
    }
    return presets.take();
}

// How long the song holds each preset's notes and how far it bends them; nothing when it uses
// what the reach does not follow.
class ReachSurvey
{
public:
    ReachSurvey(const MidiSequence& sequence, const SoundFontTables& tables)
        : m_sequence(sequence), m_presets(tables)
    {
    }

    std::map<PresetKey, PresetReach> run()
    {
        for (const MidiEvent& e : m_sequence.events) {
            if (!follow(e))
                return {};
        }
        // The decoder releases every note at the end of a pass: the song's end, or its loop's.
        const std::int64_t passEnd = std::max(m_sequence.lengthFrames, m_sequence.loopEndFrame.value_or(0));
        for (Channel& c : m_channels) {
            for (const std::vector<Held>& key : c.down)
                for (const Held& h : key)
                    end(h, passEnd);
            for (const Held& h : c.pedalled)
                end(h, passEnd);
        }
        const int bendCents = m_bendsUp ? m_bendRange : 0;
        std::map<PresetKey, PresetReach> reach;
        for (const auto& [preset, frames] : m_holds)
            reach[preset] = {static_cast<double>(frames) / kEngineRate, bendCents};
        return reach;
    }

private:
    // Notes that end together, by preset: only the earliest start of each matters.
    struct Held
    {
        PresetKey preset;
        std::int64_t on;
    };
    static void hold(std::vector<Held>& held, const Held& note)
    {
        for (Held& h : held) {
            if (h.preset == note.preset) {
                h.on = std::min(h.on, note.on);
                return;
            }
        }
        held.push_back(note);
    }
    struct Channel
    {
        bool sustain = false, sostenuto = false;
        bool registered = true; // the parameter number last selected is a registered one
        int parameter = 0x3FFF; // its number (0x3FFF: none)
        int bendSemitones = 2, bendCents = 0;
        std::array<std::vector<Held>, 128> down; // by key: keys down
        std::vector<Held> pedalled;              // keys up, held by a pedal
    };

    void end(const Held& h, std::int64_t at)
    {
        std::int64_t& hold = m_holds[h.preset];
        hold = std::max(hold, at - h.on);
    }

    void release(Channel& c, int key, std::int64_t at)
    {
        std::vector<Held>& down = c.down[static_cast<std::size_t>(key & 0x7F)];
        for (const Held& h : down) {
            if (c.sustain || c.sostenuto)
                hold(c.pedalled, h);
            else
                end(h, at);
        }
        down.clear();
    }

    // False for what the reach does not follow.
    bool follow(const MidiEvent& e)
    {
        Channel& c = m_channels[static_cast<std::size_t>(e.channel())];
        switch (e.kind()) {
        case 0x80:
            release(c, e.data1, e.frame);
            return true;
        case 0x90:
            if (e.data2 == 0) {
                release(c, e.data1, e.frame);
            } else if (const PresetKey preset = m_presets.preset(e.channel()); preset.first >= 0) {
                hold(c.down[e.data1 & 0x7F], {preset, e.frame});
                m_holds.try_emplace(preset, 0);
            }
            return true;
        case 0xB0:
            return control(c, e);
        case 0xC0:
            m_presets.programChange(e.channel(), e.data1);
            return true;
        case 0xE0:
            m_bendsUp = m_bendsUp || (e.data1 | (e.data2 << 7)) > 8192;
            return true;
        case 0xF0: {
            const std::uint8_t* d = m_sequence.sysexData.data() + e.sysexOffset;
            const std::uint32_t n = e.sysexLength();
            if (n > 2 && (d[0] == 0x7E || d[0] == 0x7F) && d[2] == 0x08)
                return false; // MIDI tuning
            followSysex(m_presets, m_sequence, e);
            return true;
        }
        default:
            return true;
        }
    }

    bool control(Channel& c, const MidiEvent& e)
    {
        const int value = e.data2;
        switch (e.data1) {
        case 0:
            m_presets.bankSelect(e.channel(), value);
            return true;
        case 64:
        case 66:
            (e.data1 == 64 ? c.sustain : c.sostenuto) = value >= 64;
            if (!c.sustain && !c.sostenuto) {
                for (const Held& h : c.pedalled)
                    end(h, e.frame);
                c.pedalled.clear();
            }
            return true;
        case 5:   // portamento time
        case 65:  // portamento
        case 68:  // legato
        case 84:  // portamento control
        case 126: // mono mode
        case 127: // poly mode
        case 96:  // data increment and decrement
        case 97:
            return false;
        case 98: // non-registered parameter number
        case 99:
            c.registered = false;
            return true;
        case 100:
        case 101:
            c.registered = true;
            c.parameter =
                e.data1 == 101 ? (value << 7) | (c.parameter & 0x7F) : (c.parameter & 0x3F80) | value;
            return true;
        case 6: // data entry
        case 38:
            if (!c.registered)
                return false;
            if (c.parameter == 0x3FFF)
                return true; // no parameter selected: nothing changes
            if (c.parameter != 0)
                return false;
            (e.data1 == 6 ? c.bendSemitones : c.bendCents) = value;
            m_bendRange = std::max(m_bendRange, c.bendSemitones * 100 + c.bendCents);
            return true;
        default:
            return true;
        }
    }

    const MidiSequence& m_sequence;
    ChannelPresets m_presets;
    std::array<Channel, 16> m_channels{};
    std::map<PresetKey, std::int64_t> m_holds;
    bool m_bendsUp = false;
    int m_bendRange = 200; // cents: 2 semitones until the song sets its own
};

} // namespace

SoundFontUse collectSoundFontUse(const MidiSequence& sequence, const SoundFontTables& tables)
{
    ChannelPresets presets(tables);
    SoundFontUse use = survey(sequence, presets);
    use.reach = ReachSurvey(sequence, tables).run();
    return use;
}

SoundFontUse collectSoundFontUse(const MidiSequence& sequence, const SoundFontTables& tables,
                                 std::int64_t before)
{
    ChannelPresets presets(tables);
    return survey(sequence, presets, before);
}

SoundFontUse collectSoundFontUse(const MidiSequence& sequence, ChannelPresets::Catalogue catalogue)
{
    ChannelPresets presets(std::move(catalogue));
    return survey(sequence, presets);
}

} // namespace qb::audio
