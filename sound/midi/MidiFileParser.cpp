#include "sound/midi/MidiFileParser.h"

#include "MidiSysex.h"
#include "sound/decode/Decoder.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
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

// What a track yields, one item at a time, in the order of the file.
struct TrackItem
{
    enum Kind
    {
        Event, // a channel message or a whole system-exclusive message (sysex: the body's place)
        Tempo,
        LoopStartMarker,
        LoopEndMarker,
        LoopController, // control change 111 (also an Event: it is sent too)
    };
    Kind kind = Event;
    std::int64_t tick = 0;
    MidiEvent event;           // Event: the tick in its frame field
    std::uint32_t tempo = 0;   // Tempo
    std::size_t sysexFrom = 0; // Event with status F0: where its body lies in the track's data
};

// Reads one track's events, one at a time: a track of a merge, which is always at the next item of
// its track. Stops at the end-of-track event, the end of the data or the first damaged event; what
// came before the damage is kept.
class TrackCursor
{
public:
    explicit TrackCursor(std::span<const std::uint8_t> data) : m_data(data) {}

    // The next item, or false at the end of the track (endTick() then holds where it ends).
    bool next(TrackItem& item)
    {
        while (!m_ended && m_pos < m_data.size()) {
            std::uint32_t delta = 0;
            if (!readVarLen(delta) || m_pos >= m_data.size())
                break;
            m_tick += delta;
            std::uint8_t status = m_data[m_pos];
            if (status >= 0x80)
                ++m_pos;
            else if (m_running != 0)
                status = m_running;
            else
                break;

            item.tick = m_tick;
            if (status < 0xF0) {
                m_running = status;
                if (!readChannelMessage(status, item))
                    break;
                m_endTick = m_tick;
                return true;
            }
            m_running = 0;
            if (status == 0xF0 || status == 0xF7) {
                bool kept = false;
                if (!readSysex(status, item, kept))
                    break;
                m_endTick = m_tick;
                if (kept)
                    return true;
            } else if (status == 0xFF) {
                bool endOfTrack = false;
                bool kept = false;
                if (!readMeta(item, endOfTrack, kept))
                    break;
                m_endTick = m_tick;
                if (endOfTrack)
                    m_ended = true;
                else if (kept)
                    return true;
            } else {
                break; // system common and real-time messages have no place in a file
            }
        }
        m_ended = true;
        return false;
    }

    // The tick at which the track ends: its end-of-track event, or the last event read.
    std::int64_t endTick() const { return m_endTick; }
    const std::uint8_t* data() const { return m_data.data(); }

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

    bool readChannelMessage(std::uint8_t status, TrackItem& item)
    {
        const int kind = status & 0xF0;
        const std::size_t size = (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
        if (m_pos + size > m_data.size())
            return false;
        MidiEvent e;
        e.frame = m_tick;
        e.status = status;
        e.data1 = m_data[m_pos];
        e.data2 = size == 2 ? m_data[m_pos + 1] : 0;
        if (((e.data1 | e.data2) & 0x80) != 0)
            return false;
        m_pos += size;
        item.kind =
            kind == 0xB0 && e.data1 == kLoopStartController ? TrackItem::LoopController : TrackItem::Event;
        item.event = e;
        return true;
    }

    bool readSysex(std::uint8_t status, TrackItem& item, bool& kept)
    {
        std::uint32_t length = 0;
        if (!readVarLen(length) || length > m_data.size() - m_pos)
            return false;
        const std::size_t from = m_pos;
        m_pos += length;
        // F7 packets continue a message split over several events or carry raw bytes; the synthesiser
        // only understands whole messages, so only complete F0 messages are kept.
        if (status != 0xF0)
            return true;
        std::uint32_t bodyLength = length;
        if (bodyLength > 0 && m_data[from + bodyLength - 1] == 0xF7)
            --bodyLength;
        if (bodyLength == 0 || bodyLength > MidiEvent::kMaxSysexLength)
            return true;
        item.kind = TrackItem::Event;
        item.event = MidiEvent{};
        item.event.frame = m_tick;
        item.event.status = 0xF0;
        item.event.setSysexLength(bodyLength);
        item.sysexFrom = from;
        kept = true;
        return true;
    }

    bool readMeta(TrackItem& item, bool& endOfTrack, bool& kept)
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
            if (tempo != 0) {
                item.kind = TrackItem::Tempo;
                item.tempo = tempo;
                kept = true;
            }
        } else if (type == 0x06 && markerIs(body, length, "loopStart")) {
            item.kind = TrackItem::LoopStartMarker;
            kept = true;
        } else if (type == 0x06 && markerIs(body, length, "loopEnd")) {
            item.kind = TrackItem::LoopEndMarker;
            kept = true;
        }
        return true;
    }

    std::span<const std::uint8_t> m_data;
    std::size_t m_pos = 0;
    std::int64_t m_tick = 0;
    std::int64_t m_endTick = 0;
    std::uint8_t m_running = 0;
    bool m_ended = false;
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

std::uint64_t midiEventMemoryLimit()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return std::uint64_t{1} << 30;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) / 4;
}

std::optional<MidiSequence> parseMidiFile(std::span<const std::uint8_t> fileBytes, std::string* why,
                                          MidiEventBudget* budget)
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

    // The track chunks, in the order of the file.
    std::vector<std::span<const std::uint8_t>> tracks;
    std::uint64_t pos = 8 + std::uint64_t{headerLength};
    while (pos + 8 <= bytes.size()) {
        const std::uint8_t* head = bytes.data() + pos;
        const std::uint64_t length = bigEndian32(head + 4);
        const std::uint64_t start = pos + 8;
        if (hasTag(bytes, pos, "MTrk")) {
            const std::uint64_t end = std::min<std::uint64_t>(bytes.size(), start + length);
            tracks.push_back(bytes.subspan(start, end - start));
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
    if (tracks.empty())
        return fail("no track chunk");
    sequence.trackCount = static_cast<int>(tracks.size());

    // A first walk counts what the sequence will hold, so that it is allocated once and exactly, and a
    // file whose events would not fit is refused before anything is allocated for them.
    std::uint64_t eventCount = 0;
    std::uint64_t sysexBytes = 0;
    std::int64_t endTick = 0;
    for (const auto& data : tracks) {
        TrackCursor cursor(data);
        TrackItem item;
        while (cursor.next(item)) {
            if (item.kind == TrackItem::Event || item.kind == TrackItem::LoopController) {
                ++eventCount;
                sysexBytes += item.event.sysexLength();
            }
        }
        endTick = std::max(endTick, cursor.endTick());
    }
    MidiEventBudget machine;
    MidiEventBudget& limit = budget ? *budget : machine;
    const std::uint64_t needed = eventCount * sizeof(MidiEvent) + sysexBytes;
    if (needed > limit.bytes || sysexBytes > std::numeric_limits<std::uint32_t>::max()) {
        limit.exceeded = true;
        limit.needed = needed;
        return fail(std::to_string(eventCount) + " events need " + std::to_string(needed) +
                    " bytes, more than the " + std::to_string(limit.bytes) + " bytes a song may take here");
    }
    std::vector<MidiEvent>& events = sequence.events;
    events.reserve(static_cast<std::size_t>(eventCount));
    sequence.sysexData.reserve(static_cast<std::size_t>(sysexBytes));

    const bool smpte = smpteFramesPerTick > 0.0;
    auto framesPerTick = [&](std::uint32_t tempo) {
        return smpte ? smpteFramesPerTick : tempo * (double(kEngineRate) / 1e6) / division;
    };
    // The tempo map as the merge meets it: a tempo change applies to the events after its tick; one at
    // the very tick of an event places it at the same frame either way.
    std::vector<TempoChange> tempos;
    double segmentFrame = 0.0;
    std::int64_t segmentTick = 0;
    double perTick = framesPerTick(kDefaultTempo);
    auto changeTempo = [&](std::int64_t tick, std::uint32_t tempo) {
        tempos.push_back({tick, tempo});
        if (smpte)
            return;
        segmentFrame += static_cast<double>(tick - segmentTick) * perTick;
        segmentTick = tick;
        perTick = framesPerTick(tempo);
    };

    // Merges the tracks: events at the same tick keep the order of their tracks, and within a track
    // the order of the file. Each track is already in time order, so a heap of the tracks by their
    // next item (tick, then track) does it without a copy of the events; the track at the top is
    // advanced in place and sifted down once.
    std::vector<TrackCursor> cursors;
    std::vector<TrackItem> items(tracks.size());
    cursors.reserve(tracks.size());
    struct Key
    {
        std::int64_t tick;
        std::size_t track;
        bool operator<(const Key& o) const { return tick != o.tick ? tick < o.tick : track < o.track; }
    };
    std::vector<Key> heap;
    heap.reserve(tracks.size());
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        cursors.emplace_back(tracks[t]);
        if (cursors[t].next(items[t]))
            heap.push_back({items[t].tick, t});
    }
    auto siftDown = [&heap](std::size_t at) {
        const std::size_t n = heap.size();
        const Key moving = heap[at];
        for (;;) {
            std::size_t child = 2 * at + 1;
            if (child >= n)
                break;
            if (child + 1 < n && heap[child + 1] < heap[child])
                ++child;
            if (!(heap[child] < moving))
                break;
            heap[at] = heap[child];
            at = child;
        }
        heap[at] = moving;
    };
    for (std::size_t i = heap.size() / 2; i-- > 0;)
        siftDown(i);

    LoopTicks loop;
    bool previousWasReset = false;
    while (!heap.empty()) {
        const std::size_t track = heap.front().track;
        const TrackItem& item = items[track];
        switch (item.kind) {
        case TrackItem::Tempo:
            changeTempo(item.tick, item.tempo);
            break;
        case TrackItem::LoopStartMarker:
            LoopTicks::note(loop.markerStart, item.tick);
            break;
        case TrackItem::LoopEndMarker:
            LoopTicks::note(loop.markerEnd, item.tick);
            break;
        case TrackItem::LoopController:
            LoopTicks::note(loop.controller, item.tick);
            [[fallthrough]];
        case TrackItem::Event: {
            MidiEvent e = item.event;
            e.frame = toFrame(segmentFrame + static_cast<double>(item.tick - segmentTick) * perTick);
            const std::uint8_t* body = cursors[track].data() + item.sysexFrom;
            // A run of system resets at one frame does the work of the first of them: the rest are
            // dropped here rather than each re-programming every channel.
            const bool reset = e.status == 0xF0 && isSystemResetSysex(body, e.sysexLength());
            if (reset && previousWasReset && events.back().frame == e.frame)
                break;
            previousWasReset = reset;
            if (e.status == 0xF0) {
                e.sysexOffset = static_cast<std::uint32_t>(sequence.sysexData.size());
                sequence.sysexData.insert(sequence.sysexData.end(), body, body + e.sysexLength());
            }
            events.push_back(e);
            break;
        }
        }
        if (cursors[track].next(items[track])) {
            heap.front().tick = items[track].tick;
        } else {
            heap.front() = heap.back();
            heap.pop_back();
        }
        if (!heap.empty())
            siftDown(0);
    }

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

    sequence.lengthFrames = toFrame(segmentFrame + static_cast<double>(endTick - segmentTick) * perTick);
    if (sequence.loopStartFrame && !sequence.loopEndFrame)
        sequence.loopEndFrame = sequence.lengthFrames;
    return sequence;
}

} // namespace qb::audio
