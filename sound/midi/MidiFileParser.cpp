#include "sound/midi/MidiFileParser.h"

#include "MidiSysex.h"
#include "sound/decode/Decoder.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace qb::audio {

namespace {

constexpr std::uint32_t kDefaultTempo = 500000; // microseconds per quarter note: 120 beats per minute

std::uint32_t bigEndian32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::uint32_t littleEndian32(const std::uint8_t* p)
{
    return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

bool hasTag(std::span<const std::uint8_t> bytes, std::size_t at, const char* tag)
{
    return at + 4 <= bytes.size() && std::memcmp(bytes.data() + at, tag, 4) == 0;
}

// A chunk tag of some other writer: four printable characters. Anything else is garbage to skip.
bool looksLikeTag(const std::uint8_t* p)
{
    return std::all_of(p, p + 4, [](std::uint8_t c) { return c >= 0x20 && c < 0x7F; });
}

// A file can spell times far beyond any real song (years of maximal delta times at the slowest
// tempo); they are held at a bound that still fits 64-bit frame counts.
std::int64_t toFrame(double exact)
{
    constexpr double kLatest = 4.0e18;
    return std::llround(std::clamp(exact, 0.0, kLatest));
}

// A set-tempo meta event: `tick` from the start of the song.
struct TempoChange
{
    std::int64_t tick = 0;
    std::uint32_t tempo = 0;
};

// The earliest tick of each loop mark over all tracks.
struct LoopTicks
{
    std::optional<std::int64_t> markerStart;
    std::optional<std::int64_t> markerEnd;
    std::optional<std::int64_t> controller;

    static void note(std::optional<std::int64_t>& mark, std::int64_t tick)
    {
        if (!mark || tick < *mark)
            mark = tick;
    }
};

constexpr int kLoopStartController = 111;

bool markerIs(const std::uint8_t* body, std::uint32_t length, std::string_view word)
{
    if (length != word.size())
        return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (std::tolower(body[i]) != std::tolower(static_cast<unsigned char>(word[i])))
            return false;
    }
    return true;
}

class TrackReader
{
public:
    // Events go to `out` with their tick in MidiEvent::frame until they are placed in time.
    TrackReader(std::span<const std::uint8_t> data, std::vector<MidiEvent>& out,
                std::vector<TempoChange>& tempos, std::vector<std::uint8_t>& sysex, LoopTicks& loop)
        : m_data(data), m_out(out), m_tempos(tempos), m_sysex(sysex), m_loop(loop)
    {
    }

    // Reads events until the end-of-track event, the end of the data, the first damaged event or
    // the event that would pass kMaxMidiEvents (then full() is true). Returns the tick at which the
    // track ends.
    std::int64_t read()
    {
        std::int64_t tick = 0;
        std::int64_t endTick = 0;
        std::uint8_t running = 0;
        while (m_pos < m_data.size()) {
            std::uint32_t delta = 0;
            if (!readVarLen(delta) || m_pos >= m_data.size())
                break;
            tick += delta;
            std::uint8_t status = m_data[m_pos];
            if (status >= 0x80)
                ++m_pos;
            else if (running != 0)
                status = running;
            else
                break;

            if (status < 0xF0) {
                running = status;
                if (!readChannelMessage(tick, status))
                    break;
            } else if (status == 0xF0 || status == 0xF7) {
                running = 0;
                if (!readSysex(tick, status))
                    break;
            } else if (status == 0xFF) {
                running = 0;
                bool endOfTrack = false;
                if (!readMeta(tick, endOfTrack))
                    break;
                if (endOfTrack)
                    return tick;
            } else {
                break; // system common and real-time messages have no place in a file
            }
            endTick = tick;
        }
        return endTick;
    }

    bool full() const { return m_full; }

private:
    bool readVarLen(std::uint32_t& value)
    {
        value = 0;
        for (int i = 0; i < 4; ++i) {
            if (m_pos >= m_data.size())
                return false;
            const std::uint8_t b = m_data[m_pos++];
            value = (value << 7) | (b & 0x7Fu);
            if ((b & 0x80) == 0)
                return true;
        }
        return false;
    }

    bool readChannelMessage(std::int64_t tick, std::uint8_t status)
    {
        const int kind = status & 0xF0;
        const std::size_t size = (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
        if (m_pos + size > m_data.size())
            return false;
        MidiEvent e;
        e.frame = tick;
        e.status = status;
        e.data1 = m_data[m_pos];
        e.data2 = size == 2 ? m_data[m_pos + 1] : 0;
        if (((e.data1 | e.data2) & 0x80) != 0)
            return false;
        m_pos += size;
        if (kind == 0xB0 && e.data1 == kLoopStartController)
            LoopTicks::note(m_loop.controller, tick);
        return push(e);
    }

    bool readSysex(std::int64_t tick, std::uint8_t status)
    {
        std::uint32_t length = 0;
        if (!readVarLen(length) || length > m_data.size() - m_pos)
            return false;
        const std::uint8_t* body = m_data.data() + m_pos;
        m_pos += length;
        // F7 packets continue a message split over several events or carry raw bytes; the synthesiser
        // only understands whole messages, so only complete F0 messages are kept.
        if (status != 0xF0)
            return true;
        std::uint32_t bodyLength = length;
        if (bodyLength > 0 && body[bodyLength - 1] == 0xF7)
            --bodyLength;
        if (bodyLength == 0 || bodyLength > MidiEvent::kMaxSysexLength)
            return true;
        MidiEvent e;
        e.frame = tick;
        e.status = 0xF0;
        e.sysexOffset = static_cast<std::uint32_t>(m_sysex.size());
        e.setSysexLength(bodyLength);
        if (!push(e))
            return false;
        m_sysex.insert(m_sysex.end(), body, body + bodyLength);
        return true;
    }

    bool push(const MidiEvent& e)
    {
        if (m_out.size() >= kMaxMidiEvents) {
            m_full = true;
            return false;
        }
        m_out.push_back(e);
        return true;
    }

    bool readMeta(std::int64_t tick, bool& endOfTrack)
    {
        if (m_pos >= m_data.size())
            return false;
        const std::uint8_t type = m_data[m_pos++];
        std::uint32_t length = 0;
        if (!readVarLen(length) || length > m_data.size() - m_pos)
            return false;
        const std::uint8_t* body = m_data.data() + m_pos;
        m_pos += length;
        if (type == 0x2F) {
            endOfTrack = true;
        } else if (type == 0x51 && length >= 3) {
            const std::uint32_t tempo =
                (std::uint32_t{body[0]} << 16) | (std::uint32_t{body[1]} << 8) | body[2];
            if (tempo != 0)
                m_tempos.push_back({tick, tempo});
        } else if (type == 0x06 && markerIs(body, length, "loopStart")) {
            LoopTicks::note(m_loop.markerStart, tick);
        } else if (type == 0x06 && markerIs(body, length, "loopEnd")) {
            LoopTicks::note(m_loop.markerEnd, tick);
        }
        return true;
    }

    std::span<const std::uint8_t> m_data;
    std::size_t m_pos = 0;
    std::vector<MidiEvent>& m_out;
    std::vector<TempoChange>& m_tempos;
    std::vector<std::uint8_t>& m_sysex;
    LoopTicks& m_loop;
    bool m_full = false;
};

// The sequence inside a RIFF MIDI file, or the data itself when it is not one.
std::optional<std::span<const std::uint8_t>> unwrapRiff(std::span<const std::uint8_t> bytes)
{
    if (!hasTag(bytes, 0, "RIFF"))
        return bytes;
    if (!hasTag(bytes, 8, "RMID"))
        return std::nullopt;
    std::uint64_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const std::uint64_t length = littleEndian32(bytes.data() + pos + 4);
        const std::uint64_t start = pos + 8;
        if (hasTag(bytes, pos, "data")) {
            const std::uint64_t end = std::min<std::uint64_t>(bytes.size(), start + length);
            return bytes.subspan(start, end - start);
        }
        pos = start + length + (length & 1);
    }
    return std::nullopt;
}

} // namespace

std::optional<MidiSequence> parseMidiFile(std::span<const std::uint8_t> fileBytes, std::string* why)
{
    auto fail = [why](std::string reason) -> std::optional<MidiSequence> {
        if (why)
            *why = std::move(reason);
        return std::nullopt;
    };

    const auto unwrapped = unwrapRiff(fileBytes);
    if (!unwrapped)
        return fail("RIFF file without an RMID data chunk");
    const std::span<const std::uint8_t> bytes = *unwrapped;
    if (!hasTag(bytes, 0, "MThd") || bytes.size() < 14)
        return fail("no MIDI header chunk at the start");
    const std::uint32_t headerLength = bigEndian32(bytes.data() + 4);
    if (headerLength < 6)
        return fail("MIDI header chunk too short");

    MidiSequence sequence;
    sequence.format = (bytes[8] << 8) | bytes[9];
    const std::uint16_t division = static_cast<std::uint16_t>((bytes[12] << 8) | bytes[13]);

    // Frames per tick: with a metrical division it follows the tempo; with an SMPTE division
    // (frames per second x ticks per frame) it is fixed and tempo events do not apply.
    double smpteFramesPerTick = 0.0;
    if (division & 0x8000) {
        const int fps = -static_cast<std::int8_t>(division >> 8);
        const int ticksPerFrame = division & 0xFF;
        if ((fps != 24 && fps != 25 && fps != 29 && fps != 30) || ticksPerFrame == 0)
            return fail("unusable SMPTE time division");
        const double framesPerSecond = fps == 29 ? 30000.0 / 1001.0 : fps;
        smpteFramesPerTick = kEngineRate / (framesPerSecond * ticksPerFrame);
    } else if (division == 0) {
        return fail("time division of zero");
    }

    std::vector<MidiEvent>& events = sequence.events;
    std::vector<TempoChange> tempos;
    LoopTicks loop;
    std::int64_t endTick = 0;
    std::uint64_t pos = 8 + std::uint64_t{headerLength};
    while (pos + 8 <= bytes.size()) {
        const std::uint8_t* head = bytes.data() + pos;
        const std::uint64_t length = bigEndian32(head + 4);
        const std::uint64_t start = pos + 8;
        if (hasTag(bytes, pos, "MTrk")) {
            const std::uint64_t end = std::min<std::uint64_t>(bytes.size(), start + length);
            TrackReader reader(bytes.subspan(start, end - start), events, tempos, sequence.sysexData, loop);
            endTick = std::max(endTick, reader.read());
            ++sequence.trackCount;
            if (reader.full())
                return fail("more than " + std::to_string(kMaxMidiEvents) +
                            " events, the most a MIDI file may hold");
            pos = start + length;
        } else if (looksLikeTag(head) && start + length <= bytes.size()) {
            pos = start + length;
        } else {
            const auto* from = bytes.data() + pos + 1;
            const auto* end = bytes.data() + bytes.size();
            static constexpr std::uint8_t tag[] = {'M', 'T', 'r', 'k'};
            const auto* found = std::search(from, end, std::begin(tag), std::end(tag));
            if (found == end)
                break;
            pos = static_cast<std::uint64_t>(found - bytes.data());
        }
    }
    if (sequence.trackCount == 0)
        return fail("no track chunk");

    // Merges the tracks: events at the same tick keep the order of their tracks, and within a track
    // the order of the file. Each event's tick is in its frame field until it is placed.
    auto byTick = [](const MidiEvent& a, const MidiEvent& b) { return a.frame < b.frame; };
    std::stable_sort(events.begin(), events.end(), byTick);
    std::stable_sort(tempos.begin(), tempos.end(),
                     [](const TempoChange& a, const TempoChange& b) { return a.tick < b.tick; });

    const bool smpte = smpteFramesPerTick > 0.0;
    auto framesPerTick = [&](std::uint32_t tempo) {
        return smpte ? smpteFramesPerTick : tempo * (double(kEngineRate) / 1e6) / division;
    };
    double segmentFrame = 0.0;
    std::int64_t segmentTick = 0;
    double perTick = framesPerTick(kDefaultTempo);
    std::size_t nextTempo = 0;
    // A tempo change applies to the events after its tick; one at the very tick of an event places it
    // at the same frame either way.
    auto applyTemposUpTo = [&](std::int64_t tick) {
        for (; nextTempo < tempos.size() && tempos[nextTempo].tick <= tick; ++nextTempo) {
            if (smpte)
                continue;
            const TempoChange& t = tempos[nextTempo];
            segmentFrame += static_cast<double>(t.tick - segmentTick) * perTick;
            segmentTick = t.tick;
            perTick = framesPerTick(t.tempo);
        }
    };
    // The loop marks' frames, read off the tempo map as the events' are (each mark in its own walk:
    // the marks are few).
    auto frameOfTick = [&](std::int64_t tick) {
        double frame = 0.0;
        std::int64_t at = 0;
        double rate = framesPerTick(kDefaultTempo);
        for (const TempoChange& t : tempos) {
            if (t.tick > tick || smpte)
                break;
            frame += static_cast<double>(t.tick - at) * rate;
            at = t.tick;
            rate = framesPerTick(t.tempo);
        }
        return toFrame(frame + static_cast<double>(tick - at) * rate);
    };
    if (loop.markerStart) {
        sequence.loopStartFrame = frameOfTick(*loop.markerStart);
        if (loop.markerEnd)
            sequence.loopEndFrame = frameOfTick(*loop.markerEnd);
        sequence.loopSource = "the loopStart and loopEnd markers";
    } else if (loop.controller) {
        sequence.loopStartFrame = frameOfTick(*loop.controller);
        sequence.loopSource = "control change 111";
    }

    std::size_t kept = 0;
    bool previousWasReset = false;
    for (const MidiEvent& event : events) {
        applyTemposUpTo(event.frame);
        MidiEvent e = event;
        e.frame = toFrame(segmentFrame + static_cast<double>(e.frame - segmentTick) * perTick);
        // A run of system resets at one frame does the work of the first of them: the rest are
        // dropped here rather than each re-programming every channel.
        const bool reset = e.status == 0xF0 &&
                           isSystemResetSysex(sequence.sysexData.data() + e.sysexOffset, e.sysexLength());
        if (reset && previousWasReset && events[kept - 1].frame == e.frame)
            continue;
        previousWasReset = reset;
        events[kept++] = e;
    }
    events.resize(kept);
    events.shrink_to_fit();
    sequence.sysexData.shrink_to_fit();
    applyTemposUpTo(endTick);
    sequence.lengthFrames = toFrame(segmentFrame + static_cast<double>(endTick - segmentTick) * perTick);
    if (sequence.loopStartFrame && !sequence.loopEndFrame)
        sequence.loopEndFrame = sequence.lengthFrames;
    return sequence;
}

} // namespace qb::audio
