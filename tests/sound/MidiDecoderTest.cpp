#include "sound/midi/MidiDecoder.h"

#include "sound/decode/Decoders.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/Device.h"
#include "sound/midi/MidiSynthCache.h"
#include "testkit/AudioFiles.h"
#include "testkit/CaptureOutput.h"
#include "testkit/FileAccessWatch.h"
#include "testkit/MidiFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <memory>
#include <unistd.h>
#include <vector>

using qb::audio::Decoder;
using qb::audio::kChannels;
using qb::audio::OpenError;
using qb::test::midiFile;
using qb::test::MidiTrack;

namespace {

// The font the expectations below were made with: FluidR3, which Debian's default-GM.sf2 names unless a
// larger font installed later has taken the name over; the default itself where FluidR3 is missing.
std::string testSoundFont()
{
    static const std::string font = QFile::exists(QStringLiteral("/usr/share/sounds/sf2/FluidR3_GM.sf2"))
                                        ? "/usr/share/sounds/sf2/FluidR3_GM.sf2"
                                        : qb::audio::kDefaultSoundFont;
    return font;
}

constexpr int kPpq = 480; // with the default tempo, 480 ticks are half a second
constexpr qint64 kHalfSecond = 22050;

// Frames of interleaved stereo audio.
class Audio
{
public:
    void append(const float* data, int frames)
    {
        m_samples.insert(m_samples.end(), data, data + qsizetype(frames) * kChannels);
    }
    qint64 frames() const { return qint64(m_samples.size()) / kChannels; }
    float at(qint64 frame, int channel) const { return m_samples[std::size_t(frame * kChannels + channel)]; }
    float peak(qint64 from, qint64 to) const
    {
        float p = 0;
        for (qint64 f = std::max<qint64>(from, 0); f < std::min(to, frames()); ++f)
            p = std::max({p, std::abs(at(f, 0)), std::abs(at(f, 1))});
        return p;
    }
    double energy(qint64 from, qint64 to) const
    {
        double e = 0;
        for (qint64 f = std::max<qint64>(from, 0); f < std::min(to, frames()); ++f)
            e += double(at(f, 0)) * at(f, 0) + double(at(f, 1)) * at(f, 1);
        return e;
    }
    // First frame at or after `from` whose level reaches `threshold`; -1 when there is none before `to`.
    qint64 firstAbove(qint64 from, qint64 to, float threshold) const
    {
        for (qint64 f = std::max<qint64>(from, 0); f < std::min(to, frames()); ++f)
            if (std::abs(at(f, 0)) >= threshold || std::abs(at(f, 1)) >= threshold)
                return f;
        return -1;
    }
    const std::vector<float>& samples() const { return m_samples; }

private:
    std::vector<float> m_samples;
};

// Reads up to the end of the pass (the short read) in `chunk`-frame reads; returns the frames read.
qint64 readPass(Decoder& decoder, Audio& audio, int chunk = 441, qint64 limit = 100 * 44100)
{
    std::vector<float> buffer(std::size_t(chunk) * kChannels);
    qint64 total = 0;
    while (total < limit) {
        const int got = decoder.read(buffer.data(), chunk);
        audio.append(buffer.data(), got);
        total += got;
        if (got < chunk)
            break;
    }
    return total;
}

qint64 readFrames(Decoder& decoder, Audio& audio, qint64 frames, int chunk = 441)
{
    std::vector<float> buffer(std::size_t(chunk) * kChannels);
    qint64 total = 0;
    while (total < frames) {
        const int want = int(std::min<qint64>(chunk, frames - total));
        const int got = decoder.read(buffer.data(), want);
        audio.append(buffer.data(), got);
        total += got;
        if (got < want)
            break;
    }
    return total;
}

void renderTail(Decoder& decoder, Audio& audio, qint64 frames, int chunk = 512)
{
    std::vector<float> buffer(std::size_t(chunk) * kChannels);
    for (qint64 done = 0; done < frames; done += chunk) {
        const int n = int(std::min<qint64>(chunk, frames - done));
        decoder.renderTail(buffer.data(), n);
        audio.append(buffer.data(), n);
    }
}

// A held organ note never decays by itself: only a note-off (or a cut) ends it.
QByteArray organHeldToTheEnd(std::uint32_t endTicks)
{
    return midiFile(0, kPpq,
                    {MidiTrack().programChange(0, 0, 16).noteOn(0, 0, 60, 110).endOfTrack(endTicks)});
}

// A short wood-block hit at the start of a song whose length is not a multiple of the synthesiser's
// 64-frame block: 523 ticks = 24025.3 frames.
QByteArray woodBlockLoop()
{
    return midiFile(0, kPpq, {MidiTrack().noteOn(0, 9, 76, 127).noteOff(60, 9, 76).endOfTrack(463)});
}

struct GridError
{
    qint64 worst = 0;
    double mean = 0;
    QString failure;
};

// How far the onset of each pass lies from one song length after the onset of the pass before.
GridError onsetsAgainstGrid(const Audio& audio, qint64 length, int passes)
{
    GridError result;
    const float threshold = 0.3f * audio.peak(0, 4000);
    qint64 previous = audio.firstAbove(0, 4000, threshold);
    if (threshold < 0.005f || previous < 0)
        return {0, 0, "no onset in the first pass"};
    double sum = 0;
    for (int k = 1; k < passes; ++k) {
        const qint64 ideal = previous + length;
        const qint64 onset = audio.firstAbove(ideal - 200, ideal + 4000, threshold);
        if (onset < 0)
            return {0, 0, QString("no onset in pass %1").arg(k)};
        const qint64 error = std::abs(onset - ideal);
        result.worst = std::max(result.worst, error);
        sum += double(error);
        previous = onset;
    }
    result.mean = sum / (passes - 1);
    return result;
}

// CPU time of the whole process in seconds.
const QByteArray kGsReset("\x41\x10\x42\x12\x40\x00\x7F\x00\x41\xF7", 10);

// `resets` GS resets a quarter of a frame apart (many share a frame once rounded), with a volume
// change on one channel between every `every` of them: 2.3 s of music for 400,000 resets.
QByteArray resetFlood(int resets, int every)
{
    MidiTrack track;
    track.tempo(0, 5442); // 960 ticks per quarter: a tick is a quarter of a frame
    for (int i = 0; i < resets; ++i) {
        track.sysex(1, kGsReset);
        if (i % every == every - 1)
            track.controlChange(0, (i / every) % 16, 7, 100);
    }
    return midiFile(0, 960, {track.endOfTrack(1)});
}

} // namespace

class MidiDecoderTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void openFails_data();
    void openFails();
    void missingSoundFont_data();
    void missingSoundFont();
    void reusesTheCachedSynthesiser();
    void openingDoesNotWaitForTheSamples();
    void lengthFollowsTheTempoMap();
    void aPassIsOneSongLengthAndTailsRingOn_data();
    void aPassIsOneSongLengthAndTailsRingOn();
    void noNoteHangsAfterTheEnd();
    void silenceCutsEverything();
    void playAfterStopGoesOnWithTheNotesSounding();
    void seekChasesStateWithoutNotes();
    void riffMidiPlaysLikeTheSequenceItWraps();
    void damagedFilePlaysWhatWasRead();
    void positionsBeyond32Bits();
    void resetFloodCostsLittlePerPass();
    void refusesAFileOverTheSizeLimitAsTooLarge();
    void aBurstGoesOutABlockAtATime();

private:
    QString write(const QString& name, const QByteArray& bytes);
    std::unique_ptr<Decoder> open(const QString& name, const QByteArray& bytes);

    QTemporaryDir m_dir;
    std::shared_ptr<qb::audio::MidiSynthCache> m_cache = std::make_shared<qb::audio::MidiSynthCache>();
};

QString MidiDecoderTest::write(const QString& name, const QByteArray& bytes)
{
    const QString path = m_dir.filePath(name);
    if (!qb::test::writeBytes(path, bytes))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

std::unique_ptr<Decoder> MidiDecoderTest::open(const QString& name, const QByteArray& bytes)
{
    auto result = qb::audio::openMidiDecoder(write(name, bytes).toStdString(), m_cache, testSoundFont());
    if (result.error != OpenError::None)
        qWarning("open %s failed: %s", qPrintable(name), result.message.c_str());
    return std::move(result.decoder);
}

void MidiDecoderTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    if (!QFile::exists(QString::fromStdString(testSoundFont())))
        QSKIP("the General MIDI SoundFont is not installed");
}

void MidiDecoderTest::openFails_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("error");

    QTest::newRow("missing file") << "" << QByteArray() << int(OpenError::FileNotFound);
    QTest::newRow("folder named .mid") << "folder.mid" << QByteArray() << int(OpenError::InvalidFile);
    QTest::newRow("empty") << "empty.mid" << QByteArray("") << int(OpenError::InvalidFile);
    QByteArray random(2048, '\0');
    for (int i = 0; i < random.size(); ++i)
        random[i] = char((i * 7919 + 13) % 251);
    QTest::newRow("random bytes") << "random.mid" << random << int(OpenError::InvalidFile);
    QTest::newRow("no track chunk") << "notrack.mid" << qb::test::midiHeader(0, 1, kPpq)
                                    << int(OpenError::InvalidFile);
    QTest::newRow("header not at the start")
        << "shifted.mid" << QByteArray("RIFX") + organHeldToTheEnd(kPpq) << int(OpenError::InvalidFile);
}

void MidiDecoderTest::openFails()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(int, error);

    QString path = m_dir.filePath("does-not-exist.mid");
    if (name == "folder.mid") {
        path = m_dir.filePath(name);
        QVERIFY(QDir().mkpath(path));
    } else if (!name.isEmpty()) {
        path = write(name, bytes);
    }
    const auto result = qb::audio::openMidiDecoder(path.toStdString(), m_cache, testSoundFont());
    QCOMPARE(int(result.error), error);
    QVERIFY(!result.decoder);
    QVERIFY(!result.message.empty());
}

void MidiDecoderTest::missingSoundFont_data()
{
    QTest::addColumn<QString>("soundFont");
    QTest::newRow("no such file") << m_dir.filePath("nothing.sf2");
    QTest::newRow("not a SoundFont") << write("text.sf2",
                                              QByteArray("RIFF\x10\0\0\0sfbkLIST not really", 26));
    QTest::newRow("a folder") << m_dir.path();
}

void MidiDecoderTest::missingSoundFont()
{
    QFETCH(QString, soundFont);
    const QString midi = write("fine.mid", organHeldToTheEnd(kPpq));
    const auto result = qb::audio::openMidiDecoder(midi.toStdString(), m_cache, soundFont.toStdString());
    QCOMPARE(int(result.error), int(OpenError::SoundFontMissing));
    QVERIFY(!result.decoder);
}

void MidiDecoderTest::reusesTheCachedSynthesiser()
{
    // How often the SoundFont is opened tells a synthesiser loaded from it from one reused.
    qb::test::FileAccessWatch watch(testSoundFont());
    QVERIFY(watch.valid());
    auto& cache = m_cache;
    cache->clear(); // the first open loads
    const QString path = write("twice.mid", organHeldToTheEnd(kPpq));
    auto first = qb::audio::openMidiDecoder(path.toStdString(), cache, testSoundFont());
    QVERIFY(first.decoder);
    Audio audio;
    readPass(*first.decoder, audio);
    first.decoder.reset();
    const int opensToLoad = watch.take().opens;
    QVERIFY(opensToLoad > 0);

    auto second = qb::audio::openMidiDecoder(path.toStdString(), cache, testSoundFont());
    QVERIFY(second.decoder);
    readFrames(*second.decoder, audio, 64); // once its samples are there
    QCOMPARE(watch.take().opens, 0);

    // Two files open at once cannot share one synthesiser: the third loads the font as the first did,
    // counted as the first was, once the whole song has played (the samples of its later notes load
    // beside playback, later on a busy machine).
    auto third = qb::audio::openMidiDecoder(path.toStdString(), cache, testSoundFont());
    QVERIFY(third.decoder);
    readPass(*third.decoder, audio);
    third.decoder.reset();
    QCOMPARE(watch.take().opens, opensToLoad);
}

void MidiDecoderTest::openingDoesNotWaitForTheSamples()
{
    // Every General MIDI program over its whole range, and the drums: about 130 MB of samples, a third
    // of a second to load. The open leaves that to a thread of its own; the first read waits for it.
    qb::test::MidiTrack track;
    for (int program = 0; program < 128; ++program) {
        const int channel = program % 15 < 9 ? program % 15 : program % 15 + 1;
        track.programChange(0, channel, program);
        for (int key = 0; key < 128; key += 4)
            track.noteOn(0, channel, key, 100).noteOff(1, channel, key);
    }
    for (int key = 27; key < 88; ++key)
        track.noteOn(0, 9, key, 100).noteOff(1, 9, key);
    track.endOfTrack(0);
    const QString path = write("everything.mid", qb::test::midiFile(0, kPpq, {track}));

    auto opened = qb::audio::openMidiDecoder(path.toStdString(),
                                             std::make_shared<qb::audio::MidiSynthCache>(), testSoundFont());
    QVERIFY2(opened.decoder, opened.message.c_str());
    const auto* midi = dynamic_cast<const qb::audio::MidiDecoder*>(opened.decoder.get());
    QVERIFY(midi);
    QVERIFY(!midi->samplesLoaded());
    Audio audio;
    readFrames(*opened.decoder, audio, 4410);
    QVERIFY(midi->samplesLoaded());
    QVERIFY(audio.peak(0, 4410) > 0.01f);
}

void MidiDecoderTest::lengthFollowsTheTempoMap()
{
    // Half a second at 120 bpm, then a second at 60 bpm.
    auto decoder = open(
        "tempo.mid",
        midiFile(
            0, kPpq,
            {MidiTrack().noteOn(0, 0, 60, 100).tempo(480, 1000000).noteOff(240, 0, 60).endOfTrack(240)}));
    QVERIFY(decoder);
    QCOMPARE(decoder->lengthFrames(), 3 * kHalfSecond);
    QCOMPARE(decoder->positionFrames(), qint64(0));
    Audio audio;
    const qint64 pass = readPass(*decoder, audio, 1000);
    QVERIFY2(std::abs(pass - 3 * kHalfSecond) <= 32, qPrintable(QString::number(pass)));
    QCOMPARE(decoder->positionFrames(), decoder->lengthFrames());
    float buffer[64 * kChannels];
    QCOMPARE(decoder->read(buffer, 64), 0);
    QVERIFY(audio.peak(0, kHalfSecond) > 0.01f);
}

// Song after song, a pass lasts one song length: read pass after pass with a seek to the start
// between, or looped through the engine the way the player's loop runs it (poll the mode every 10 ms
// and, once the pass has ended, seek to the start and play while the end of the previous pass is still
// queued). What rings at the end of a pass, releases and reverb, rings on into the next one.
void MidiDecoderTest::aPassIsOneSongLengthAndTailsRingOn_data()
{
    QTest::addColumn<QByteArray>("song");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<int>("passes");
    QTest::addColumn<bool>("throughEngine");
    QTest::addColumn<bool>("heldToTheEnd"); // else a short hit at the start of each pass marks it

    // Silence for half a second, then strings held to the end of the song.
    const QByteArray strings = midiFile(
        0, kPpq,
        {MidiTrack().programChange(0, 0, 48).noteOn(480, 0, 60, 120).noteOn(0, 0, 64, 120).endOfTrack(480)});
    QTest::newRow("wood block, pass after pass") << woodBlockLoop() << qint64(24025) << 20 << false << false;
    QTest::newRow("wood block, through the engine")
        << woodBlockLoop() << qint64(24025) << 20 << true << false;
    QTest::newRow("strings held to the end, pass after pass")
        << strings << 2 * kHalfSecond << 2 << false << true;
    QTest::newRow("strings held to the end, through the engine")
        << strings << 2 * kHalfSecond << 2 << true << true;
}

void MidiDecoderTest::aPassIsOneSongLengthAndTailsRingOn()
{
    QFETCH(QByteArray, song);
    QFETCH(qint64, length);
    QFETCH(int, passes);
    QFETCH(bool, throughEngine);
    QFETCH(bool, heldToTheEnd);
    auto decoder = open(QStringLiteral("loop-%1.mid").arg(QTest::currentDataTag()), song);
    QVERIFY(decoder);
    QCOMPARE(decoder->lengthFrames(), length);

    Audio audio;
    qint64 firstPass = length; // where the second pass starts
    if (!throughEngine) {
        qint64 worstStart = 0;
        double sumStart = 0;
        qint64 previousStart = -length;
        for (int k = 0; k < passes; ++k) {
            if (k > 0)
                QVERIFY(decoder->seek(0));
            const qint64 startError = std::abs(audio.frames() - previousStart - length);
            previousStart = audio.frames();
            QVERIFY2(startError <= 32,
                     qPrintable(QString("pass %1 starts %2 frames off").arg(k).arg(startError)));
            worstStart = std::max(worstStart, startError);
            sumStart += double(startError);
            const qint64 read = readPass(*decoder, audio);
            if (k == 0)
                firstPass = read;
        }
        qInfo("pass start vs the previous start + L over %d passes: max %lld, mean %.1f frames", passes,
              static_cast<long long>(worstStart), sumStart / (passes - 1));
    } else {
        auto capture =
            std::make_unique<qb::audio::CaptureOutput>(512, qb::audio::CaptureOutput::Clock::Manual);
        qb::audio::CaptureOutput& output = *capture;
        qb::audio::AudioEngine engine(std::move(capture),
                                      qb::audio::AudioEngine::Options{.queueMs = 200, .feederThread = false});
        auto device = engine.addDevice(std::move(decoder));
        device->play();
        int restarts = 0;
        while (output.capturedFrames() < passes * length + 4000) {
            output.advance(441); // one 10 ms tick of the loop monitor
            if (device->mode() != qb::audio::Device::Mode::Playing) {
                device->seek(0);
                device->play();
                ++restarts;
            }
        }
        QVERIFY(restarts >= passes - 1);
        const std::vector<float> captured = output.captured();
        audio.append(captured.data(), int(captured.size() / kChannels));
    }

    if (!heldToTheEnd) {
        const GridError onsets = onsetsAgainstGrid(audio, length, passes);
        QVERIFY2(onsets.failure.isEmpty(), qPrintable(onsets.failure));
        QVERIFY2(onsets.worst <= 32, qPrintable(QString("an onset is %1 frames off").arg(onsets.worst)));
        qInfo("note onset vs the previous onset + L over %d passes: max %lld, mean %.1f frames", passes,
              static_cast<long long>(onsets.worst), onsets.mean);
        return;
    }
    // The first half second of the song is silent, unless the chord of the pass before rings into it.
    const qint64 window = 4410;
    const double fresh = audio.energy(0, window);
    const double restarted = audio.energy(firstPass, firstPass + window);
    QVERIFY2(restarted > 1e-3 && restarted > 1000 * fresh,
             qPrintable(QString("fresh %1, after restart %2").arg(fresh).arg(restarted)));
    // The tail is continuous: no drop to silence at the restart.
    QVERIFY(audio.peak(firstPass, firstPass + 256) > 0.1f * audio.peak(firstPass - 256, firstPass));
}

void MidiDecoderTest::noNoteHangsAfterTheEnd()
{
    auto decoder = open("hang.mid", organHeldToTheEnd(2 * kPpq));
    QVERIFY(decoder);
    Audio audio;
    const qint64 pass = readPass(*decoder, audio);
    QVERIFY(audio.peak(pass - 4410, pass) > 0.05f);
    renderTail(*decoder, audio, 6 * 44100);
    const qint64 end = audio.frames();
    const float last = audio.peak(end - 22050, end);
    QVERIFY2(last < 1e-4f, qPrintable(QString("still %1 after 5 s").arg(last)));
}

void MidiDecoderTest::silenceCutsEverything()
{
    auto decoder = open("cut.mid", organHeldToTheEnd(8 * kPpq));
    QVERIFY(decoder);
    Audio audio;
    readFrames(*decoder, audio, 22050);
    QVERIFY(audio.peak(11025, 22050) > 0.05f);
    decoder->silence();
    Audio after;
    renderTail(*decoder, after, 22050);
    // Voices stop within a block; what is left of the reverb is more than 40 dB down.
    const float level = after.peak(128, after.frames());
    QVERIFY2(level < 1e-3f, qPrintable(QString("%1 after silence()").arg(level)));

    // The pass goes on with the file's instrument once more notes come.
    QVERIFY(decoder->seek(0));
    Audio again;
    readFrames(*decoder, again, 22050);
    QVERIFY(again.peak(11025, 22050) > 0.05f);
}

// Stop and Play in the middle of a held organ note, through an output that drops what it held unheard
// at Stop (as a sound server does): take away the silence of the stop, and what is heard is the song
// as an uninterrupted play renders it, frame for frame; the note goes on sounding.
void MidiDecoderTest::playAfterStopGoesOnWithTheNotesSounding()
{
    const QByteArray song = organHeldToTheEnd(8 * kPpq);
    constexpr qint64 kStopAt = 44100;
    constexpr qint64 kServerBuffer = 2000;
    constexpr qint64 kStopped = 4 * 512;
    constexpr qint64 kCompared = 44100;
    const auto record = [&](const QString& name, bool stopping) {
        auto capture =
            std::make_unique<qb::audio::CaptureOutput>(512, qb::audio::CaptureOutput::Clock::Manual);
        qb::audio::CaptureOutput& output = *capture;
        output.setServerBuffer(kServerBuffer);
        qb::audio::AudioEngine engine(std::move(capture),
                                      qb::audio::AudioEngine::Options{.queueMs = 200, .feederThread = false});
        // A synthesiser of its own, as fresh as the other one.
        auto opened = qb::audio::openMidiDecoder(
            write(name, song).toStdString(), std::make_shared<qb::audio::MidiSynthCache>(), testSoundFont());
        if (!opened.decoder)
            return std::vector<float>{};
        auto device = engine.addDevice(std::move(opened.decoder));
        device->play();
        if (stopping) {
            output.advance(kStopAt);
            device->stop();
            output.advance(kStopped);
            device->play();
        }
        output.advance(kStopAt + kCompared);
        return output.captured();
    };
    const std::vector<float> plain = record("plain.mid", false);
    const std::vector<float> stopped = record("stopped.mid", true);
    const qint64 heard = kStopAt - kServerBuffer;
    QVERIFY(qint64(plain.size()) >= (heard + kCompared) * kChannels);
    QVERIFY(qint64(stopped.size()) >= (heard + kStopped + kCompared) * kChannels);
    float worst = 0;
    qint64 worstAt = 0;
    for (qint64 i = 0; i < (heard + kCompared) * kChannels; ++i) {
        const qint64 at = i < heard * kChannels ? i : i + kStopped * kChannels;
        const float diff = std::abs(stopped[std::size_t(at)] - plain[std::size_t(i)]);
        if (diff > worst) {
            worst = diff;
            worstAt = i / kChannels;
        }
    }
    QVERIFY2(worst < 1e-4f, qPrintable(QString("frame %1 differs by %2").arg(worstAt).arg(worst)));
    const std::vector<float> gap(stopped.begin() + heard * kChannels,
                                 stopped.begin() + (heard + kStopped) * kChannels);
    QVERIFY(std::all_of(gap.begin(), gap.end(), [](float v) { return v == 0.0f; }));
}

void MidiDecoderTest::seekChasesStateWithoutNotes()
{
    // Church organ chosen at the start, a note from 0.5 s to 1.5 s; pan hard left for the whole song.
    const QByteArray song = midiFile(0, kPpq,
                                     {MidiTrack()
                                          .programChange(0, 0, 19)
                                          .controlChange(0, 0, 10, 0)
                                          .noteOn(480, 0, 67, 110)
                                          .noteOff(960, 0, 67)
                                          .endOfTrack(480)});
    auto decoder = open("chase.mid", song);
    QVERIFY(decoder);
    Audio continuous;
    readFrames(*decoder, continuous, 3 * kHalfSecond);

    // Into the silence before the note: the note then starts on time, with the chased program and pan.
    decoder->silence();
    QVERIFY(decoder->seek(kHalfSecond / 2));
    Audio sought;
    readFrames(*decoder, sought, 2 * kHalfSecond + kHalfSecond / 2);
    // Sample-exact equality is not to be had (chorus modulation runs on), so compare what the chased
    // state decides: the organ holds its level where the default piano would decay, and it plays on
    // the left only.
    const qint64 offset = kHalfSecond / 2;
    const qint64 early = kHalfSecond + 2205, late = 3 * kHalfSecond - 2 * 4410;
    const double continuousEarly = continuous.energy(early, early + 4410);
    const double continuousLate = continuous.energy(late, late + 4410);
    const double soughtEarly = sought.energy(early - offset, early - offset + 4410);
    const double soughtLate = sought.energy(late - offset, late - offset + 4410);
    // (The piano keeps less than a tenth of its energy here, the organ about half.)
    QVERIFY(continuousLate > 0.25 * continuousEarly);
    QVERIFY2(soughtLate > 0.25 * soughtEarly && soughtEarly > 0.5 * continuousEarly &&
                 soughtEarly < 2 * continuousEarly,
             qPrintable(QString("continuous %1 -> %2, sought %3 -> %4")
                            .arg(continuousEarly)
                            .arg(continuousLate)
                            .arg(soughtEarly)
                            .arg(soughtLate)));
    // Panned hard left: the right channel gets only reverb and chorus.
    auto balance = [&](const Audio& audio, qint64 shift) {
        double left = 0, right = 0;
        for (qint64 f = early; f < late; ++f) {
            left += double(audio.at(f - shift, 0)) * audio.at(f - shift, 0);
            right += double(audio.at(f - shift, 1)) * audio.at(f - shift, 1);
        }
        return right / left;
    };
    const double continuousBalance = balance(continuous, 0), soughtBalance = balance(sought, offset);
    QVERIFY2(soughtBalance < 0.1 && std::abs(soughtBalance - continuousBalance) < 0.05,
             qPrintable(QString("right/left %1, continuous %2").arg(soughtBalance).arg(continuousBalance)));

    // Past the note-on: the note is not started half way.
    decoder->silence();
    QVERIFY(decoder->seek(2 * kHalfSecond));
    Audio past;
    readFrames(*decoder, past, kHalfSecond);
    // (What is heard is the remains of the reverb, 30 dB and more below the note.)
    const float note = continuous.peak(kHalfSecond, 3 * kHalfSecond);
    QVERIFY2(past.peak(0, past.frames()) < 0.03f * note,
             qPrintable(QString("%1 against a note of %2").arg(past.peak(0, past.frames())).arg(note)));
}

void MidiDecoderTest::riffMidiPlaysLikeTheSequenceItWraps()
{
    const QByteArray smf = midiFile(1, kPpq,
                                    {MidiTrack().tempo(0, 400000).endOfTrack(), MidiTrack()
                                                                                    .programChange(0, 1, 40)
                                                                                    .noteOn(0, 1, 69, 100)
                                                                                    .noteOn(240, 1, 72, 100)
                                                                                    .noteOff(480, 1, 69)
                                                                                    .noteOff(0, 1, 72)
                                                                                    .endOfTrack(120)});
    Audio mid, rmi;
    qint64 midLength = 0, rmiLength = 0;
    {
        auto decoder = open("wrapped.mid", smf);
        QVERIFY(decoder);
        midLength = decoder->lengthFrames();
        readPass(*decoder, mid);
    }
    {
        auto decoder = open("wrapped.rmi", qb::test::riffMidi(smf));
        QVERIFY(decoder);
        rmiLength = decoder->lengthFrames();
        readPass(*decoder, rmi);
    }
    QCOMPARE(rmiLength, midLength);
    QCOMPARE(rmi.frames(), mid.frames());
    const double level = mid.peak(0, mid.frames());
    double dot = 0, m2 = 0, r2 = 0;
    for (std::size_t i = 0; i < mid.samples().size(); ++i) {
        dot += double(mid.samples()[i]) * rmi.samples()[i];
        m2 += double(mid.samples()[i]) * mid.samples()[i];
        r2 += double(rmi.samples()[i]) * rmi.samples()[i];
    }
    // The same events at the same frames; only the free-running chorus modulation differs.
    QVERIFY(level > 0.05);
    const double correlation = dot / std::sqrt(m2 * r2);
    QVERIFY2(correlation > 0.98, qPrintable(QString("correlation %1").arg(correlation)));
}

void MidiDecoderTest::damagedFilePlaysWhatWasRead()
{
    QByteArray song = midiFile(0, kPpq,
                               {MidiTrack()
                                    .programChange(0, 0, 16)
                                    .noteOn(0, 0, 60, 110)
                                    .noteOn(480, 0, 64, 110)
                                    .noteOff(480, 0, 60)
                                    .noteOff(0, 0, 64)
                                    .endOfTrack()});
    song.chop(9); // the last note-off and the end of track
    auto decoder = open("cut-short.mid", song);
    QVERIFY(decoder);
    QCOMPARE(decoder->lengthFrames(), kHalfSecond);
    Audio audio;
    for (int k = 0; k < 3; ++k) {
        QVERIFY(decoder->seek(0));
        readPass(*decoder, audio);
    }
    QVERIFY(std::abs(audio.frames() - 3 * kHalfSecond) <= 3 * 32); // each pass within half a block
    QVERIFY(audio.peak(0, audio.frames()) > 0.05f);
    renderTail(*decoder, audio, 6 * 44100);
    QVERIFY(audio.peak(audio.frames() - 22050, audio.frames()) < 1e-4f);
}

void MidiDecoderTest::positionsBeyond32Bits()
{
    // 0x0FFFFFFF ticks at 24 per quarter: about 64 days.
    auto decoder = open("long.mid", midiFile(0, 24,
                                             {MidiTrack()
                                                  .programChange(0, 0, 16)
                                                  .noteOn(0, 0, 60, 100)
                                                  .noteOff(0x0FFFFFFF, 0, 60)
                                                  .endOfTrack()}));
    QVERIFY(decoder);
    const qint64 length = decoder->lengthFrames();
    QCOMPARE(length, qint64(246625074281));
    QVERIFY(decoder->seek(length - 10000));
    QCOMPARE(decoder->positionFrames(), length - 10000);
    Audio audio;
    const qint64 rest = readPass(*decoder, audio);
    QVERIFY2(std::abs(rest - 10000) <= 32, qPrintable(QString::number(rest)));
    QCOMPARE(decoder->positionFrames(), length);
    // The note began 64 days ago and is not chased: nothing sounds.
    QVERIFY(audio.peak(0, audio.frames()) < 1e-4f);
}

void MidiDecoderTest::resetFloodCostsLittlePerPass()
{
    // Each reset re-programs only the channels that changed since the one before: a flood of them
    // costs as much as the events between them.
    auto* decoder = open("resets.mid", resetFlood(400000, 100)).release();
    const std::unique_ptr<Decoder> owner(decoder);
    QVERIFY(decoder);
    auto* midi = dynamic_cast<qb::audio::MidiDecoder*>(decoder);
    QVERIFY(midi);
    const std::uint64_t before = midi->channelResets();
    Audio audio;
    const qint64 frames = readPass(*decoder, audio, 1024);
    QVERIFY(frames >= decoder->lengthFrames() - 64);
    // One volume change after every 100 resets: 4,000 channels to set back. Setting back all 16 at
    // each reset comes to 50,000 in the same pass, the rest held back by the work each block may take.
    const std::uint64_t resets = midi->channelResets() - before;
    QVERIFY2(resets <= 4000 + 16, qPrintable(QString::number(resets)));
    QVERIFY2(resets >= 3900, qPrintable(QString::number(resets)));
}

void MidiDecoderTest::refusesAFileOverTheSizeLimitAsTooLarge()
{
    // A valid song followed by nothing but a hole up to one byte past the limit (a sparse file: no disk
    // is used): refused for its size before it is read, with the limit, never as a damaged file.
    const QString path =
        write("vast.mid", midiFile(0, kPpq, {MidiTrack().noteOn(0, 0, 60, 100).endOfTrack()}));
    QVERIFY(::truncate(QFile::encodeName(path).constData(), off_t(qb::audio::kMaxMidiFileBytes) + 1) == 0);
    const auto result = qb::audio::openMidiDecoder(path.toStdString(), m_cache, testSoundFont());
    QCOMPARE(int(result.error), int(OpenError::TooLarge));
    QVERIFY(!result.decoder);
    QCOMPARE(int(result.tooLarge.kind), int(qb::audio::FileLimit::FileSize));
    QCOMPARE(result.tooLarge.amount, qb::audio::kMaxMidiFileBytes + 1);
    QCOMPARE(result.tooLarge.limit, qb::audio::kMaxMidiFileBytes);
}

void MidiDecoderTest::aBurstGoesOutABlockAtATime()
{
    // A reset and a controller change, 150,000 times on one tick: nothing to collapse, and all of it
    // due at once when the pass starts. Each block start takes a bounded share (each channel set back
    // is one unit of the block's work, and a block has a few hundred), so a read of one block costs a
    // bounded time and the engine can stop or close the device between its reads.
    MidiTrack track;
    for (int i = 0; i < 150000; ++i)
        track.sysex(0, kGsReset).controlChange(0, i % 16, 7, 100);
    auto decoder = open("heavy.mid", midiFile(0, kPpq, {track.endOfTrack(kPpq)}));
    QVERIFY(decoder);
    auto* midi = dynamic_cast<qb::audio::MidiDecoder*>(decoder.get());
    QVERIFY(midi);
    std::vector<float> block(2 * 64);
    std::uint64_t resets = midi->channelResets();
    for (int i = 0; i < 200; ++i) {
        QCOMPARE(decoder->read(block.data(), 64), 64);
        const std::uint64_t now = midi->channelResets();
        // Some of the burst in every block, never all of it.
        QVERIFY2(now > resets && now - resets <= 256,
                 qPrintable(QStringLiteral("block %1: %2 channels set back").arg(i).arg(now - resets)));
        resets = now;
    }
}

QTEST_GUILESS_MAIN(MidiDecoderTest)
#include "MidiDecoderTest.moc"
