// The endless loop as the program runs it: the real loop monitor (Timer1_Timer) polling the real MCI
// service, whose devices play into a capture output clocked by the test. Whatever reaches the
// "speakers" is compared with the file: at every seam nothing may be inserted and nothing dropped.
#include "playback/Playback.h"
#include "sound/MciErrorText.h"
#include "sound/MciErrors.h"
#include "sound/decode/Decoders.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/Device.h"
#include "sound/mci/MciService.h"
#include "support/DialogDriver.h"
#include "support/RecordingView.h"
#include "testkit/AudioFiles.h"
#include "testkit/AudioSeamAnalyser.h"
#include "testkit/CaptureOutput.h"
#include "testkit/Fakes.h"
#include "testkit/MidiFiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <array>
#include <cmath>

using namespace qb;

namespace {

constexpr int kPeriod = 512;

struct Rig
{
    audio::CaptureOutput* capture = nullptr;
    std::unique_ptr<audio::AudioEngine> engine;
    test::RecordingMessageBox messages;
    std::unique_ptr<mci::MciService> service;
    playback::PlaybackState state;
    test::DialogDriver dialogs; // no test here opens the dialog
    test::RecordingView view;
    std::unique_ptr<playback::Playback> playback;

    Rig()
    {
        auto output = std::make_unique<audio::CaptureOutput>(kPeriod);
        capture = output.get();
        audio::AudioEngine::Options options;
        options.feederThread = false;
        engine = std::make_unique<audio::AudioEngine>(std::move(output), options);
        service = std::make_unique<mci::MciService>(*engine, messages);
        playback = std::make_unique<playback::Playback>(state, view, *service, dialogs);
    }

    // Opens and plays `path` as Select and Play do, then runs the loop monitor once per output period
    // (about every 12 ms) for `frames` frames.
    void loop(const QString& path, std::int64_t frames, int ticksPerPeriod = 1)
    {
        state.FilePath = path;
        QVERIFY(playback->OpenMediaFile());
        state.IsOpen = true;
        playback->Command1_Click();
        QVERIFY(state.IsPlaying);
        for (std::int64_t done = 0; done < frames; done += kPeriod) {
            capture->advance(kPeriod);
            for (int i = 0; i < ticksPerPeriod; ++i)
                playback->Timer1_Timer();
        }
        QVERIFY(messages.shown.empty());
    }
};

std::vector<float> referencePass(audio::OpenResult opened)
{
    if (!opened.decoder)
        return {};
    return test::decodePass(*opened.decoder);
}

} // namespace

class LoopMonitorTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    // Whatever reaches the "speakers" is the file, pass after pass, nothing inserted or dropped.
    static void checkSeamless(const std::vector<float>& heard, const std::vector<float>& reference,
                              int passes)
    {
        QVERIFY(!reference.empty());
        const auto report = test::AudioSeamAnalyser::analyse(heard, reference);
        qInfo().noquote() << report.summary();
        QVERIFY(report.locked);
        QCOMPARE(report.firstFrame, std::int64_t(0));
        QCOMPARE(static_cast<int>(report.seams.size()), passes);
        QCOMPARE(report.insertedAtSeams, std::int64_t(0));
        QCOMPARE(report.droppedAtSeams, std::int64_t(0));
        QCOMPARE(report.insertedInPasses, std::int64_t(0));
        QCOMPARE(report.droppedInPasses, std::int64_t(0));
    }

    // A MIDI pass is rendered anew each time, so its passes are found by the onsets of one short loud
    // note at the start of each: each starts one song length after the one before.
    static void checkOnsets(const std::vector<float>& audio, std::int64_t songFrames, int passes)
    {
        // An onset: the first frame above the quiet level after at least 0.1 s below it (the note and
        // its tails fade below it well before the next pass).
        std::vector<std::int64_t> onsets;
        std::int64_t quietRun = 1 << 20;
        for (std::size_t i = 0; i < audio.size() / 2; ++i) {
            const float level = std::max(std::fabs(audio[2 * i]), std::fabs(audio[2 * i + 1]));
            if (level >= 0.002f && quietRun > 4410)
                onsets.push_back(static_cast<std::int64_t>(i));
            quietRun = level < 0.002f ? quietRun + 1 : 0;
        }
        QVERIFY2(onsets.size() >= static_cast<std::size_t>(passes - 1),
                 qPrintable(QString::number(onsets.size())));
        std::int64_t worst = 0;
        double total = 0;
        for (std::size_t k = 1; k < onsets.size(); ++k) {
            const std::int64_t drift = onsets[k] - onsets[k - 1] - songFrames;
            const std::int64_t distance = drift < 0 ? -drift : drift;
            worst = std::max(worst, distance);
            total += static_cast<double>(distance);
            // FluidSynth starts notes on its 64-frame blocks: a pass starts within half a block.
            QVERIFY2(distance <= 32, qPrintable(QStringLiteral("pass %1 off by %2").arg(k).arg(drift)));
        }
        qInfo(
            "%zu passes: each starts within %lld frames of one song length after the one before (mean %.1f)",
            onsets.size(), static_cast<long long>(worst), total / static_cast<double>(onsets.size() - 1));
    }

private slots:
    // The window's loop timer (Timer1_Timer) restarts the device whenever it has stopped playing, in
    // time for the next pass to follow the last one without a seam, however often it ticks.
    void theTimerRestartsTheDeviceWhenItStops_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("passes");
        QTest::addColumn<int>("ticksPerPeriod");
        QTest::newRow("wav, a tick per output period") << "loop.wav" << 6 << 1;
        QTest::newRow("wav, a tick per millisecond") << "loop.wav" << 6 << 12;
        QTest::newRow("mp3, a tick per output period") << "loop.mp3" << 4 << 1;
        QTest::newRow("mid, a tick per output period") << "loop.mid" << 8 << 1;
    }

    void theTimerRestartsTheDeviceWhenItStops()
    {
        QFETCH(QString, file);
        QFETCH(int, passes);
        QFETCH(int, ticksPerPeriod);
        const QString path = dir.filePath(file);
        std::vector<float> reference;
        std::int64_t passFrames = 0;
        if (file.endsWith(QLatin1String(".wav"))) {
            QVERIFY(test::writeWav(path, 30000)); // not a multiple of the period
            reference = referencePass(audio::openDecoder(path.toStdString()));
        } else if (file.endsWith(QLatin1String(".mp3"))) {
            QVERIFY(test::writeMp3(path, 44100));
            reference = referencePass(audio::openDecoder(path.toStdString()));
        } else {
            // One short loud note at the start of each 0.5 s pass: its onsets mark the passes.
            test::MidiTrack track;
            track.tempo(0, 500000)
                .programChange(0, 0, 0)
                .noteOn(0, 0, 72, 127)
                .noteOff(48, 0, 72)
                .endOfTrack(432);
            QVERIFY(test::writeBytes(path, test::midiFile(0, 480, {track})));
            passFrames = audio::kEngineRate / 2;
        }
        if (!reference.empty())
            passFrames = static_cast<std::int64_t>(reference.size() / 2);
        QVERIFY(passFrames > 0);

        Rig rig;
        rig.loop(path, reference.empty() ? passFrames * passes : passFrames * passes + passFrames / 2,
                 ticksPerPeriod);
        const std::vector<float> heard = rig.capture->takeCaptured();
        if (reference.empty())
            checkOnsets(heard, passFrames, passes);
        else
            checkSeamless(heard, reference, passes);
    }

    // A file truncated to nothing while it loops: its next restart is refused, the service's box says
    // the file cannot be read, once, and the window stops looping as Stop stops it. The ticks that
    // come while the box is up (it runs its own event loop) wait for it instead of stacking more.
    void aFileEmptiedWhileItLoopsEndsTheLoopWithOneBox()
    {
        const QString path = dir.filePath(QStringLiteral("emptied.wav"));
        QVERIFY(test::writeWav(path, 20000));
        Rig rig;
        rig.loop(path, 3 * 20000);
        QVERIFY(QFile::resize(path, 0));
        int ticksUnderTheBox = 0;
        rig.messages.onShow = [&] {
            for (int i = 0; i < 5; ++i, ++ticksUnderTheBox)
                rig.playback->Timer1_Timer();
        };
        for (int period = 0; period < 200 && rig.state.IsPlaying; ++period) {
            rig.capture->advance(kPeriod);
            rig.playback->Timer1_Timer();
        }
        QCOMPARE(rig.messages.shown.size(), std::size_t(1));
        QCOMPARE(rig.messages.shown.front().text, mci::mciErrorText(mci::MCIERR_FILE_READ));
        QCOMPARE(ticksUnderTheBox, 5);
        // No tick under the box restarted the device behind the window's back.
        std::array<char, 80> mode{};
        QCOMPARE(rig.service->mciSendStringA("status midi mode", mode.data(), 80, nullptr), 0u);
        QCOMPARE(QByteArray(mode.data()), QByteArray("stopped"));
        QVERIFY(!rig.state.IsPlaying);
        QVERIFY(rig.state.IsOpen);
        QCOMPARE(rig.view.label1, QStringLiteral("Stop     ") + path);
        QVERIFY(!rig.view.timer3);
        QCOMPARE(rig.view.picture, QStringLiteral("still"));
        for (int period = 0; period < 20; ++period) {
            rig.capture->advance(kPeriod);
            rig.playback->Timer1_Timer();
        }
        QCOMPARE(rig.messages.shown.size(), std::size_t(1));
    }
};

QTEST_GUILESS_MAIN(LoopMonitorTest)
#include "LoopMonitorTest.moc"
