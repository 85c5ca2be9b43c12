#pragma once

#include "sound/decode/Decoder.h"
#include "sound/decode/Decoders.h"
#include "sound/midi/MidiSequence.h"

#include <array>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qb::audio {

class MidiSynth;
class MidiSynthCache;

// Debian's default General MIDI SoundFont.
inline constexpr const char* kDefaultSoundFont = "/usr/share/sounds/sf2/default-GM.sf2";

// The largest MIDI file opened, in bytes (64 MiB). The open reads and merges the whole file within
// the MCI service's five-second open limit: about 25 ms of CPU per MB here (bench/RESULTS.md), so a file
// of this size opens in under two seconds, and in time on a machine busy enough to halve that. A larger
// one is refused as too large (OpenError::TooLarge), never given up as damaged. The events' memory has a
// limit of its own (midiEventMemoryLimit()).
inline constexpr std::uint64_t kMaxMidiFileBytes = std::uint64_t{64} << 20;

// A song's samples load in stages by how soon its notes start, counted from its first note, in frames:
// what the first 50 ms need before it sounds, then up to half a second, a second and a half and four
// seconds, then the rest, beside playback (see MidiDecoder).
inline constexpr std::int64_t kMidiStageFrames[] = {2205, 22050, 66150, 176400};

// Standard MIDI Files and RIFF MIDI (.rmi), synthesised by FluidSynth with `soundFontPath`. The
// synthesiser is borrowed from `cache` and given back to it when the decoder goes. A valid file beyond
// kMaxMidiFileBytes or the events' memory limit is OpenError::TooLarge, with the limit in the result.
OpenResult openMidiDecoder(const std::string& path, std::shared_ptr<MidiSynthCache> cache,
                           const std::string& soundFontPath = kDefaultSoundFont);

// Plays a MidiSequence on its own FluidSynth synthesiser, sending each event at its frame.
//
// FluidSynth applies events only at the start of its 64-frame blocks, so an event sounds at the
// block start nearest to its frame (within 32 frames). Passes end on a block start too: every pass
// lasts the whole number of blocks nearest to lengthFrames(), so each pass starts within 32 frames of
// one song length after the start of the pass before, and a loop renders every pass the same way.
//
// At the end of a pass every note still on is released (not cut); its release and the reverb ring
// on under the next pass, which starts by resetting each channel's controllers, pitch bend and
// program (drums on channel 10) before the file's own events. seek() to a middle position plays
// the file's program, controller, pitch-bend and system-exclusive events up to that point without
// sounding notes. All calls from one thread at a time.
//
// Cost: at most a fixed amount of synthesiser work is sent at one block start (events beyond it go
// out at the following blocks), a reset of the channels costs only the channels changed since the
// last one, and a seek sends each channel's final controller, program and bend values once rather
// than every change before the seek point. So a read() of a bounded number of frames takes bounded
// time whatever the file holds.
class MidiDecoder final : public Decoder
{
public:
    // A sequence shorter than this plays as this long, so that a pass is never empty.
    static constexpr std::int64_t kMinimumLength = 64;

    // Starts loading the samples the song reaches (MidiSynth::prepare) on a thread of its own, so that
    // opening a song of many instruments does not hold whoever opens it (Select-confirm to ready
    // guards it: bench/README.md). The first call that renders waits for those of the song's first
    // seconds; the rest load beside playback, and a render that reaches a note before they are there
    // waits for them, so no note sounds without its samples. Rendering itself never reads the font.
    MidiDecoder(MidiSequence sequence, std::unique_ptr<MidiSynth> synth,
                std::shared_ptr<MidiSynthCache> cache);
    // Cuts all sound and gives the synthesiser back to its cache.
    ~MidiDecoder() override;
    MidiDecoder(const MidiDecoder&) = delete;
    MidiDecoder& operator=(const MidiDecoder&) = delete;

    // Whether the song's samples are loaded; never waits.
    bool samplesLoaded() const;
    // How many times a channel has been set back to its power-on state (by a reset message, a pass
    // start or a seek) since the decoder was made. The decoder's thread.
    std::uint64_t channelResets() const { return m_channelResets; }

    int read(float* out, int frames) override;
    bool seek(std::int64_t frame) override;
    // Releases the notes of an unfinished pass, then renders with no new events.
    void renderTail(float* out, int frames) override;
    // Cuts voices and effects at once; a pass in progress goes on from its position afterwards.
    void silence() override;
    std::int64_t lengthFrames() const override { return m_length; }
    std::int64_t positionFrames() const override;
    std::optional<LoopSpan> loopMarks() const override
    {
        if (!m_sequence.loopStartFrame || !m_sequence.loopEndFrame)
            return std::nullopt;
        return LoopSpan{*m_sequence.loopStartFrame, *m_sequence.loopEndFrame, m_sequence.loopSource};
    }

private:
    // Waits for the samples to load, once; every use of the synthesiser comes after it.
    void awaitSynth();
    void startFromPendingSeek();
    void finishPass();
    // Voices off at once, reverb and chorus emptied, channels back to their power-on state.
    void cutAllSound();
    // Renders (and drops) what is left of the synthesiser's current block.
    void alignToBlock();
    // Releases every sounding note: pedals up, then note-off on every channel.
    void releaseNotes();
    // Controllers, pitch bend, programs and channel types as a freshly made synthesiser has them, on
    // every channel an event changed since its last reset. These return the work done, in units of
    // about one synthesiser call.
    int resetChannels();
    int send(const MidiEvent& event);
    int sendState(const MidiEvent& event);
    int sendSysex(const MidiEvent& event);
    // Seeking: the state an event leaves, sent at once or held back until flushChase().
    void chase(const MidiEvent& event);
    void flushChase(int channel);
    static bool isDeferrableController(int cc);
    // Keeps the samples of the preset now on `channel` loaded, so that switching programs at each
    // pass start never reloads them from disk.
    void pinChannelPreset(int channel);
    void unpinAll();
    // The pass frame of the block start at which an event at pass frame `frame` must be sent.
    std::int64_t blockStartFor(std::int64_t frame) const;
    std::int64_t passEnd() const;

    MidiSequence m_sequence;
    std::unique_ptr<MidiSynth> m_synth;
    std::shared_ptr<MidiSynthCache> m_cache;
    std::future<void> m_preparing; // the loading thread, which reads the two above
    bool m_synthReady = false;     // awaitSynth() has run
    std::int64_t m_length = 0;
    std::int64_t m_position = 0; // pass frame of the next frame read() hands out
    std::size_t m_nextEvent = 0;
    std::optional<std::int64_t> m_pendingSeek;
    bool m_passEnded = false;
    std::vector<std::array<int, 3>> m_pinned; // sfont id, bank, program
    std::array<std::array<int, 3>, 16> m_lastPinned = filledKeys();
    std::uint32_t m_dirtyChannels = 0xFFFF; // bit per channel changed since its last reset
    std::uint64_t m_channelResets = 0;

    // What a seek holds back for one channel: the last value of each controller, program, bend and
    // pressure (-1: none).
    struct ChannelChase
    {
        std::uint64_t controllers[2] = {0, 0}; // bit per controller with a value waiting
        std::uint8_t values[128] = {};
        int program = -1;
        int bend = -1;
        int pressure = -1;
    };
    std::array<ChannelChase, 16> m_chase{};

    static std::array<std::array<int, 3>, 16> filledKeys()
    {
        std::array<std::array<int, 3>, 16> keys{};
        keys.fill({-1, -1, -1});
        return keys;
    }
};

} // namespace qb::audio
