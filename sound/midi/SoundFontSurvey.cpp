#include "sound/midi/SoundFontSurvey.h"

#include "MidiSysex.h"
#include "sound/soundfont/ChannelPresets.h"

#include <limits>

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

} // namespace

SoundFontUse collectSoundFontUse(const MidiSequence& sequence, const SoundFontTables& tables)
{
    ChannelPresets presets(tables);
    return survey(sequence, presets);
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
