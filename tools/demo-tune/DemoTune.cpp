// Writes "Hajime no Loop", Quillbeat's demo tune: a 32-second Standard MIDI File (format 1, 120 beats
// a minute, 16 bars of 4/4) for General MIDI instruments, written so that its last bar leads back
// into its first and the file loops without a seam. The output depends on nothing but this program.
//
//   quillbeat_demo_tune OUTPUT.mid
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kDivision = 480; // ticks per quarter note
constexpr int kEighth = kDivision / 2;
constexpr int kBar = 4 * kDivision;
constexpr int kBars = 16;
constexpr std::uint32_t kTempo = 500000; // microseconds per quarter note: 120 beats a minute

// The title in code page 932 (Shift_JIS), the encoding Japanese MIDI files give their titles:
// "はじめのループ".
const std::vector<std::uint8_t> kTitle = {0x82, 0xcd, 0x82, 0xb6, 0x82, 0xdf, 0x82,
                                          0xcc, 0x83, 0x8b, 0x81, 0x5b, 0x83, 0x76};
const std::string kCopyright = "Quillbeat demo tune, free to use with the program";

struct Event
{
    int tick;
    int order; // at the same tick: note-offs (0) before everything else (1)
    std::vector<std::uint8_t> bytes;
};

class Track
{
public:
    void meta(int tick, std::uint8_t type, const std::vector<std::uint8_t>& data)
    {
        std::vector<std::uint8_t> bytes = {0xff, type};
        appendLength(bytes, static_cast<std::uint32_t>(data.size()));
        bytes.insert(bytes.end(), data.begin(), data.end());
        m_events.push_back({tick, 1, bytes});
    }
    void message(int tick, std::uint8_t status, std::uint8_t a, std::uint8_t b)
    {
        m_events.push_back({tick, 1, {status, a, b}});
    }
    void program(int channel, std::uint8_t number)
    {
        m_events.push_back({0, 1, {static_cast<std::uint8_t>(0xc0 | channel), number}});
    }
    void note(int channel, int start, int length, int pitch, int velocity)
    {
        const auto ch = static_cast<std::uint8_t>(channel);
        m_events.push_back({start,
                            1,
                            {static_cast<std::uint8_t>(0x90 | ch), static_cast<std::uint8_t>(pitch),
                             static_cast<std::uint8_t>(velocity)}});
        m_events.push_back(
            {start + length, 0, {static_cast<std::uint8_t>(0x80 | ch), static_cast<std::uint8_t>(pitch), 0}});
    }

    // The chunk, ending exactly at the end of the last bar so that the song length is whole bars.
    std::vector<std::uint8_t> chunk() const
    {
        std::vector<Event> events = m_events;
        // Stable: events at one tick keep the order they were added in, note-offs first.
        std::stable_sort(events.begin(), events.end(), [](const Event& x, const Event& y) {
            return x.tick != y.tick ? x.tick < y.tick : x.order < y.order;
        });
        std::vector<std::uint8_t> body;
        int now = 0;
        for (const Event& e : events) {
            appendLength(body, static_cast<std::uint32_t>(e.tick - now));
            body.insert(body.end(), e.bytes.begin(), e.bytes.end());
            now = e.tick;
        }
        appendLength(body, static_cast<std::uint32_t>(kBars * kBar - now));
        body.insert(body.end(), {0xff, 0x2f, 0x00});
        std::vector<std::uint8_t> out = {'M', 'T', 'r', 'k'};
        appendBig(out, static_cast<std::uint32_t>(body.size()), 4);
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }

    static void appendLength(std::vector<std::uint8_t>& out, std::uint32_t value)
    {
        std::uint8_t groups[5];
        int n = 0;
        do {
            groups[n++] = static_cast<std::uint8_t>(value & 0x7f);
            value >>= 7;
        } while (value != 0);
        while (n > 1)
            out.push_back(static_cast<std::uint8_t>(groups[--n] | 0x80));
        out.push_back(groups[0]);
    }
    static void appendBig(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes)
    {
        for (int i = bytes - 1; i >= 0; --i)
            out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }

private:
    std::vector<Event> m_events;
};

struct Chord
{
    int bass;
    int tones[3];
};

// C, A minor, F, G, four times: the last G resolves onto the first C when the file loops.
const Chord kChords[4] = {{36, {60, 64, 67}}, {33, {57, 60, 64}}, {41, {57, 60, 65}}, {43, {55, 59, 62}}};

struct Note
{
    int pitch; // 0: a rest
    int eighths;
};

// The flute's tune, bar by bar (eight eighths each).
const std::vector<std::vector<Note>> kMelody = {
    {{76, 2}, {79, 2}, {84, 4}},
    {{81, 2}, {76, 2}, {72, 2}, {76, 2}},
    {{77, 3}, {81, 1}, {84, 2}, {81, 2}},
    {{79, 4}, {74, 2}, {71, 2}},
    {{72, 1}, {76, 1}, {79, 2}, {76, 2}, {79, 2}},
    {{81, 3}, {79, 1}, {76, 4}},
    {{77, 2}, {81, 2}, {79, 2}, {77, 2}},
    {{74, 4}, {0, 4}},
    {{79, 2}, {84, 2}, {83, 2}, {79, 2}},
    {{81, 4}, {84, 2}, {81, 2}},
    {{84, 3}, {81, 1}, {77, 4}},
    {{79, 2}, {81, 2}, {83, 2}, {86, 2}},
    {{88, 4}, {86, 2}, {84, 2}},
    {{81, 6}, {0, 2}},
    {{77, 2}, {76, 2}, {74, 2}, {72, 2}},
    {{74, 4}, {71, 2}, {0, 2}},
};

enum Channel
{
    kFlute = 0,
    kPiano = 1,
    kStrings = 2,
    kBass = 3,
    kDrums = 9,
};

std::vector<std::uint8_t> song()
{
    Track conductor;
    conductor.meta(0, 0x03, kTitle);
    conductor.meta(0, 0x02, std::vector<std::uint8_t>(kCopyright.begin(), kCopyright.end()));
    conductor.meta(0, 0x51,
                   {static_cast<std::uint8_t>(kTempo >> 16), static_cast<std::uint8_t>(kTempo >> 8),
                    static_cast<std::uint8_t>(kTempo)});
    conductor.meta(0, 0x58, {4, 2, 24, 8});

    Track flute;
    flute.program(kFlute, 73);               // Flute
    flute.message(0, 0xb0 | kFlute, 91, 50); // reverb
    Track piano;
    piano.program(kPiano, 4);                // Electric Piano 1
    piano.message(0, 0xb0 | kPiano, 10, 40); // pan a little left
    Track strings;
    strings.program(kStrings, 48); // String Ensemble 1
    strings.message(0, 0xb0 | kStrings, 91, 70);
    strings.message(0, 0xb0 | kStrings, 10, 88); // a little right
    Track bass;
    bass.program(kBass, 33); // Electric Bass (finger)
    Track drums;             // channel 10: the General MIDI kit

    static constexpr int kArpeggio[8] = {0, 1, 2, 1, 0, 1, 2, 1};
    for (int bar = 0; bar < kBars; ++bar) {
        const int start = bar * kBar;
        const Chord& chord = kChords[bar % 4];

        int at = start;
        for (const Note& n : kMelody[static_cast<std::size_t>(bar)]) {
            if (n.pitch != 0)
                flute.note(kFlute, at, n.eighths * kEighth - 20, n.pitch, 92);
            at += n.eighths * kEighth;
        }
        for (int i = 0; i < 8; ++i)
            piano.note(kPiano, start + i * kEighth, kEighth, chord.tones[kArpeggio[i]] + 12,
                       i % 2 == 0 ? 62 : 50);
        for (int tone : chord.tones)
            strings.note(kStrings, start, kBar, tone, 48);
        bass.note(kBass, start, 2 * kDivision - 30, chord.bass, 96);
        bass.note(kBass, start + 2 * kDivision, kDivision - 30, chord.bass + 7, 84);
        bass.note(kBass, start + 3 * kDivision, kDivision - 30, chord.bass + 12, 80);

        for (int beat = 0; beat < 4; ++beat) {
            const int t = start + beat * kDivision;
            drums.note(kDrums, t, kEighth, beat % 2 == 0 ? 36 : 38, beat % 2 == 0 ? 100 : 84);
        }
        for (int i = 0; i < 8; ++i)
            drums.note(kDrums, start + i * kEighth, kEighth / 2, 42, i % 2 == 0 ? 70 : 52);
    }

    std::vector<std::uint8_t> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1};
    const Track* tracks[] = {&conductor, &flute, &piano, &strings, &bass, &drums};
    Track::appendBig(file, static_cast<std::uint32_t>(std::size(tracks)), 2);
    Track::appendBig(file, kDivision, 2);
    for (const Track* track : tracks) {
        const std::vector<std::uint8_t> chunk = track->chunk();
        file.insert(file.end(), chunk.begin(), chunk.end());
    }
    return file;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: quillbeat_demo_tune OUTPUT.mid\n");
        return 2;
    }
    const std::vector<std::uint8_t> bytes = song();
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "quillbeat_demo_tune: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
