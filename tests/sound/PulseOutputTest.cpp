// The default output on a real PulseAudio server: a private one per test run, with a null sink whose
// monitor the tests record, and which a test kills and starts again. The server also shows what it was
// told about the stream, through libpulse and through SDL's PulseAudio driver.
#include "sound/decode/Decoders.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/AudioOutput.h"
#include "sound/engine/Device.h"
#include "sound/output/Outputs.h"
#include "sound/output/StreamIdentity.h"
#include "testkit/AudioFiles.h"
#include "testkit/AudioSeamAnalyser.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <SDL.h>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

using namespace qb::audio;
using qb::test::AudioSeamAnalyser;

namespace {

// A PulseAudio server of the test's own, with one null sink "q", reached through PULSE_SERVER. The
// test process and its children use it (and nothing of the user's) through the environment.
class PrivatePulseServer
{
public:
    explicit PrivatePulseServer(const QString& dir) : m_dir(dir)
    {
        for (const char* sub : {"home", "xdg", "runtime"})
            QDir(m_dir).mkpath(QString::fromLatin1(sub));
        qputenv("HOME", QDir(m_dir).filePath("home").toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", QDir(m_dir).filePath("xdg").toLocal8Bit());
        qputenv("PULSE_RUNTIME_PATH", QDir(m_dir).filePath("runtime").toLocal8Bit());
        qputenv("PULSE_SERVER", ("unix:" + socket()).toLocal8Bit());
        // libpulse, not SDL's driver of the test environment.
        qputenv("SDL_AUDIODRIVER", "pulseaudio");
    }
    ~PrivatePulseServer() { kill(); }

    QString socket() const { return QDir(m_dir).filePath("native"); }

    // Starts the server and waits until it answers.
    bool start()
    {
        QFile::remove(socket()); // left behind by a killed server
        m_process.setProgram(QStringLiteral("pulseaudio"));
        m_process.setArguments({"-n", "--daemonize=no", "--exit-idle-time=-1", "-F", "/dev/null",
                                // Float, as the stream: the monitor records the very samples played.
                                "--load=module-null-sink sink_name=q format=float32le rate=44100",
                                "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket()});
        m_process.setStandardOutputFile(QDir(m_dir).filePath("server.log"), QIODevice::Append);
        m_process.setStandardErrorFile(QDir(m_dir).filePath("server.log"), QIODevice::Append);
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return false;
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            QProcess pactl;
            pactl.start(QStringLiteral("pactl"), {"info"});
            if (pactl.waitForFinished(10000) && pactl.exitStatus() == QProcess::NormalExit &&
                pactl.exitCode() == 0)
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(10000);
    }

    // The `pactl list sink-inputs` block of each playback stream on the server.
    static QStringList sinkInputs()
    {
        QProcess pactl;
        pactl.start(QStringLiteral("pactl"), {"list", "sink-inputs"});
        if (!pactl.waitForFinished(10000) || pactl.exitCode() != 0)
            return {};
        QStringList blocks;
        for (const QString& block : QString::fromUtf8(pactl.readAllStandardOutput()).split("Sink Input #")) {
            if (block.contains(QLatin1String("Quillbeat")))
                blocks << block;
        }
        return blocks;
    }
    // The properties of our one stream on the server (empty unless there is exactly one).
    static QMap<QString, QString> streamProperties()
    {
        const QStringList inputs = sinkInputs();
        QMap<QString, QString> properties;
        if (inputs.size() != 1)
            return properties;
        for (const QString& line : inputs.front().split(QLatin1Char('\n'))) {
            const QString item = line.trimmed(); // key = "value"
            const qsizetype equals = item.indexOf(QLatin1String(" = \""));
            if (equals > 0 && item.endsWith(QLatin1Char('"')))
                properties.insert(item.left(equals), item.mid(equals + 4, item.size() - equals - 5));
        }
        return properties;
    }
    static bool onlyCorkedOrNone()
    {
        const QStringList inputs = sinkInputs();
        return std::all_of(inputs.begin(), inputs.end(),
                           [](const QString& b) { return b.contains(QLatin1String("Corked: yes")); });
    }
    static bool oneUncorked()
    {
        const QStringList inputs = sinkInputs();
        return inputs.size() == 1 && inputs.front().contains(QLatin1String("Corked: no"));
    }

private:
    QString m_dir;
    QProcess m_process;
};

// Records the null sink's monitor through parec, as float stereo at the engine's rate.
class MonitorRecorder
{
public:
    bool start()
    {
        m_parec.start(QStringLiteral("parec"), {"--raw", "--format=float32le", "--rate=44100", "--channels=2",
                                                "--latency-msec=10", "--device=q.monitor"});
        return m_parec.waitForStarted(10000);
    }
    ~MonitorRecorder()
    {
        m_parec.kill();
        m_parec.waitForFinished(10000);
    }
    // Frames recorded so far (reads what parec has written).
    std::int64_t frames()
    {
        m_bytes.append(m_parec.readAllStandardOutput());
        return m_bytes.size() / static_cast<qsizetype>(sizeof(float) * kChannels);
    }
    // Every frame recorded so far, interleaved.
    std::vector<float> interleaved()
    {
        const std::int64_t n = frames();
        const auto* samples = reinterpret_cast<const float*>(m_bytes.constData());
        return std::vector<float>(samples, samples + n * kChannels);
    }
    // Left channel of every frame recorded so far.
    std::vector<float> left()
    {
        const std::int64_t n = frames();
        std::vector<float> out(static_cast<std::size_t>(n));
        const auto* samples = reinterpret_cast<const float*>(m_bytes.constData());
        for (std::int64_t i = 0; i < n; ++i)
            out[static_cast<std::size_t>(i)] = samples[i * kChannels];
        return out;
    }

private:
    QProcess m_parec;
    QByteArray m_bytes;
};

// Runs of a constant tone in a recording: where each starts and how long it is.
struct Run
{
    std::int64_t start;
    std::int64_t length;
};
QString describe(const std::vector<Run>& runs)
{
    QStringList parts;
    for (const Run& run : runs)
        parts << QString("%1+%2").arg(run.start).arg(run.length);
    return parts.join(QLatin1String(", "));
}

std::vector<Run> toneRuns(const std::vector<float>& left)
{
    std::vector<Run> runs;
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (std::fabs(left[i]) < 0.1f)
            continue;
        if (!runs.empty() && runs.back().start + runs.back().length == static_cast<std::int64_t>(i))
            ++runs.back().length;
        else
            runs.push_back({static_cast<std::int64_t>(i), 1});
    }
    return runs;
}

// A render function that plays a constant tone while `on`, and silence otherwise.
struct Tone
{
    std::atomic<bool> on{true};
    std::atomic<std::int64_t> toneFrames{0};
    std::atomic<std::int64_t> frames{0};

    AudioOutput::RenderFn render()
    {
        return [this](float* out, int n) {
            const bool sounding = on.load();
            std::fill_n(out, static_cast<std::size_t>(n) * kChannels, sounding ? 0.25f : 0.0f);
            frames += n;
            if (sounding)
                toneFrames += n;
        };
    }
};

} // namespace

class PulseOutputTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<PrivatePulseServer> m_server;

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty())
            QSKIP("the pulseaudio program is not installed (Debian: pulseaudio, pulseaudio-utils)");
        QVERIFY(m_dir.isValid());
        m_server = std::make_unique<PrivatePulseServer>(m_dir.path());
        QVERIFY(m_server->start());
    }

    void cleanupTestCase() { m_server.reset(); }

    // What the desktop's sound settings show beside the stream: the program, named and drawn as its
    // desktop entry names and draws it, that it plays music, and the title of what plays now. The
    // identity is set as the sound module sets it, before any output opens.
    void theServerIsToldWhatTheStreamIs()
    {
        const QSettings entry(QStringLiteral(QUILLBEAT_DESKTOP_ENTRY), QSettings::IniFormat);
        const QString name = entry.value(QStringLiteral("Desktop Entry/Name")).toString();
        const QString icon = entry.value(QStringLiteral("Desktop Entry/Icon")).toString();
        const QString id = QFileInfo(QStringLiteral(QUILLBEAT_DESKTOP_ENTRY)).completeBaseName();
        QVERIFY(!name.isEmpty() && !icon.isEmpty());
        ::unsetenv("PULSE_PROP_media.role");
        ::unsetenv("PULSE_PROP_application.icon_name");
        ::unsetenv("PULSE_PROP_application.id");
        StreamIdentity identity;
        identity.streamName = "Demo";
        setStreamIdentity(identity);
        QMap<QString, QString> expected{{"application.name", name},
                                        {"application.id", id},
                                        {"application.icon_name", icon},
                                        {"media.role", "music"},
                                        {"media.name", "Demo"}};
        const auto shows = [&expected] {
            const QMap<QString, QString> properties = PrivatePulseServer::streamProperties();
            for (auto it = expected.cbegin(); it != expected.cend(); ++it)
                if (properties.value(it.key()) != it.value())
                    return false;
            return true;
        };
        const auto report = [] {
            QStringList lines;
            const QMap<QString, QString> properties = PrivatePulseServer::streamProperties();
            for (auto it = properties.cbegin(); it != properties.cend(); ++it)
                lines << it.key() + " = " + it.value();
            return lines.join(QLatin1String("; "));
        };

        // Through libpulse; the stream takes the title of what plays when Play makes it active, and
        // while it plays on.
        {
            auto output = makeDefaultOutput();
            QCOMPARE(QString(output->name()), QString("pulse"));
            Tone tone;
            QVERIFY(output->start(tone.render()));
            QTRY_VERIFY2_WITH_TIMEOUT(shows(), qPrintable(report()), 10000);
            for (const char* title : {"はじめのループ", ""}) {
                setStreamTitle(title);
                expected["media.name"] = *title ? QString::fromUtf8(title) : QStringLiteral("Demo");
                output->setActive(false);
                output->setActive(true);
                QTRY_VERIFY2_WITH_TIMEOUT(shows(), qPrintable(report()), 10000);
            }
            // Another file while it plays on, as when a later start hands one over: the stream stays
            // active and still takes the new title.
            setStreamTitle("二曲目");
            expected["media.name"] = QStringLiteral("二曲目");
            QTRY_VERIFY2_WITH_TIMEOUT(shows(), qPrintable(report()), 10000);
            output->stop();
            setStreamTitle("");
        }
        QTRY_VERIFY_WITH_TIMEOUT(PrivatePulseServer::sinkInputs().isEmpty(), 10000);

        // Through SDL, which names the stream from its hints and the environment's properties.
        const auto playThroughSdl = [&] {
            SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
            QCOMPARE(SDL_InitSubSystem(SDL_INIT_AUDIO), 0);
            QCOMPARE(QString(SDL_GetCurrentAudioDriver()), QString("pulseaudio"));
            SDL_AudioSpec want{};
            want.freq = kEngineRate;
            want.format = AUDIO_F32SYS;
            want.channels = kChannels;
            want.samples = 512;
            want.callback = [](void*, Uint8* stream, int bytes) { std::fill_n(stream, bytes, Uint8{0}); };
            SDL_AudioSpec have{};
            const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
            QVERIFY2(device != 0, SDL_GetError());
            SDL_PauseAudioDevice(device, 0);
            QTRY_VERIFY2_WITH_TIMEOUT(shows(), qPrintable(report()), 10000);
            SDL_CloseAudioDevice(device);
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
            QTRY_VERIFY_WITH_TIMEOUT(PrivatePulseServer::sinkInputs().isEmpty(), 10000);
        };
        expected["media.name"] = QStringLiteral("Demo");
        playThroughSdl();
        if (QTest::currentTestFailed())
            return;

        // A property the user set in the environment is left as it is, and both streams carry it.
        ::setenv("PULSE_PROP_media.role", "game", 1);
        setStreamIdentity({});
        QCOMPARE(std::getenv("PULSE_PROP_media.role"), "game");
        expected["media.role"] = QStringLiteral("game");
        expected["media.name"] = QString::fromStdString(StreamIdentity{}.streamName);
        playThroughSdl();
        {
            auto output = makeDefaultOutput();
            Tone tone;
            QVERIFY(output->start(tone.render()));
            QTRY_VERIFY2_WITH_TIMEOUT(shows(), qPrintable(report()), 10000);
            output->stop();
        }
        ::unsetenv("PULSE_PROP_media.role");
    }

    void defaultOutputIsOnTheServer()
    {
        auto output = makeDefaultOutput();
        QCOMPARE(QString(output->name()), QString("pulse"));
        Tone tone;
        QVERIFY(output->start(tone.render()));
        QTRY_VERIFY_WITH_TIMEOUT(PrivatePulseServer::oneUncorked(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(tone.frames.load() > kEngineRate / 2, 10000);
        output->stop();
    }

    void idleEngineCorksItsStream()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("a.wav"));
        QVERIFY(qb::test::writeWav(path, 2 * kEngineRate));
        AudioEngine engine(makeDefaultOutput());
        QCOMPARE(QString(engine.output().name()), QString("pulse"));
        auto device = engine.addDevice(openDecoder(path.toStdString()).decoder);
        // Nothing plays yet: the stream is there but corked.
        QVERIFY(!PrivatePulseServer::sinkInputs().isEmpty());
        QVERIFY(PrivatePulseServer::onlyCorkedOrNone());
        device->play();
        QTRY_VERIFY_WITH_TIMEOUT(PrivatePulseServer::oneUncorked(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(device->positionFrames() > kEngineRate / 4, 10000);
        device->stop();
        QTRY_VERIFY_WITH_TIMEOUT(PrivatePulseServer::onlyCorkedOrNone(), 10000);
    }

    void goingIdleDropsWhatTheServerHolds()
    {
        MonitorRecorder recorder;
        QVERIFY(recorder.start());
        QTRY_VERIFY_WITH_TIMEOUT(recorder.frames() > 0, 10000);
        auto output = makeDefaultOutput();
        Tone tone;
        QVERIFY(output->start(tone.render()));
        QTRY_VERIFY_WITH_TIMEOUT(!toneRuns(recorder.left()).empty() &&
                                     toneRuns(recorder.left()).back().length > kEngineRate / 2,
                                 10000);
        // What the engine does on Stop: the render function goes silent, then the output idle.
        tone.on = false;
        output->setActive(false);
        const std::int64_t rendered = tone.toneFrames.load();
        std::int64_t recorded = recorder.frames();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.frames() > recorded + kEngineRate / 4, 10000);
        // And on the next Play: what the server held before must not come back either.
        output->setActive(true);
        recorded = recorder.frames();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.frames() > recorded + kEngineRate / 2, 10000);

        const std::vector<Run> runs = toneRuns(recorder.left());
        QVERIFY2(runs.size() == 1, qPrintable(describe(runs))); // no dropout either
        const std::int64_t dropped = rendered - runs.front().length;
        // The server held 150-200 ms when the output went idle, and plays on for a few milliseconds at
        // most; a machine busy enough to let the buffer run low makes it less, hence only 50 ms here
        // (the time to silence is measured by the benchmark).
        QVERIFY2(dropped >= kEngineRate / 20,
                 qPrintable(QString("rendered %1, heard %2").arg(rendered).arg(runs.front().length)));
        output->stop();
    }

    // Play after Stop goes on with the frame after the last one heard before Stop (within 10 ms), with
    // no gap or stutter after it: what the server held unplayed at Stop comes back to the engine.
    void playAfterStopGoesOnFromTheLastFrameHeard_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("wav") << "wav";
        QTest::newRow("mp3") << "mp3";
    }
    void playAfterStopGoesOnFromTheLastFrameHeard()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString path = dir.filePath("music." + kind);
        QVERIFY(kind == "mp3" ? qb::test::writeMp3(path, 10 * kEngineRate)
                              : qb::test::writeWav(path, 10 * kEngineRate));
        const auto open = [&path, &kind] {
            return kind == "mp3" ? openDecoder(path.toStdString()).decoder
                                 : openDecoder(path.toStdString()).decoder;
        };
        MonitorRecorder recorder;
        QVERIFY(recorder.start());
        QTRY_VERIFY_WITH_TIMEOUT(recorder.frames() > 0, 10000);
        AudioEngine engine(makeDefaultOutput());
        QCOMPARE(QString(engine.output().name()), QString("pulse"));
        auto device = engine.addDevice(open());
        const auto recordFor = [&recorder](std::int64_t frames) {
            const std::int64_t from = recorder.frames();
            QTRY_VERIFY_WITH_TIMEOUT(recorder.frames() > from + frames, 10000);
        };
        device->play();
        recordFor(kEngineRate);
        device->stop();
        recordFor(kEngineRate / 2);
        device->play();
        recordFor(kEngineRate);
        device->stop();
        recordFor(kEngineRate / 4);

        auto reference = open();
        const std::vector<float> recording = recorder.interleaved();
        const AudioSeamAnalyser::Report report =
            AudioSeamAnalyser::analyse(recording, qb::test::decodePass(*reference));
        QVERIFY2(report.locked, qPrintable(report.summary()));
        // One break in the music, the stop; a stutter after Play would be another.
        QVERIFY2(report.events.size() == 1, qPrintable(report.summary()));
        const AudioSeamAnalyser::Event& stop = report.events.front();
        std::int64_t silent = 0;
        for (std::int64_t i = stop.captureFrame; i < stop.captureFrame + stop.inserted; ++i)
            silent += recording[std::size_t(i * 2)] == 0.0f && recording[std::size_t(i * 2 + 1)] == 0.0f;
        // Frames of the file heard twice count as inserted, beside the silence of the stop.
        const std::int64_t repeated = stop.inserted - silent;
        const QString figures = QString("skipped %1, repeated %2 frames; stopped for %3 frames")
                                    .arg(stop.dropped)
                                    .arg(repeated)
                                    .arg(silent);
        qInfo("%s", qPrintable(figures));
        QVERIFY2(stop.dropped <= kEngineRate / 100 && repeated <= kEngineRate / 100, qPrintable(figures));
    }

    void playTakesWhatTheEngineHasReadyAtOnce()
    {
        // With plenty decoded, the server holds its whole buffer (200 ms) as soon as the first sound
        // is found, not the 40 ms it starts with, so a late wake-up just after Play does not run it
        // dry; the first fill runs inside start().
        auto output = makeDefaultOutput();
        Tone tone;
        QVERIFY(output->start({tone.render(), [] { return std::int64_t{kEngineRate}; }}));
        QVERIFY2(tone.frames.load() >= kEngineRate * 150 / 1000,
                 qPrintable(QString::number(tone.frames.load())));
        output->stop();
    }

    // Started with the session before its sound server: the player plays in time on its silent output,
    // and the server that starts later gets the stream, with the music from where it has got to.
    // A machine too busy to refill the server in time: the first stall longer than the buffer is heard
    // as a dropout, and the output then keeps a longer buffer, so the same stall again is not.
    void aServerThatRanOutHoldsMoreFromThenOn()
    {
        MonitorRecorder recorder;
        QVERIFY(recorder.start());
        QTRY_VERIFY_WITH_TIMEOUT(recorder.frames() > 0, 10000);
        auto output = makeDefaultOutput();
        Tone tone;
        std::atomic<int> stallMs{0};
        const AudioOutput::RenderFn sound = tone.render();
        QVERIFY(output->start({[&](float* out, int n) {
                                   // The output's own thread stalls, as under a heavy load.
                                   if (const int ms = stallMs.exchange(0))
                                       std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                                   sound(out, n);
                               },
                               [] { return std::int64_t{kEngineRate}; }}));
        const auto playFor = [&recorder](std::int64_t frames) {
            const std::int64_t from = recorder.frames();
            QTRY_VERIFY_WITH_TIMEOUT(recorder.frames() > from + frames, 10000);
        };
        playFor(kEngineRate);
        stallMs = 350;
        playFor(2 * kEngineRate);
        const std::size_t afterFirst = toneRuns(recorder.left()).size();
        stallMs = 200;
        playFor(2 * kEngineRate);
        tone.on = false;
        playFor(kEngineRate / 2);
        const std::vector<Run> runs = toneRuns(recorder.left());
        QVERIFY2(afterFirst == 2, qPrintable(describe(runs)));
        QVERIFY2(runs.size() == 2, qPrintable(describe(runs)));
        output->stop();
    }

    void aServerThatStartsAfterPlayGetsTheStream()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("long.wav"));
        QVERIFY(qb::test::writeWav(path, 60 * kEngineRate));
        m_server->kill();
        AudioEngine engine(makeDefaultOutput());
        QCOMPARE(QString(engine.output().name()), QString("silent"));
        auto device = engine.addDevice(openDecoder(path.toStdString()).decoder);
        device->play();
        QTRY_VERIFY_WITH_TIMEOUT(device->positionFrames() > kEngineRate / 2, 10000);

        QVERIFY(m_server->start());
        MonitorRecorder recorder;
        QVERIFY(recorder.start());
        QTRY_COMPARE_WITH_TIMEOUT(QString(engine.output().name()), QString("pulse"), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(PrivatePulseServer::oneUncorked(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!toneRuns(recorder.left()).empty(), 10000);
        QVERIFY(device->positionFrames() > kEngineRate / 2);
        QCOMPARE(device->mode(), Device::Mode::Playing);
    }

    void serverGoingAwayKeepsTimeAndComesBack()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("long.wav"));
        QVERIFY(qb::test::writeWav(path, 60 * kEngineRate));
        AudioEngine engine(makeDefaultOutput());
        QCOMPARE(QString(engine.output().name()), QString("pulse"));
        auto device = engine.addDevice(openDecoder(path.toStdString()).decoder);
        device->play();
        QTRY_VERIFY_WITH_TIMEOUT(PrivatePulseServer::oneUncorked(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(device->positionFrames() > kEngineRate / 4, 10000);

        m_server->kill();
        QTRY_COMPARE_WITH_TIMEOUT(QString(engine.output().name()), QString("silent"), 10000);
        // The music goes on in time without the server.
        const std::int64_t rendered = engine.stats().framesRendered;
        const std::int64_t position = device->positionFrames();
        QTRY_VERIFY_WITH_TIMEOUT(engine.stats().framesRendered > rendered + kEngineRate, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(device->positionFrames() > position + kEngineRate, 10000);
        QCOMPARE(device->mode(), Device::Mode::Playing);

        QVERIFY(m_server->start());
        QTRY_COMPARE_WITH_TIMEOUT(QString(engine.output().name()), QString("pulse"), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(PrivatePulseServer::oneUncorked(), 10000);
        // From where the music had got to, not from the start.
        const std::int64_t back = device->positionFrames();
        QVERIFY(back > position + kEngineRate);
        QTRY_VERIFY_WITH_TIMEOUT(device->positionFrames() > back + kEngineRate / 4, 10000);
    }
};

QTEST_GUILESS_MAIN(PulseOutputTest)
#include "PulseOutputTest.moc"
