// Files that mark their own loop, played through the MCI service into a capture output clocked by the
// test, with the window's restart (seek to start, play) whenever the device stops: with loop points
// wanted, the introduction plays once and the loop follows itself without a frame added or lost, in
// one endless pass; marks that make no sense, or the setting off, loop the whole file as before.
#include "sound/MciErrors.h"
#include "sound/engine/AudioEngine.h"
#include "sound/mci/MciService.h"
#include "system/MessageBox.h"
#include "testkit/CaptureOutput.h"
#include "testkit/MidiFiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <cstring>
#include <sndfile.h>
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

// A stereo ramp whose left sample counts 1, 2, 3, ... so every frame is recognisable, with a sampler
// chunk holding one forward loop [start, end) when `start` is not negative.
bool writeMarkedRamp(const QString& path, int frames, int start, int end)
{
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    if (start >= 0) {
        SF_INSTRUMENT instrument{};
        instrument.basenote = 60;
        instrument.velocity_hi = instrument.key_hi = 127;
        instrument.loop_count = 1;
        instrument.loops[0].mode = SF_LOOP_FORWARD;
        instrument.loops[0].start = static_cast<std::uint32_t>(start);
        instrument.loops[0].end = static_cast<std::uint32_t>(end);
        if (sf_command(file, SFC_SET_INSTRUMENT, &instrument, sizeof instrument) != SF_TRUE) {
            sf_close(file);
            return false;
        }
    }
    std::vector<short> samples(static_cast<std::size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        samples[2 * static_cast<std::size_t>(i)] = static_cast<short>(i + 1);
        samples[2 * static_cast<std::size_t>(i) + 1] = static_cast<short>(-(i + 1));
    }
    const sf_count_t written = sf_writef_short(file, samples.data(), frames);
    sf_close(file);
    return written == frames;
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

    std::vector<int> leftHeard()
    {
        const std::vector<float> captured = m_capture->takeCaptured();
        std::vector<int> left;
        for (std::size_t i = 0; i < captured.size(); i += 2)
            left.push_back(static_cast<int>(std::lround(captured[i] * 32768.0f)));
        left.erase(left.begin(), std::find(left.begin(), left.end(), 1));
        return left;
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

    void aWaveFilePlaysItsIntroductionOnceThenItsLoop_data()
    {
        QTest::addColumn<int>("start"); // -1: no sampler chunk
        QTest::addColumn<int>("end");
        QTest::addColumn<bool>("wanted");
        QTest::addColumn<bool>("looped"); // the marks are played
        QTest::newRow("sampler loop") << 5000 << 15000 << true << true;
        QTest::newRow("loop to the last frame") << 1 << 20000 << true << true;
        QTest::newRow("setting off") << 5000 << 15000 << false << false;
        QTest::newRow("no marks") << -1 << 0 << true << false;
        QTest::newRow("start after the end") << 15000 << 5000 << true << false;
        QTest::newRow("empty loop") << 5000 << 5000 << true << false;
        QTest::newRow("end past the file's end") << 5000 << 25000 << true << false;
    }

    void aWaveFilePlaysItsIntroductionOnceThenItsLoop()
    {
        QFETCH(int, start);
        QFETCH(int, end);
        QFETCH(bool, wanted);
        QFETCH(bool, looped);
        constexpr int kFrames = 20000;
        const QString path = m_dir.filePath(QStringLiteral("marked.wav"));
        QVERIFY(writeMarkedRamp(path, kFrames, start, end));
        m_wanted = wanted;
        QCOMPARE(m_mci->mciSendStringA(("open " + path.toStdString() + " alias midi").c_str(), nullptr, 0,
                                       nullptr),
                 MCIERROR(0));
        QCOMPARE(m_mci->mciSendStringA("play midi notify", nullptr, 0, nullptr), MCIERROR(0));
        play(5 * kFrames);

        // What should be heard: 1..end once, then start+1..end over and over; or the whole file.
        std::vector<int> expected;
        const int loopStart = looped ? start : 0;
        const int loopEnd = looped ? end : kFrames;
        for (int i = 0; i < loopEnd; ++i)
            expected.push_back(i + 1);
        while (expected.size() < std::size_t(4 * kFrames)) {
            for (int i = loopStart; i < loopEnd; ++i)
                expected.push_back(i + 1);
        }
        const std::vector<int> heard = leftHeard();
        QVERIFY2(heard.size() >= std::size_t(4 * kFrames), qPrintable(QString::number(heard.size())));
        for (std::size_t i = 0; i < std::size_t(4 * kFrames); ++i) {
            if (heard[i] != expected[i])
                QFAIL(qPrintable(
                    QStringLiteral("frame %1: heard %2, expected %3").arg(i).arg(heard[i]).arg(expected[i])));
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
        QVERIFY(writeMarkedRamp(path, 20000, 5000, 15000));
        QCOMPARE(m_mci->mciSendStringA(("open " + path.toStdString() + " alias midi").c_str(), nullptr, 0,
                                       nullptr),
                 MCIERROR(0));
        QCOMPARE(m_mci->mciSendStringA("play midi notify", nullptr, 0, nullptr), MCIERROR(0));
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

    // A MIDI file whose loop starts at its first control change 111: its introduction note sounds
    // once, the loop's note once per loop length, each pass with the channel as it stood at the loop's
    // start (the volume the end of the loop raised is set back), and the window never restarts it.
    void aMidiLoopRestoresTheChannelsAtItsStart()
    {
        // 480 ticks a half second. Introduction: a note at 0, the volume lowered at 400. Loop from 480:
        // a note at 480, the volume raised at 900, the end of the song at 960.
        test::MidiTrack track;
        track.tempo(0, 500000)
            .programChange(0, 0, 0)
            .noteOn(0, 0, 60, 127)
            .noteOff(48, 0, 60)
            .controlChange(352, 0, 7, 40)
            .controlChange(80, 0, 111, 0)
            .noteOn(0, 0, 72, 127)
            .noteOff(48, 0, 72)
            .controlChange(372, 0, 7, 127)
            .endOfTrack(60);
        const QString path = m_dir.filePath(QStringLiteral("marked.mid"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(test::midiFile(0, 480, {track})) > 0);
        file.close();
        QCOMPARE(m_mci->mciSendStringA(("open " + path.toStdString() + " alias midi").c_str(), nullptr, 0,
                                       nullptr),
                 MCIERROR(0));
        QCOMPARE(m_mci->mciSendStringA("play midi notify", nullptr, 0, nullptr), MCIERROR(0));
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
        QCOMPARE(ask("status midi length"), QStringLiteral("1000"));
    }
};

QTEST_GUILESS_MAIN(LoopPointsTest)
#include "LoopPointsTest.moc"
