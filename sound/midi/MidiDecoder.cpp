#include "sound/midi/MidiDecoder.h"

#include "MidiSynth.h"
#include "MidiSysex.h"
#include "sound/decode/Decoders.h"
#include "sound/midi/MidiFileParser.h"
#include "sound/midi/MidiSynthCache.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <fluidsynth.h>
#include <new>
#include <sys/stat.h>
#include <system_error>
#include <utility>

namespace qb::audio {

namespace {

constexpr int kMidiChannels = 16;
constexpr int kDrumChannel = 9;
constexpr int kDrumBank = 128;

std::int64_t floorDiv(std::int64_t a, std::int64_t b)
{
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The pass frame of the block start nearest to pass frame `frame`, given the synthesiser frame at
// which the pass began (`passOrigin`, possibly not on a block start).
std::int64_t nearestBlockStart(std::int64_t passOrigin, std::int64_t frame)
{
    const std::int64_t block = MidiSynth::kBlockFrames;
    return floorDiv(passOrigin + frame + block / 2, block) * block - passOrigin;
}

// The most synthesiser work sent at one block start, in units of about one FluidSynth call. Events
// due beyond it wait for the following blocks (a burst of a few hundred is shifted by a few ms), so
// one read() of any file costs a bounded time and the feeder can be stopped between its chunks.
constexpr int kWorkPerBlock = 256;
constexpr int kResetWorkPerChannel = 12;
constexpr std::uint32_t kAllChannels = (1u << kMidiChannels) - 1;

enum : int
{
    kBankSelect = 0,
    kVolume = 7,
    kPan = 10,
    kExpression = 11,
    kSustain = 64,
    kSostenuto = 66,
    kReverbSend = 91,
    kChorusSend = 93,
    kAllSoundOff = 120,
    kResetControllers = 121,
    kAllNotesOff = 123,
};

} // namespace

MidiDecoder::MidiDecoder(MidiSequence sequence, std::unique_ptr<MidiSynth> synth,
                         std::shared_ptr<MidiSynthCache> cache)
    : m_sequence(std::move(sequence)), m_synth(std::move(synth)), m_cache(std::move(cache)),
      m_length(std::max(m_sequence.lengthFrames, kMinimumLength)), m_pendingSeek(0)
{
    auto prepare = [synth = m_synth.get(), &sequence = m_sequence] {
        std::string why;
        try {
            if (!synth->prepare(sequence, &why))
                std::fprintf(stderr, "quillbeat: %s\n", why.c_str());
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "quillbeat: out of memory loading the samples of a song\n");
        }
    };
    try {
        m_preparing = std::async(std::launch::async, prepare);
    } catch (const std::system_error&) {
        prepare(); // no thread to be had: load them here
    }
}

MidiDecoder::~MidiDecoder()
{
    awaitSynth();
    cutAllSound();
    unpinAll();
    m_cache->release(std::move(m_synth));
}

bool MidiDecoder::samplesLoaded() const
{
    return m_synthReady || !m_preparing.valid() ||
           m_preparing.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void MidiDecoder::awaitSynth()
{
    if (m_synthReady)
        return;
    if (m_preparing.valid())
        m_preparing.get();
    m_synthReady = true;
    // Starting on a block makes every open of the same file quantise its events the same way.
    alignToBlock();
}

std::int64_t MidiDecoder::positionFrames() const
{
    return m_passEnded ? m_length : std::min(m_position, m_length);
}

bool MidiDecoder::seek(std::int64_t frame)
{
    frame = std::clamp<std::int64_t>(frame, 0, m_length);
    m_position = frame;
    m_pendingSeek = frame;
    m_passEnded = false;
    return true;
}

int MidiDecoder::read(float* out, int frames)
{
    if (frames <= 0)
        return 0;
    awaitSynth();
    m_synth->takeLoaded(false);
    if (m_pendingSeek)
        startFromPendingSeek();
    if (m_passEnded)
        return 0;

    const auto& events = m_sequence.events;
    int done = 0;
    while (done < frames) {
        const std::int64_t end = passEnd();
        if (m_position >= end)
            break;
        int work = 0;
        while (work < kWorkPerBlock && m_nextEvent < events.size() &&
               blockStartFor(events[m_nextEvent].frame) <= m_position) {
            // Past the song's beginning, the rest of its samples must be there: wait for them if not.
            if (events[m_nextEvent].frame >= m_synth->loadedUntil())
                m_synth->takeLoaded(true);
            work += send(events[m_nextEvent++]);
        }
        std::int64_t until = end;
        if (m_nextEvent < events.size()) {
            // Events held back by the block's budget go out at the next block start.
            const std::int64_t intoBlock = m_synth->renderedFrames() % MidiSynth::kBlockFrames;
            const std::int64_t nextBlock = m_position + MidiSynth::kBlockFrames - intoBlock;
            until = std::min(until, std::max(blockStartFor(events[m_nextEvent].frame), nextBlock));
        }
        const int chunk = static_cast<int>(std::min<std::int64_t>(until - m_position, frames - done));
        m_synth->render(out + static_cast<std::ptrdiff_t>(done) * kChannels, chunk);
        m_position += chunk;
        done += chunk;
    }
    if (m_position >= passEnd())
        finishPass();
    return done;
}

void MidiDecoder::renderTail(float* out, int frames)
{
    if (frames <= 0)
        return;
    awaitSynth();
    if (!m_passEnded)
        releaseNotes();
    m_synth->render(out, frames);
}

void MidiDecoder::silence()
{
    awaitSynth();
    cutAllSound();
    if (!m_passEnded && !m_pendingSeek)
        m_pendingSeek = m_position; // the reset forgot the channels' state: chase it again
}

void MidiDecoder::alignToBlock()
{
    const int intoBlock = static_cast<int>(m_synth->renderedFrames() % MidiSynth::kBlockFrames);
    if (intoBlock != 0) {
        float scratch[MidiSynth::kBlockFrames * kChannels];
        m_synth->render(scratch, MidiSynth::kBlockFrames - intoBlock);
    }
}

void MidiDecoder::cutAllSound()
{
    fluid_synth_t* synth = m_synth->synth();
    fluid_synth_all_sounds_off(synth, -1);
    // The voices stop at the start of the next block, so what is already rendered of the current one
    // and one more block are thrown away. A system reset is the one call that empties the reverb and
    // chorus lines, but it would only release voices that are still on.
    float scratch[MidiSynth::kBlockFrames * kChannels];
    alignToBlock();
    m_synth->render(scratch, MidiSynth::kBlockFrames);
    fluid_synth_system_reset(synth);
    m_dirtyChannels = kAllChannels;
}

std::int64_t MidiDecoder::blockStartFor(std::int64_t frame) const
{
    return nearestBlockStart(m_synth->renderedFrames() - m_position, frame);
}

std::int64_t MidiDecoder::passEnd() const
{
    return std::max(m_position, nearestBlockStart(m_synth->renderedFrames() - m_position, m_length));
}

void MidiDecoder::startFromPendingSeek()
{
    const std::int64_t frame = *m_pendingSeek;
    m_pendingSeek.reset();
    releaseNotes();
    resetChannels();
    const auto& events = m_sequence.events;
    m_nextEvent = 0;
    while (m_nextEvent < events.size() && events[m_nextEvent].frame < frame)
        chase(events[m_nextEvent++]);
    for (int ch = 0; ch < kMidiChannels; ++ch)
        flushChase(ch);
    m_position = frame;
    m_passEnded = false;
}

void MidiDecoder::finishPass()
{
    releaseNotes();
    m_passEnded = true;
}

void MidiDecoder::releaseNotes()
{
    fluid_synth_t* synth = m_synth->synth();
    for (int ch = 0; ch < kMidiChannels; ++ch) {
        fluid_synth_cc(synth, ch, kSustain, 0);
        fluid_synth_cc(synth, ch, kSostenuto, 0);
    }
    fluid_synth_all_notes_off(synth, -1);
}

int MidiDecoder::resetChannels()
{
    // A channel that no event touched since its last reset is still in the state the reset gives, so
    // a flood of resets costs no more than the events between them.
    fluid_synth_t* synth = m_synth->synth();
    const std::uint32_t dirty = std::exchange(m_dirtyChannels, 0u);
    for (int ch = 0; ch < kMidiChannels; ++ch) {
        if ((dirty & (1u << ch)) == 0)
            continue;
        const bool drums = ch == kDrumChannel;
        fluid_synth_set_channel_type(synth, ch, drums ? CHANNEL_TYPE_DRUM : CHANNEL_TYPE_MELODIC);
        fluid_synth_cc(synth, ch, kResetControllers, 0);
        // Reset All Controllers leaves these alone, but a file that changed them expects the values
        // of a fresh start when it plays again.
        for (int cc : {kVolume, kPan, kExpression, kReverbSend, kChorusSend})
            fluid_synth_cc(synth, ch, cc, m_synth->defaultController(cc));
        fluid_synth_pitch_bend(synth, ch, 8192);
        fluid_synth_pitch_wheel_sens(synth, ch, 2);
        fluid_synth_bank_select(synth, ch, drums ? kDrumBank : 0);
        fluid_synth_program_change(synth, ch, 0);
        pinChannelPreset(ch);
        ++m_channelResets;
    }
    return 1 + kResetWorkPerChannel * std::popcount(dirty);
}

int MidiDecoder::send(const MidiEvent& e)
{
    fluid_synth_t* synth = m_synth->synth();
    const int ch = e.channel();
    switch (e.kind()) {
    case 0x80:
        fluid_synth_noteoff(synth, ch, e.data1);
        return 1;
    case 0x90:
        if (e.data2 == 0)
            fluid_synth_noteoff(synth, ch, e.data1);
        else
            fluid_synth_noteon(synth, ch, e.data1, e.data2);
        return 1;
    case 0xA0:
        m_dirtyChannels |= 1u << ch;
        fluid_synth_key_pressure(synth, ch, e.data1, e.data2);
        return 1;
    default:
        return sendState(e);
    }
}

int MidiDecoder::sendState(const MidiEvent& e)
{
    fluid_synth_t* synth = m_synth->synth();
    const int ch = e.channel();
    if (e.kind() != 0xF0)
        m_dirtyChannels |= 1u << ch;
    switch (e.kind()) {
    case 0xB0:
        // Sound and note cuts belong to the moment they were played; chasing them would cut tails.
        if (e.data1 == kAllSoundOff || e.data1 == kAllNotesOff || (e.data1 >= 124 && e.data1 <= 127))
            break;
        fluid_synth_cc(synth, ch, e.data1, e.data2);
        break;
    case 0xC0:
        fluid_synth_program_change(synth, ch, e.data1);
        pinChannelPreset(ch);
        break;
    case 0xD0:
        fluid_synth_channel_pressure(synth, ch, e.data1);
        break;
    case 0xE0:
        fluid_synth_pitch_bend(synth, ch, e.data1 | (e.data2 << 7));
        break;
    case 0xF0:
        return sendSysex(e);
    default:
        break;
    }
    return 1;
}

int MidiDecoder::sendSysex(const MidiEvent& e)
{
    const std::uint8_t* data = m_sequence.sysexData.data() + e.sysexOffset;
    const std::uint32_t length = e.sysexLength();
    if (isSystemResetSysex(data, length))
        return resetChannels();
    fluid_synth_sysex(m_synth->synth(), reinterpret_cast<const char*>(data), static_cast<int>(length),
                      nullptr, nullptr, nullptr, 0);
    if (!isGsPartSysex(data, length))
        return 1;
    // A GS part switched to or from drums selects a new preset.
    m_dirtyChannels = kAllChannels;
    for (int ch = 0; ch < kMidiChannels; ++ch)
        pinChannelPreset(ch);
    return 1 + kMidiChannels;
}

bool MidiDecoder::isDeferrableController(int cc)
{
    switch (cc) {
    case 0: // bank select: applies at the next program change
    case 32:
    case 6: // data entry, increment and decrement: apply to the parameter selected before them
    case 38:
    case 96:
    case 97:
    case 98: // parameter selection
    case 99:
    case 100:
    case 101:
        return false;
    default:
        return cc < 120; // mode messages (reset all controllers...) keep their place
    }
}

void MidiDecoder::chase(const MidiEvent& e)
{
    // Only the last value of a controller, the program, the pitch bend and the channel pressure of a
    // channel matter at the seek point, so they wait and go out once. Events whose effect depends on
    // what came before them go out in order, after what waits for their channel.
    const int ch = e.channel();
    ChannelChase& c = m_chase[static_cast<std::size_t>(ch)];
    switch (e.kind()) {
    case 0x80:
    case 0x90:
    case 0xA0:
        return; // notes are not chased
    case 0xB0:
        if (!isDeferrableController(e.data1))
            break;
        c.controllers[e.data1 >> 6] |= std::uint64_t{1} << (e.data1 & 63);
        c.values[e.data1] = e.data2;
        m_dirtyChannels |= 1u << ch;
        return;
    case 0xC0:
        c.program = e.data1;
        m_dirtyChannels |= 1u << ch;
        return;
    case 0xD0:
        c.pressure = e.data1;
        m_dirtyChannels |= 1u << ch;
        return;
    case 0xE0:
        c.bend = e.data1 | (e.data2 << 7);
        m_dirtyChannels |= 1u << ch;
        return;
    case 0xF0:
        for (int other = 0; other < kMidiChannels; ++other)
            flushChase(other);
        sendState(e);
        return;
    default:
        return;
    }
    flushChase(ch);
    sendState(e);
}

void MidiDecoder::flushChase(int ch)
{
    ChannelChase& c = m_chase[static_cast<std::size_t>(ch)];
    fluid_synth_t* synth = m_synth->synth();
    for (int word = 0; word < 2; ++word) {
        for (std::uint64_t bits = std::exchange(c.controllers[word], 0); bits != 0; bits &= bits - 1) {
            const int cc = word * 64 + std::countr_zero(bits);
            fluid_synth_cc(synth, ch, cc, c.values[cc]);
        }
    }
    if (c.program >= 0) {
        fluid_synth_program_change(synth, ch, std::exchange(c.program, -1));
        pinChannelPreset(ch);
    }
    if (c.bend >= 0)
        fluid_synth_pitch_bend(synth, ch, std::exchange(c.bend, -1));
    if (c.pressure >= 0)
        fluid_synth_channel_pressure(synth, ch, std::exchange(c.pressure, -1));
}

void MidiDecoder::pinChannelPreset(int channel)
{
    // Only a font loaded whole loads samples when asked; a subset came with its own, and may be gone
    // (a newer one holds all its presets) by the time a pin would be taken back.
    if (!m_synth->loadedWhole())
        return;
    fluid_preset_t* preset = fluid_synth_get_channel_preset(m_synth->synth(), channel);
    if (!preset)
        return;
    const std::array<int, 3> key{fluid_sfont_get_id(fluid_preset_get_sfont(preset)),
                                 fluid_preset_get_banknum(preset), fluid_preset_get_num(preset)};
    // Songs switch between a few presets over and over: the last one pinned for the channel is the
    // common case, checked before the whole list.
    auto& last = m_lastPinned[static_cast<std::size_t>(channel)];
    if (key == last)
        return;
    if (std::find(m_pinned.begin(), m_pinned.end(), key) == m_pinned.end()) {
        if (fluid_synth_pin_preset(m_synth->synth(), key[0], key[1], key[2]) != FLUID_OK)
            return;
        m_pinned.push_back(key);
    }
    last = key;
}

void MidiDecoder::unpinAll()
{
    for (const auto& key : m_pinned)
        fluid_synth_unpin_preset(m_synth->synth(), key[0], key[1], key[2]);
    m_pinned.clear();
    m_lastPinned.fill({-1, -1, -1});
}

OpenResult openMidiDecoder(const std::string& path, std::shared_ptr<MidiSynthCache> cache,
                           const std::string& soundFontPath)
{
    OpenResult result;
    auto fail = [&result](OpenError error, std::string message) {
        result.error = error;
        result.message = std::move(message);
        return std::move(result);
    };

    try {
        struct stat st
        {
        };
        if (::stat(path.c_str(), &st) != 0)
            return fail(OpenError::FileNotFound, "no file at " + path);
        if (!S_ISREG(st.st_mode))
            return fail(OpenError::InvalidFile, "not a regular file: " + path);
        if (static_cast<std::uint64_t>(st.st_size) > kMaxMidiFileBytes) {
            result.tooLarge = {FileLimit::FileSize, static_cast<std::uint64_t>(st.st_size),
                               kMaxMidiFileBytes};
            return fail(OpenError::TooLarge, "larger than the " + std::to_string(kMaxMidiFileBytes >> 20) +
                                                 " MB a MIDI file may have: " + path);
        }

        // Read once, here: passes and seeks play from memory.
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (!file)
            return fail(OpenError::FileNotFound, "cannot read " + path);
        std::vector<std::uint8_t> bytes;
        bytes.reserve(static_cast<std::size_t>(st.st_size));
        std::uint8_t buffer[65536];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            bytes.insert(bytes.end(), buffer, buffer + got);
        const bool readError = std::ferror(file) != 0;
        std::fclose(file);
        if (readError)
            return fail(OpenError::FileNotFound, "read error in " + path);

        std::string why;
        MidiEventBudget budget;
        std::optional<MidiSequence> sequence = parseMidiFile(bytes, &why, &budget);
        if (!sequence && budget.exceeded) {
            result.tooLarge = {FileLimit::EventMemory, budget.needed, budget.bytes};
            return fail(OpenError::TooLarge, why + ": " + path);
        }
        if (!sequence)
            return fail(OpenError::InvalidFile, why);
        // The file's bytes are not needed any more: the synthesiser's load below should not find them.
        std::vector<std::uint8_t>().swap(bytes);

        SoundFontProblem problem = SoundFontProblem::Rejected;
        std::unique_ptr<MidiSynth> synth = cache->acquire(soundFontPath, &why, &problem);
        if (!synth) {
            result.soundFontProblem = problem;
            return fail(OpenError::SoundFontMissing, why);
        }
        // The song's samples start loading now, beside the open, and are there by the time the user
        // plays (the first render waits for them if not).
        result.decoder =
            std::make_unique<MidiDecoder>(std::move(*sequence), std::move(synth), std::move(cache));
        return result;
    } catch (const std::bad_alloc&) {
        result.decoder.reset();
        return fail(OpenError::OutOfMemory, "out of memory opening " + path);
    }
}

} // namespace qb::audio
