#include "sound/soundfont/ChannelPresets.h"

#include "sound/soundfont/SoundFontTables.h"

namespace qb::audio {

ChannelPresets::ChannelPresets(const SoundFontTables& tables)
    : ChannelPresets([&tables](int bank, int program) { return tables.hasPreset(bank, program); })
{
}

ChannelPresets::ChannelPresets(Catalogue catalogue) : m_has(std::move(catalogue))
{
    reset();
}

void ChannelPresets::reset()
{
    for (std::size_t ch = 0; ch < m_channels.size(); ++ch) {
        Channel& c = m_channels[ch];
        c.drums = ch == kDrumChannel;
        c.bank = c.drums ? kDrumBank : 0;
        c.program = 0;
        choose(c);
    }
}

void ChannelPresets::bankSelect(int channel, int bank)
{
    Channel& c = m_channels[static_cast<std::size_t>(channel & 15)];
    if (!c.drums)
        c.bank = bank;
}

void ChannelPresets::programChange(int channel, int program)
{
    Channel& c = m_channels[static_cast<std::size_t>(channel & 15)];
    c.program = program;
    choose(c);
}

void ChannelPresets::setDrums(int channel, bool drums)
{
    Channel& c = m_channels[static_cast<std::size_t>(channel & 15)];
    c.drums = drums;
    c.program = 0;
    choose(c);
}

void ChannelPresets::noteOn(int channel, int key, int velocity)
{
    const PresetKey& preset = m_channels[static_cast<std::size_t>(channel & 15)].preset;
    if (preset.first >= 0)
        m_use.presets[preset].set(static_cast<std::size_t>((key & 0x7F) * 128 + (velocity & 0x7F)));
}

void ChannelPresets::choose(Channel& channel) const
{
    channel.preset = resolve(channel.bank, channel.program, channel.drums);
}

PresetKey ChannelPresets::resolve(int bank, int program, bool drums) const
{
    if (drums) {
        if (m_has(kDrumBank, program))
            return {kDrumBank, program};
        if (m_has(kDrumBank, 0))
            return {kDrumBank, 0};
        return {-1, -1};
    }
    if (m_has(bank, program))
        return {bank, program};
    if (m_has(0, program))
        return {0, program};
    if (m_has(0, 0))
        return {0, 0};
    return {-1, -1};
}

} // namespace qb::audio
