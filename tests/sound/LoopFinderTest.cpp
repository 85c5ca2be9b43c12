#include "sound/loopfind/LoopFinder.h"

#include "sound/loopfind/MidiLoopFinder.h"
#include "testkit/AudioFiles.h"
#include "testkit/LoopMarkedFiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>
#include <random>
#include <sndfile.h>
#include <vector>

using namespace qb::loopfind;

namespace {

constexpr int kRate = 44100;
using Samples = std::vector<float>;

// ---- Music made for the tests: four voices of different timbres (bass, lead, chords, drums) on a
// pentatonic scale at 120 beats a minute, notes chosen by a seed.

struct Note
{
    double start = 0;  // seconds
    double length = 0; // seconds until the decay has done its work
    double hz = 0;     // 0 for the unpitched drums
    float level = 0;
    int voice = 0;
};

double keyHz(int key)
{
    return 440.0 * std::pow(2.0, (key - 69) / 12.0);
}

std::vector<Note> compose(std::uint32_t seed, double seconds)
{
    std::mt19937 rng(seed);
    const int scale[] = {0, 2, 4, 7, 9};
    const auto pick = [&](int low, int octaves) {
        return low + 12 * int(rng() % unsigned(octaves)) + scale[rng() % 5];
    };
    const double sixteenth = 0.125;
    std::vector<Note> notes;
    for (double t = 0; t < seconds; t += sixteenth * (1 + rng() % 4))
        notes.push_back({t, 0.4, keyHz(pick(36, 2)), 0.25f, 0});
    for (double t = 0; t < seconds; t += sixteenth * (1 + rng() % 3))
        if (rng() % 5)
            notes.push_back({t, 0.6, keyHz(pick(62, 2)), 0.18f, 1});
    for (double t = 0; t < seconds; t += 8 * sixteenth) {
        const int root = pick(50, 1);
        for (int k : {0, 4, 7})
            notes.push_back({t, 1.5, keyHz(root + k), 0.07f, 2});
    }
    for (double t = 0; t < seconds; t += 2 * sixteenth) {
        const int beat = int(std::lround(t / sixteenth)) % 16;
        if (beat % 8 == 0)
            notes.push_back({t, 0.3, 55, 0.5f, 3}); // kick
        else if (beat % 8 == 4)
            notes.push_back({t, 0.2, 0, 0.2f, 4}); // snare
        else if (rng() % 3)
            notes.push_back({t, 0.05, 0, 0.08f, 5}); // hat
    }
    return notes;
}

// One cycle of each pitched voice's waveform: harmonics in different measures.
std::vector<float> cycle(int voice)
{
    constexpr int kSize = 2048;
    std::vector<float> table(kSize);
    for (int h = 1; h <= 12; ++h) {
        const double weight = voice == 0   ? 1.0 / h                          // bright, saw-like
                              : voice == 1 ? (h % 2 ? 1.0 / (h * h) : 0.0)    // hollow, odd harmonics
                              : voice == 2 ? (h <= 3 ? 1.0 / (h * h * h) : 0) // soft
                                           : (h == 1 ? 1.0 : 0.0);            // the kick's body
        for (int i = 0; i < kSize; ++i)
            table[std::size_t(i)] += float(weight * std::sin(2 * std::numbers::pi * h * i / kSize));
    }
    return table;
}

// Renders the notes into `frames` stereo frames. `performance` seeds what a player does not control
// note by note: the phase each note starts in, the drums' noise and a few milliseconds of timing, so
// that two performances of the same notes sound the same but are not the same waveform.
Samples render(const std::vector<Note>& notes, std::int64_t frames, std::uint32_t performance,
               bool humanise = false)
{
    Samples out(std::size_t(frames) * 2, 0.0f);
    const std::vector<float> tables[] = {cycle(0), cycle(1), cycle(2), cycle(3)};
    const float pans[] = {0.35f, 0.7f, 0.5f, 0.5f, 0.4f, 0.65f};
    std::mt19937 rng(performance);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (const Note& note : notes) {
        const double jitter = humanise ? 0.004 * unit(rng) : 0.0;
        const auto begin = std::int64_t(std::llround((note.start + jitter) * kRate));
        const auto length = std::int64_t(note.length * kRate);
        const double decay = 4.0 / double(length);
        double phase = (unit(rng) + 1) * 1024;
        for (std::int64_t i = 0; i < length && begin + i < frames; ++i) {
            if (begin + i < 0)
                continue;
            const double envelope = std::min(1.0, double(i) / 200) * std::exp(-decay * double(i));
            double v;
            if (note.voice <= 3) {
                const std::vector<float>& table = tables[std::min(note.voice, 3)];
                // The kick falls in pitch as it sounds.
                const double hz = note.voice == 3 ? note.hz * (1 + 2 * std::exp(-double(i) / 2000)) : note.hz;
                phase = std::fmod(phase + hz * 2048 / kRate, 2048.0);
                v = table[std::size_t(phase)];
            } else {
                v = unit(rng);
            }
            const auto s = float(v * envelope * note.level);
            out[std::size_t(begin + i) * 2] += s * (1 - pans[note.voice]);
            out[std::size_t(begin + i) * 2 + 1] += s * pans[note.voice];
        }
    }
    return out;
}

Samples slice(const Samples& s, std::int64_t from, std::int64_t to)
{
    return Samples(s.begin() + from * 2, s.begin() + to * 2);
}

Samples join(std::initializer_list<Samples> parts)
{
    Samples all;
    for (const Samples& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Samples fadeOut(Samples s)
{
    const auto frames = std::int64_t(s.size() / 2);
    for (std::int64_t i = 0; i < frames; ++i)
        for (int ch = 0; ch < 2; ++ch)
            s[std::size_t(i * 2 + ch)] *= float(frames - i) / float(frames);
    return s;
}

// Game music as people keep it: an introduction, the section, the same section again and the start
// of a third pass fading out.
struct Arranged
{
    Samples samples;
    std::int64_t start = 0, end = 0; // the loop the file repeats
};

Arranged arrange(std::uint32_t seed, std::int64_t intro, std::int64_t section, std::int64_t fade)
{
    const Samples song = render(compose(seed, double(intro + section + fade) / kRate), intro + section, seed);
    return {join({song, slice(song, intro, intro + section), fadeOut(slice(song, intro, intro + fade))}),
            intro, intro + section};
}

// ---- Files through libsndfile, decoded once from start to end (libsndfile 1.2's Ogg Vorbis seeks
// can land a block off) and handed out where the finder asks.

class SoundFileReader : public FrameReader
{
public:
    explicit SoundFileReader(const QString& path)
    {
        SF_INFO info{};
        SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
        if (!file)
            return;
        if (info.channels == 2) {
            m_samples.resize(std::size_t(info.frames) * 2);
            m_samples.resize(std::size_t(sf_readf_float(file, m_samples.data(), info.frames)) * 2);
            m_rate = info.samplerate;
        }
        sf_close(file);
    }
    bool isOpen() const { return m_rate > 0; }
    int sampleRate() const override { return m_rate; }
    std::int64_t lengthFrames() const override { return std::int64_t(m_samples.size() / 2); }
    std::int64_t read(std::int64_t first, float* out, std::int64_t count) override
    {
        ++reads;
        if (failAfter >= 0 && reads > failAfter)
            return -1;
        const std::int64_t n = std::clamp<std::int64_t>(lengthFrames() - first, 0, count);
        if (n > 0)
            std::copy_n(m_samples.begin() + first * 2, n * 2, out);
        return n;
    }

    int reads = 0;
    int failAfter = -1;

private:
    Samples m_samples;
    int m_rate = 0;
};

// ---- MIDI songs as event lists: notes of a seed, each ended within the stretch it was made for.

using Track = std::vector<MidiTrackEvent>;

// Notes on `channel` from `from` over `ticks`, 120 ticks to the beat, every one ended before `from`
// + `ticks`.
void addNotes(Track& track, std::uint32_t seed, int channel, std::uint32_t from, std::uint32_t ticks)
{
    std::mt19937 rng(seed);
    for (std::uint32_t t = from; t + 120 <= from + ticks; t += 60 * (1 + rng() % 3)) {
        const auto key = std::uint8_t(48 + rng() % 36);
        const std::uint32_t length = 30 + rng() % 90;
        if (t + length >= from + ticks)
            break;
        track.push_back({t, {std::uint8_t(0x90 | channel), key, std::uint8_t(60 + rng() % 60)}});
        track.push_back({t + length, {std::uint8_t(0x80 | channel), key, 0}});
    }
}

std::vector<Track> midiSong(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> parts,
                            std::uint32_t end)
{
    // A conductor track with what is not compared: a name, a marker, the end.
    Track conductor{{0, {0xFF, 0x03, 4, 's', 'o', 'n', 'g'}}, {0, {0xFF, 0x51, 3, 0x07, 0xA1, 0x20}}};
    Track melody{{0, {0xC0, 10}}}, bass{{0, {0xC1, 33}}};
    std::uint32_t at = 0;
    for (const auto& [seed, ticks] : parts) {
        addNotes(melody, seed, 0, at, ticks);
        addNotes(bass, seed + 1000, 1, at, ticks);
        if (at > 0)
            conductor.push_back({at, {0xFF, 0x06, 4, 'p', 'a', 'r', 't'}});
        at += ticks;
    }
    const auto byTick = [](const MidiTrackEvent& a, const MidiTrackEvent& b) { return a.tick < b.tick; };
    for (Track* t : {&conductor, &melody, &bass}) {
        std::stable_sort(t->begin(), t->end(), byTick);
        t->push_back({end, {0xFF, 0x2F, 0}});
    }
    return {conductor, melody, bass};
}

} // namespace

class LoopFinderTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString write(const QString& name, const Samples& samples, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16)
    {
        const QString path = m_dir.filePath(name);
        const bool ok = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG
                            ? qb::test::writeCommentedOgg(path, samples, kRate, {})
                            : qb::test::writeSoundFile(path, format, kRate, 2, samples);
        return ok ? path : QString();
    }

    static Result find(const QString& path, Fidelity fidelity, const std::atomic<bool>* cancel = nullptr)
    {
        SoundFileReader reader(path);
        if (!reader.isOpen())
            return {Outcome::Failed, std::nullopt};
        Options options;
        options.fidelity = fidelity;
        options.cancel = cancel;
        return findLoop(reader, options);
    }

private slots:
    void losslessRepeatIsFoundToTheFrame()
    {
        // Odd lengths, so that nothing falls on the finder's steps.
        const Arranged music = arrange(11, 2 * kRate + 12345, 9 * kRate + 777, 4 * kRate);
        for (int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_FLAC | SF_FORMAT_PCM_16}) {
            const QString path = write(QStringLiteral("arranged%1").arg(format), music.samples, format);
            QVERIFY(!path.isEmpty());
            const Result result = find(path, Fidelity::Lossless);
            QCOMPARE(result.outcome, Outcome::Found);
            QCOMPARE(result.loop->start, music.start);
            QCOMPARE(result.loop->end, music.end);
            QVERIFY(result.loop->exact);
            QVERIFY(std::isinf(result.loop->jumpDifferenceDb) && result.loop->jumpDifferenceDb < 0);
            QVERIFY(result.loop->repeatSeconds >= double(music.end - music.start) / kRate);
        }
    }

    void lossyRepeatIsFoundWithinAMillisecond()
    {
        const Arranged music = arrange(12, 3 * kRate + 4321, 8 * kRate + 1001, 4 * kRate);
        const QString path = write(QStringLiteral("arranged.ogg"), music.samples, SF_FORMAT_OGG);
        QVERIFY(!path.isEmpty());
        const Result result = find(path, Fidelity::Lossy);
        QCOMPARE(result.outcome, Outcome::Found);
        QVERIFY2(std::abs(result.loop->start - music.start) <= kRate / 1000,
                 qPrintable(QString::number(result.loop->start - music.start)));
        QVERIFY2(std::abs(result.loop->end - music.end) <= kRate / 1000,
                 qPrintable(QString::number(result.loop->end - music.end)));
        QVERIFY(!result.loop->exact);
        QVERIFY2(result.loop->jumpDifferenceDb < -20,
                 qPrintable(QString::number(result.loop->jumpDifferenceDb)));
    }

    void wholeSectionNotAPhraseInsideIt()
    {
        // The section plays one phrase twice and then another: the loop is the section, from the
        // first phrase's start.
        const std::int64_t intro = 2 * kRate + 99, phrase = 4 * kRate + 333, other = 3 * kRate + 55;
        const Samples song = render(compose(13, 12), intro + phrase + other, 13);
        const Samples tune = render(compose(14, 12), phrase, 14);
        const Samples section = join({tune, tune, slice(song, intro + phrase, intro + phrase + other)});
        const Samples file =
            join({slice(song, 0, intro), section, section, fadeOut(slice(section, 0, 3 * kRate))});
        const QString path = write(QStringLiteral("phrases.wav"), file);
        const Result result = find(path, Fidelity::Lossless);
        QCOMPARE(result.outcome, Outcome::Found);
        QCOMPARE(result.loop->start, intro);
        QCOMPARE(result.loop->end, intro + 2 * phrase + other);
    }

    void musicPlayedTwiceWithoutTheSameWaveformIsNoLoop()
    {
        // The same notes twice, as a performer plays them: the same music, never the same samples.
        const std::vector<Note> notes = compose(15, 10);
        const Samples file =
            join({render(compose(16, 3), 3 * kRate, 16), render(notes, 10 * kRate, 1, true),
                  render(notes, 10 * kRate, 2, true), render(compose(17, 3), 3 * kRate, 17)});
        const Result result = find(write(QStringLiteral("performed.wav"), file), Fidelity::Lossless);
        QCOMPARE(result.outcome, Outcome::None);
    }

    void musicThatDoesNotRepeatIsNoLoop()
    {
        const Samples file = render(compose(18, 40), 40 * kRate, 18);
        const Result result = find(write(QStringLiteral("through.wav"), file), Fidelity::Lossless);
        QCOMPARE(result.outcome, Outcome::None);
    }

    void aRiffRepeatedInsideALongSongIsNoLoop()
    {
        // Four seconds played twice after the song's first half minute: exact, but the song would be
        // cut to a riff.
        const Samples riff = render(compose(22, 4), 4 * kRate, 22);
        const Samples song = render(compose(23, 50), 50 * kRate, 23);
        const Samples file =
            join({slice(song, 0, 30 * kRate), riff, riff, slice(song, 30 * kRate, 50 * kRate)});
        const Result result = find(write(QStringLiteral("riff.wav"), file), Fidelity::Lossless);
        QCOMPARE(result.outcome, Outcome::None);
    }

    void noiseAndAHeldChordAreNoLoop()
    {
        const Samples noise = qb::test::noiseSignal(30 * kRate, 2, 19, 0.3f);
        QCOMPARE(find(write(QStringLiteral("noise.ogg"), noise, SF_FORMAT_OGG), Fidelity::Lossy).outcome,
                 Outcome::None);
        // A chord held for half a minute repeats its waveform every 1/55 s, but nothing in it moves.
        Samples chord(std::size_t(30 * kRate) * 2);
        for (std::size_t i = 0; i < chord.size() / 2; ++i) {
            const double t = double(i) / kRate;
            const auto v = float(0.1 * (std::sin(2 * std::numbers::pi * 220 * t) +
                                        std::sin(2 * std::numbers::pi * 275 * t) +
                                        std::sin(2 * std::numbers::pi * 330 * t)));
            chord[2 * i] = chord[2 * i + 1] = v;
        }
        QCOMPARE(find(write(QStringLiteral("chord.wav"), chord), Fidelity::Lossless).outcome, Outcome::None);
    }

    void shortFileIsNotSearched()
    {
        // Four seconds that do repeat: too short to be worth a loop.
        const Arranged music = arrange(20, kRate / 2, kRate + kRate / 2, kRate / 2);
        const Result result = find(write(QStringLiteral("short.wav"), music.samples), Fidelity::Lossless);
        QCOMPARE(result.outcome, Outcome::TooShort);
    }

    void midiSongPlayedTwiceLoopsItsSectionToTheTick()
    {
        // Introduction, a section of two identical phrases and one more, the section again, an ending.
        const std::vector<Track> song =
            midiSong({{1, 1930}, {2, 2400}, {2, 2400}, {3, 1440}, {2, 2400}, {2, 2400}, {3, 1440}, {4, 960}},
                     1930 + 2 * 6240 + 960 + 480);
        const std::optional<MidiLoop> loop = findMidiLoop(song);
        QVERIFY(loop);
        QCOMPARE(loop->start, 1930u);
        QCOMPARE(loop->end, 1930u + 6240);
        QVERIFY(loop->repeatTicks >= 6240);
    }

    void midiSongWithoutRepeatOrWithARiffOnlyIsNoLoop()
    {
        QVERIFY(!findMidiLoop(midiSong({{5, 9600}, {6, 9600}}, 19200)));
        // A riff played twice at the start of a long song is no loop of the song.
        QVERIFY(!findMidiLoop(midiSong({{7, 960}, {7, 960}, {8, 9600}, {9, 9600}}, 21120)));
    }

    void cancelAndReadErrorsGiveUp()
    {
        const Arranged music = arrange(21, 2 * kRate, 6 * kRate, 2 * kRate);
        const QString path = write(QStringLiteral("giveup.wav"), music.samples);
        const std::atomic<bool> cancel{true};
        QCOMPARE(find(path, Fidelity::Lossless, &cancel).outcome, Outcome::Cancelled);

        SoundFileReader failing(path);
        failing.failAfter = 3;
        QCOMPARE(findLoop(failing).outcome, Outcome::Failed);
    }
};

QTEST_GUILESS_MAIN(LoopFinderTest)
#include "LoopFinderTest.moc"
