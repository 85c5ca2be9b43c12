#include "sound/loopfind/LoopFinder.h"

#include "sound/loopfind/MidiLoopFinder.h"
#include "testkit/AudioFiles.h"
#include "testkit/ComposedMusic.h"
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
using namespace qb::test;

namespace {

constexpr int kRate = 44100;

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
