#pragma once

#include "sound/soundfont/SoundFontUse.h"

#include <array>
#include <functional>

namespace qb::audio {

class SoundFontTables;

// The preset each of the sixteen MIDI channels plays from a font, followed through the messages that
// choose it as the synthesiser (FluidSynth, with GS bank selection) chooses it, and the notes each
// preset is played with. A preset is chosen at a program change (and at a reset or a drum switch),
// from the channel's bank at that moment: a bank select alone changes nothing yet, and a drum
// channel ignores it. One thread at a time.
class ChannelPresets
{
public:
    static constexpr int kDrumBank = 128;
    static constexpr int kDrumChannel = 9;

    // Whether the font has preset (bank, program).
    using Catalogue = std::function<bool(int bank, int program)>;

    // Every channel as after reset(). Holds `tables` by reference.
    explicit ChannelPresets(const SoundFontTables& tables);
    explicit ChannelPresets(Catalogue catalogue);

    // Every channel back to its power-on choice: channel 10 plays drum kit 0, the others program 0 of
    // bank 0.
    void reset();
    // Bank select (controller 0): the bank the channel's next program change looks in.
    void bankSelect(int channel, int bank);
    void programChange(int channel, int program);
    // Switches a part to drums or back (a GS "use for rhythm part" message); it then plays program 0
    // of its new kind, from the bank it had before.
    void setDrums(int channel, bool drums);
    void noteOn(int channel, int key, int velocity);

    // The preset a note on `channel` sounds now; bank -1 when the font has none for it.
    PresetKey preset(int channel) const { return m_channels[static_cast<std::size_t>(channel & 15)].preset; }

    // What the notes so far sound; take() leaves nothing behind.
    const SoundFontUse& use() const { return m_use; }
    SoundFontUse take() { return std::move(m_use); }

    // The preset a channel gets for `bank` and `program` at a program change, with the synthesiser's
    // fallbacks for one the font lacks (drums: kit 0 of the drum bank, whatever `bank`; others: bank 0,
    // then program 0 of bank 0). Nothing (bank -1) when even those are missing.
    PresetKey resolve(int bank, int program, bool drums) const;

private:
    struct Channel
    {
        bool drums = false;
        int bank = 0;
        int program = 0;
        PresetKey preset{-1, -1}; // chosen at the last program change
    };
    void choose(Channel& channel) const;

    Catalogue m_has;
    std::array<Channel, 16> m_channels{};
    SoundFontUse m_use;
};

} // namespace qb::audio
