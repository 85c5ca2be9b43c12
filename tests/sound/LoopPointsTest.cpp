// Files that mark their own loop, played through the MCI service into a capture output clocked by the
// test, with the window's restart (seek to start, play) whenever the device stops: with loop points
// wanted, the introduction plays once and the loop follows itself without a frame added or lost, in
// one endless pass; marks that make no sense (a loop too short to be one among them), or the setting
// off, loop the whole file as before. Standard error says which.
#include "sound/MciErrors.h"
#include "sound/decode/Decoders.h"
#include "sound/engine/AudioEngine.h"
#include "sound/mci/MciService.h"
#include "system/MessageBox.h"
#include "testkit/AudioFiles.h"
#include "testkit/CaptureOutput.h"
#include "testkit/LoopMarkedFiles.h"
#include "testkit/MidiFiles.h"
#include "testkit/StandardErrorCapture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <cstring>
#include <vector>

using namespace qb;
using namespace qb::mci;

namespace {

constexpr int kRate = audio::kEngineRate;
constexpr int kPeriod = 512;

class NoBox : public platform::MessageBoxPresenter
{
public:
    void show(const QString& text, const QString&) override { shown << text; }
    QStringList shown;
};

// A stereo ramp whose left sample counts 1, 2, 3, ... (in 16-bit steps) so every frame is
// recognisable; the right one counts down.
std::vector<float> ramp(int frames)
{
    std::vector<float> samples(static_cast<std::size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        samples[2 * static_cast<std::size_t>(i)] = static_cast<float>(i + 1) / 32768.0f;
        samples[2 * static_cast<std::size_t>(i) + 1] = -static_cast<float>(i + 1) / 32768.0f;
    }
    return samples;
}

// A rising chirp: no two stretches alike, and something a lossy encoder keeps well.
std::vector<float> chirp(int frames)
{
    std::vector<float> samples(static_cast<std::size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / kRate;
        samples[2 * static_cast<std::size_t>(i)] = samples[2 * static_cast<std::size_t>(i) + 1] =
            static_cast<float>(0.5 * std::sin(2 * M_PI * (200 + 400 * t) * t));
    }
    return samples;
}

// The first loop's start and end as the file's sampler chunk holds them (the end inclusive).
std::pair<quint32, quint32> samplerLoopInTheChunk(const QString& path)
{
    QFile file(path);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const qsizetype at = bytes.indexOf("smpl");
    if (at < 0 || bytes.size() < at + 60)
        return {~0u, ~0u};
    auto word = [&](qsizetype offset) {
        quint32 value = 0;
        std::memcpy(&value, bytes.constData() + at + offset, sizeof value);
        return value; // little-endian, as this machine
    };
    // The chunk's header, then 36 bytes of sampler data, then each loop: cue, type, start, end, ...
    return {word(8 + 36 + 8), word(8 + 36 + 12)};
}

} // namespace

class LoopPointsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<audio::AudioEngine> m_engine;
    audio::CaptureOutput* m_capture = nullptr;
    NoBox m_box;
    std::unique_ptr<MciService> m_mci;
    bool m_wanted = true;
    int m_restarts = 0;
    QString m_openNote;

    void makeService()
    {
        m_mci.reset();
        auto capture = std::make_unique<audio::CaptureOutput>(kPeriod, audio::CaptureOutput::Clock::Manual);
        m_capture = capture.get();
        audio::AudioEngine::Options engineOptions;
        engineOptions.feederThread = false;
        m_engine = std::make_unique<audio::AudioEngine>(std::move(capture), engineOptions);
        MciService::Options options;
        options.loopPointsWanted = [this] { return m_wanted; };
        m_mci = std::make_unique<MciService>(*m_engine, m_box, std::move(options));
    }

    QString ask(const char* command)
    {
        char reply[64] = {};
        return m_mci->mciSendStringA(command, reply, sizeof reply, nullptr) == 0 ? QString::fromLatin1(reply)
                                                                                 : QStringLiteral("error");
    }

    // Opens `path` under the alias "midi" and plays it; false when either command is refused. What the
    // open wrote on standard error goes to m_openNote.
    bool openAndPlay(const QString& path)
    {
        const std::string open = "open " + path.toStdString() + " alias midi";
        bool opened = false;
        {
            test::StandardErrorCapture capture(m_dir.filePath(QStringLiteral("stderr.txt")));
            opened = m_mci->mciSendStringA(open.c_str(), nullptr, 0, nullptr) == 0;
            m_openNote = QString::fromUtf8(capture.text());
        }
        return opened && m_mci->mciSendStringA("play midi notify", nullptr, 0, nullptr) == 0;
    }

    // Plays for `frames` frames an output period at a time, restarting the file as the window's loop
    // monitor does whenever it is found not playing.
    void play(std::int64_t frames)
    {
        for (std::int64_t done = 0; done < frames; done += kPeriod) {
            if (ask("status midi mode") != QLatin1String("playing")) {
                m_mci->mciExecute("seek midi to start");
                m_mci->mciExecute("play midi notify");
                ++m_restarts;
            }
            m_capture->advance(kPeriod);
        }
    }

    // The file's frames as our decoder produces them in one pass straight through, at the engine's rate.
    static std::vector<float> decodeStraight(const QString& path)
    {
        audio::OpenResult opened = audio::openDecoder(path.toStdString());
        return opened.decoder ? test::decodePass(*opened.decoder) : std::vector<float>{};
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_wanted = true;
        m_restarts = 0;
        makeService();
    }

    void cleanup()
    {
        m_mci.reset();
        m_engine.reset();
    }

    // Every format that marks loops: the frames heard are the file's own, decoded straight through,
    // from its start to the loop's end once, then from the loop's start to its end over and over.
    void aFilePlaysItsIntroductionOnceThenItsLoop_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("start"); // the sampler chunk's loop; -1: none
        QTest::addColumn<int>("end");
        QTest::addColumn<QStringList>("comments");
        QTest::addColumn<bool>("wanted");
        QTest::addColumn<int>("loopStart"); // what should be played; -1: the whole file
        QTest::addColumn<int>("loopEnd");
        QTest::addColumn<QString>("note"); // what standard error says of the marks; empty: nothing
        const QStringList none;
        const QString played = QStringLiteral("loops from frame");
        const QString backwards = QStringLiteral("ignored: its loop starts at or after its end");
        const QString pastTheEnd = QStringLiteral("ignored: its loop ends past the end of the file");
        const QString tooShort = QStringLiteral("ignored: its loop is shorter than 50 ms");
        const int shortest = static_cast<int>(audio::kShortestLoopFrames);
        QTest::newRow("wav, sampler loop")
            << "a.wav" << 5000 << 15000 << none << true << 5000 << 15000 << played;
        QTest::newRow("wav, loop to the last frame")
            << "a.wav" << 1 << 20000 << none << true << 1 << 20000 << played;
        QTest::newRow("wav, setting off")
            << "a.wav" << 5000 << 15000 << none << false << -1 << 0 << QString();
        QTest::newRow("wav, no marks") << "a.wav" << -1 << 0 << none << true << -1 << 0 << QString();
        QTest::newRow("wav, start after the end")
            << "a.wav" << 15000 << 5000 << none << true << -1 << 0 << backwards;
        QTest::newRow("wav, empty loop") << "a.wav" << 5000 << 5000 << none << true << -1 << 0 << backwards;
        QTest::newRow("wav, end past the file's end")
            << "a.wav" << 5000 << 25000 << none << true << -1 << 0 << pastTheEnd;
        // libsndfile stores the exclusive end less one: the chunk says 0 to 0, editors' "no loop".
        QTest::newRow("wav, a loop of 0 to 0") << "a.wav" << 0 << 1 << none << true << -1 << 0 << tooShort;
        QTest::newRow("wav, a loop of two frames")
            << "a.wav" << 5000 << 5002 << none << true << -1 << 0 << tooShort;
        QTest::newRow("wav, a loop one frame short of 50 ms")
            << "a.wav" << 5000 << 5000 + shortest - 1 << none << true << -1 << 0 << tooShort;
        QTest::newRow("wav, a loop of 50 ms")
            << "a.wav" << 5000 << 5000 + shortest << none << true << 5000 << 5000 + shortest << played;
        QTest::newRow("flac, start and length")
            << "b.flac" << -1 << 0 << QStringList{"LOOPSTART=4000", "LOOPLENGTH=9000"} << true << 4000
            << 13000 << played;
        QTest::newRow("flac, start and end, names in any case")
            << "b.flac" << -1 << 0 << QStringList{"loopstart=4000", "LoopEnd=13000"} << true << 4000 << 13000
            << played;
        QTest::newRow("flac, start alone loops to the end")
            << "b.flac" << -1 << 0 << QStringList{"LOOPSTART=4000"} << true << 4000 << 20000 << played;
        QTest::newRow("flac, a length that is not a number")
            << "b.flac" << -1 << 0 << QStringList{"LOOPSTART=4000", "LOOPLENGTH=lots"} << true << -1 << 0
            << QStringLiteral("ignored: its loop start or length is not a number of frames");
        QTest::newRow("flac, a loop past the end")
            << "b.flac" << -1 << 0 << QStringList{"LOOPSTART=4000", "LOOPLENGTH=90000"} << true << -1 << 0
            << pastTheEnd;
        QTest::newRow("flac, a length beyond any file")
            << "b.flac" << -1 << 0 << QStringList{"LOOPSTART=4000", "LOOPLENGTH=9223372036854775807"} << true
            << -1 << 0 << pastTheEnd;
        QTest::newRow("flac, LOOPLENGTH=1")
            << "b.flac" << -1 << 0 << QStringList{"LOOPSTART=4000", "LOOPLENGTH=1"} << true << -1 << 0
            << tooShort;
        QTest::newRow("flac, start alone at the last frame")
            << "b.flac" << -1 << 0 << QStringList{"LOOPSTART=19999"} << true << -1 << 0 << tooShort;
        QTest::newRow("ogg, start and length")
            << "c.ogg" << -1 << 0 << QStringList{"LOOPSTART=6000", "LOOPLENGTH=11000"} << true << 6000
            << 17000 << played;
        QTest::newRow("ogg, start alone loops to the end")
            << "c.ogg" << -1 << 0 << QStringList{"LOOPSTART=6000"} << true << 6000 << 20000 << played;
        QTest::newRow("ogg, a loop of 100 samples")
            << "c.ogg" << -1 << 0 << QStringList{"LOOPSTART=6000", "LOOPEND=6100"} << true << -1 << 0
            << tooShort;
        // Opus plays at 48 kHz, where its comments count: the loop [48000, 96000) of a 2 s file is
        // [44100, 88200) of the engine's frames.
        QTest::newRow("opus, start and length")
            << "d.opus" << -1 << 0 << QStringList{"LOOPSTART=48000", "LOOPLENGTH=48000"} << true << 44100
            << 88200 << played;
        // One made from 16 kHz sound is decoded at 16 kHz, and its comments still count at 48 kHz.
        QTest::newRow("opus of 16 kHz sound, start and length")
            << "d16.opus" << -1 << 0 << QStringList{"LOOPSTART=48000", "LOOPLENGTH=48000"} << true << 44100
            << 88200 << played;
        QTest::newRow("opus, a loop of 10 ms")
            << "d.opus" << -1 << 0 << QStringList{"LOOPSTART=48000", "LOOPLENGTH=480"} << true << -1 << 0
            << tooShort;
        QTest::newRow("ogg, setting off")
            << "c.ogg" << -1 << 0 << QStringList{"LOOPSTART=6000", "LOOPLENGTH=11000"} << false << -1 << 0
            << QString();
    }

    void aFilePlaysItsIntroductionOnceThenItsLoop()
    {
        QFETCH(QString, file);
        QFETCH(int, start);
        QFETCH(int, end);
        QFETCH(QStringList, comments);
        QFETCH(bool, wanted);
        QFETCH(int, loopStart);
        QFETCH(int, loopEnd);
        QFETCH(QString, note);
        const int kFrames = file.endsWith(QLatin1String(".opus")) ? 2 * kRate : 20000;
        const QString path = m_dir.filePath(file);
        if (file.endsWith(QLatin1String(".wav"))) {
            QVERIFY(test::writeSamplerLoopWav(path, ramp(kFrames), kRate, start, end));
            if (start >= 0)
                QCOMPARE(samplerLoopInTheChunk(path), (std::pair<quint32, quint32>(start, end - 1)));
        } else if (file.endsWith(QLatin1String(".flac")))
            QVERIFY(test::writeCommentedFlac(path, ramp(kFrames), kRate, comments));
        else if (file.endsWith(QLatin1String(".ogg")))
            QVERIFY(test::writeCommentedOgg(path, chirp(kFrames), kRate, comments));
        else if (file.startsWith(QLatin1String("d16")))
            QVERIFY(test::writeCommentedOpus(path, chirp(2 * 16000), 16000, comments));
        else
            QVERIFY(test::writeCommentedOpus(path, chirp(kFrames), kRate, comments));
        const std::vector<float> straight = decodeStraight(path);
        QCOMPARE(straight.size(), std::size_t(2 * kFrames));
        m_wanted = wanted;
        QVERIFY(openAndPlay(path));
        if (note.isEmpty())
            QVERIFY2(!m_openNote.contains(QLatin1String("loop")), qPrintable(m_openNote));
        else
            QVERIFY2(m_openNote.contains(note), qPrintable(m_openNote));
        play(5 * kFrames);

        // What should be heard: [0, loopEnd) once, then [loopStart, loopEnd) over and over.
        const bool looped = loopStart >= 0;
        if (!looped) {
            loopStart = 0;
            loopEnd = kFrames;
        }
        std::vector<float> expected(straight.begin(), straight.begin() + 2 * loopEnd);
        while (expected.size() < std::size_t(8 * kFrames))
            expected.insert(expected.end(), straight.begin() + 2 * loopStart, straight.begin() + 2 * loopEnd);
        const std::vector<float> heard = m_capture->takeCaptured();
        QVERIFY2(heard.size() >= std::size_t(8 * kFrames), qPrintable(QString::number(heard.size())));
        // Lossy frames come back from a seek as they do straight through, to the decoder's rounding.
        const float tolerance =
            file.endsWith(QLatin1String(".wav")) || file.endsWith(QLatin1String(".flac")) ? 0.0f : 1e-4f;
        for (std::size_t i = 0; i < std::size_t(8 * kFrames); ++i) {
            if (std::fabs(heard[i] - expected[i]) > tolerance)
                QFAIL(qPrintable(QStringLiteral("frame %1: heard %2, expected %3")
                                     .arg(i / 2)
                                     .arg(heard[i])
                                     .arg(expected[i])));
        }
        // One endless pass: the window never had to restart it, and the service tells the file's own
        // length and a place inside the file.
        QCOMPARE(m_restarts > 0, !looped);
        QCOMPARE(ask("status midi length"), QString::number(kFrames * 1000 / kRate));
        QVERIFY(ask("status midi position").toInt() <= kFrames * 1000 / kRate);
        QVERIFY(m_box.shown.isEmpty());
    }

    // Stop keeps the place inside the loop, and Play goes on from there, round the loop again.
    void playAfterStopStaysInTheLoop()
    {
        const QString path = m_dir.filePath(QStringLiteral("resume.wav"));
        QVERIFY(test::writeSamplerLoopWav(path, ramp(20000), kRate, 5000, 15000));
        QVERIFY(openAndPlay(path));
        play(32000); // into the second pass of the loop
        QCOMPARE(m_mci->mciSendStringA("stop midi", nullptr, 0, nullptr), MCIERROR(0));
        const int stoppedAt = ask("status midi position").toInt();
        QVERIFY2(stoppedAt >= 5000 * 1000 / kRate && stoppedAt <= 15000 * 1000 / kRate,
                 qPrintable(QString::number(stoppedAt)));
        m_capture->advance(4 * kPeriod);
        m_capture->takeCaptured();
        QCOMPARE(m_mci->mciSendStringA("play midi notify", nullptr, 0, nullptr), MCIERROR(0));
        play(25000);
        const std::vector<float> captured = m_capture->takeCaptured();
        std::vector<int> heard;
        for (std::size_t i = 0; i < captured.size(); i += 2)
            heard.push_back(static_cast<int>(std::lround(captured[i] * 32768.0f)));
        heard.erase(heard.begin(), std::find_if(heard.begin(), heard.end(), [](int v) { return v != 0; }));
        QVERIFY(heard.size() > 20000);
        QVERIFY2(heard[0] > 5000 && heard[0] <= 15000, qPrintable(QString::number(heard[0])));
        for (std::size_t i = 1; i < 20000; ++i)
            QCOMPARE(heard[i], heard[i - 1] == 15000 ? 5001 : heard[i - 1] + 1);
        QCOMPARE(m_restarts, 0);
    }

    // A MIDI file whose loop is marked by its first control change 111 (to the end of the song) or by
    // loopStart and loopEnd markers (with an ending after the loop that is never heard): its
    // introduction note sounds once, the loop's note once per loop length, each pass with the channel
    // as it stood at the loop's start (the volume the end of the loop raised is set back), and the
    // window never restarts it.
    void aMidiLoopRestoresTheChannelsAtItsStart_data()
    {
        QTest::addColumn<bool>("markers");
        QTest::newRow("control change 111") << false;
        QTest::newRow("markers, with an ending after the loop") << true;
    }

    void aMidiLoopRestoresTheChannelsAtItsStart()
    {
        QFETCH(bool, markers);
        // 480 ticks a half second. Introduction: a note at 0, the volume lowered at 400. Loop from 480:
        // a note at 480, the volume raised at 900, the loop's end at 960; with markers, a loud ending
        // note at 1000 and the end of the song at 1440.
        test::MidiTrack track;
        track.tempo(0, 500000)
            .programChange(0, 0, 0)
            .noteOn(0, 0, 60, 127)
            .noteOff(48, 0, 60)
            .controlChange(352, 0, 7, 40);
        if (markers)
            track.meta(80, 6, "loopStart");
        else
            track.controlChange(80, 0, 111, 0);
        track.noteOn(0, 0, 72, 127).noteOff(48, 0, 72).controlChange(372, 0, 7, 127);
        if (markers)
            track.meta(60, 6, "loopEnd").noteOn(40, 0, 84, 127).noteOff(48, 0, 84).endOfTrack(392);
        else
            track.endOfTrack(60);
        const QString path = m_dir.filePath(QStringLiteral("marked.mid"));
        QVERIFY(test::writeBytes(path, test::midiFile(0, 480, {track})));
        QVERIFY(openAndPlay(path));
        play(5 * kRate / 2);
        const std::vector<float> audio = m_capture->takeCaptured();

        // Onsets: the first frame above the quiet level after at least 0.1 s below it; and each note's
        // peak over the 0.1 s after its onset.
        std::vector<std::int64_t> onsets;
        std::vector<double> peaks;
        std::int64_t quietRun = 1 << 20;
        for (std::size_t i = 0; i < audio.size() / 2; ++i) {
            const float level = std::max(std::fabs(audio[2 * i]), std::fabs(audio[2 * i + 1]));
            const bool room = i + kRate / 10 < audio.size() / 2; // the whole note is heard
            if (level >= 0.002f && quietRun > kRate / 10 && room) {
                onsets.push_back(static_cast<std::int64_t>(i));
                peaks.push_back(0.0);
            }
            if (!onsets.empty() && static_cast<std::int64_t>(i) - onsets.back() < kRate / 10)
                peaks.back() = std::max(peaks.back(), static_cast<double>(level));
            quietRun = level < 0.002f ? quietRun + 1 : 0;
        }
        QVERIFY2(onsets.size() >= 5, qPrintable(QString::number(onsets.size())));
        // The introduction once, then the loop's note every half second, within a synthesiser block.
        // (The quieter loop note crosses the onset level later in its attack than the introduction's,
        // so the first distance is only roughly a loop.)
        constexpr std::int64_t kLoop = kRate / 2;
        QVERIFY2(std::abs(onsets[1] - onsets[0] - kLoop) <= 512,
                 qPrintable(QString::number(onsets[1] - onsets[0])));
        for (std::size_t k = 1; k < onsets.size(); ++k) {
            const std::int64_t drift = onsets[k] - onsets[1] - static_cast<std::int64_t>(k - 1) * kLoop;
            QVERIFY2(std::abs(drift) <= 64,
                     qPrintable(QStringLiteral("onset %1 off by %2").arg(k).arg(drift)));
            // Every pass as loud as the first: the raised volume never carries over the jump.
            const double db = 20.0 * std::log10(peaks[k] / peaks[1]);
            QVERIFY2(std::abs(db) < 0.5, qPrintable(QStringLiteral("pass %1: %2 dB").arg(k).arg(db)));
        }
        QCOMPARE(m_restarts, 0);
        QCOMPARE(ask("status midi mode"), QStringLiteral("playing"));
        QCOMPARE(ask("status midi length"), markers ? QStringLiteral("1500") : QStringLiteral("1000"));
    }

    // A note still held at the loop's end is released there as at a song's end, not cut: its release
    // rings on into the next pass.
    void aNoteHeldAtTheJumpRingsOn()
    {
        // Strings from tick 600 (1.25 x 480) held past the loop's end at 960 (one second); the loop
        // starts at 480, so nothing else sounds for 0.25 s after the jump.
        test::MidiTrack track;
        track.tempo(0, 500000)
            .programChange(0, 0, 48)
            .controlChange(480, 0, 111, 0)
            .noteOn(120, 0, 60, 110)
            .endOfTrack(360);
        const QString path = m_dir.filePath(QStringLiteral("held.mid"));
        QVERIFY(test::writeBytes(path, test::midiFile(0, 480, {track})));
        QVERIFY(openAndPlay(path));
        play(kRate + kRate / 5);
        const std::vector<float> audio = m_capture->takeCaptured();
        auto rms = [&](std::int64_t from, std::int64_t to) {
            double sum = 0;
            for (std::int64_t i = 2 * from; i < 2 * to; ++i)
                sum += double(audio[static_cast<std::size_t>(i)]) * audio[static_cast<std::size_t>(i)];
            return std::sqrt(sum / double(2 * (to - from)));
        };
        // The jump is at one second, on the synthesiser's block grid: 60 ms before it against 10-60 ms
        // after it (a release decays a little; a cut falls to silence).
        const double before = rms(kRate - kRate * 6 / 100, kRate - kRate / 100);
        const double after = rms(kRate + kRate / 100, kRate + kRate * 6 / 100);
        QVERIFY(before > 1e-3);
        const double db = 20.0 * std::log10(std::max(after, 1e-9) / before);
        QVERIFY2(db > -12.0, qPrintable(QStringLiteral("%1 dB after the jump").arg(db)));
        QCOMPARE(m_restarts, 0);
    }

    // 5,000 loopStart and loopEnd markers one tick apart, as a converter that marks every bar of a
    // long file might leave them: the first pair is a loop of 9 frames, nonsense that would play
    // silence for ever. The song loops whole, its note at the start of every pass.
    void aMidiLoopOfATickIsIgnored()
    {
        // 480 ticks a tenth of a second; the note for the first 480, then the markers.
        test::MidiTrack track;
        track.tempo(0, 100000).programChange(0, 0, 0).noteOn(0, 0, 60, 127).noteOff(480, 0, 60);
        for (int i = 0; i < 5000; ++i)
            track.meta(0, 6, "loopStart").meta(1, 6, "loopEnd");
        const QString path = m_dir.filePath(QStringLiteral("ticks.mid"));
        QVERIFY(test::writeBytes(path, test::midiFile(0, 480, {track.endOfTrack(0)})));
        QVERIFY(openAndPlay(path));
        QVERIFY2(m_openNote.contains(QLatin1String("ignored: its loop is shorter than 50 ms")),
                 qPrintable(m_openNote));
        const std::int64_t song = std::int64_t(5480) * kRate / 4800; // 5,480 ticks
        play(2 * song + kRate / 2);
        QCOMPARE(m_restarts, 2);
        const std::vector<float> audio = m_capture->takeCaptured();
        for (std::int64_t pass = 0; pass < 3; ++pass) {
            float peak = 0.0f;
            for (std::int64_t i = 2 * pass * song; i < 2 * (pass * song + kRate / 10); ++i)
                peak = std::max(peak, std::fabs(audio.at(static_cast<std::size_t>(i))));
            QVERIFY2(peak > 0.01f, qPrintable(QStringLiteral("pass %1: peak %2").arg(pass).arg(peak)));
        }
    }
};

QTEST_GUILESS_MAIN(LoopPointsTest)
#include "LoopPointsTest.moc"
