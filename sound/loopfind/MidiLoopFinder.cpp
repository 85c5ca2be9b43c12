#include "sound/loopfind/MidiLoopFinder.h"

#include <algorithm>

namespace qb::loopfind {

namespace {

constexpr std::size_t kMaxTicks = 40000;
constexpr int kMinNotes = 4;

// Events that neither sound nor set anything a later note hears: text of every kind, the end of a
// track, time and key signatures, sequencer data.
bool silentMeta(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() < 2 || bytes[0] != 0xFF)
        return false;
    const std::uint8_t type = bytes[1];
    return (type >= 0x01 && type <= 0x0F) || type == 0x2F || type == 0x54 || type == 0x58 || type == 0x59 ||
           type == 0x7F;
}

bool noteOn(const std::vector<std::uint8_t>& bytes)
{
    return bytes.size() >= 3 && (bytes[0] & 0xF0) == 0x90 && bytes[2] > 0;
}

std::uint64_t mix(std::uint64_t hash, std::uint64_t value)
{
    // FNV-1a over the value's bytes.
    for (int i = 0; i < 8; ++i) {
        hash ^= (value >> (8 * i)) & 0xFF;
        hash *= 0x100000001B3ULL;
    }
    return hash;
}

struct Run
{
    std::size_t first = 0; // group index of the first repeated tick
    std::size_t lag = 0;   // groups between the two copies
    std::uint32_t span = 0;
};

} // namespace

std::optional<MidiLoop> findMidiLoop(const std::vector<std::vector<MidiTrackEvent>>& tracks,
                                     const std::atomic<bool>* cancel)
{
    struct Entry
    {
        std::uint32_t tick;
        std::uint32_t track;
        const std::vector<std::uint8_t>* bytes;
    };
    std::vector<Entry> entries;
    std::uint32_t lastTick = 0;
    for (std::size_t t = 0; t < tracks.size(); ++t)
        for (const MidiTrackEvent& e : tracks[t]) {
            lastTick = std::max(lastTick, e.tick);
            if (!e.bytes.empty() && !silentMeta(e.bytes))
                entries.push_back({e.tick, std::uint32_t(t), &e.bytes});
        }
    // Within a tick, each track's events keep their order (a note's end before the next one's start).
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.track < b.track;
    });

    // One symbol per tick that holds events: what every track plays there and how long until the next.
    std::vector<std::uint32_t> ticks;
    std::vector<std::uint64_t> groups;
    std::vector<int> notesBefore{0};
    for (std::size_t i = 0; i < entries.size();) {
        std::uint64_t hash = 0xCBF29CE484222325ULL;
        int notes = 0;
        std::size_t j = i;
        for (; j < entries.size() && entries[j].tick == entries[i].tick; ++j) {
            hash = mix(hash, entries[j].track);
            hash = mix(hash, entries[j].bytes->size());
            for (std::uint8_t byte : *entries[j].bytes)
                hash = mix(hash, byte);
            notes += noteOn(*entries[j].bytes) ? 1 : 0;
        }
        ticks.push_back(entries[i].tick);
        groups.push_back(hash);
        notesBefore.push_back(notesBefore.back() + notes);
        i = j;
    }
    const std::size_t n = ticks.size();
    if (n < 2 || n > kMaxTicks)
        return std::nullopt;
    std::vector<std::uint64_t> symbols(n);
    for (std::size_t i = 0; i < n; ++i)
        symbols[i] = mix(groups[i], i + 1 < n ? std::uint64_t(ticks[i + 1] - ticks[i]) : ~0ULL);

    // For each shift in groups, the longest stretch whose symbols come back that many groups later:
    // the same events at the same distances, so the same ticks apart all along.
    std::vector<Run> runs;
    for (std::size_t lag = 1; lag < n; ++lag) {
        if ((lag & 255) == 0 && cancel && cancel->load(std::memory_order_relaxed))
            return std::nullopt;
        Run best;
        std::size_t length = 0;
        const auto finish = [&](std::size_t end) {
            if (length == 0)
                return;
            const std::size_t first = end - length;
            // The repeat holds up to the next group's tick; at the very end, up to the last event.
            const std::uint32_t stop = end < n ? ticks[end] : lastTick;
            const std::uint32_t span = stop - ticks[first];
            if (span > best.span)
                best = {first, lag, span};
            length = 0;
        };
        for (std::size_t i = 0; i + lag < n; ++i) {
            if (symbols[i] == symbols[i + lag])
                ++length;
            else
                finish(i);
        }
        finish(n - lag);
        if (best.span > 0)
            runs.push_back(best);
    }
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.span > b.span; });
    for (const Run& run : runs) {
        const std::uint32_t start = ticks[run.first];
        const std::uint32_t loop = ticks[run.first + run.lag] - start;
        if (run.span < loop || notesBefore[run.first + run.lag] - notesBefore[run.first] < kMinNotes)
            continue;
        const std::uint32_t secondEnd = start + loop + run.span;
        const std::uint32_t ending = lastTick > secondEnd ? lastTick - secondEnd : 0;
        if (std::uint64_t(start) + ending > 2ULL * loop)
            continue;
        return MidiLoop{start, start + loop, run.span};
    }
    return std::nullopt;
}

} // namespace qb::loopfind
