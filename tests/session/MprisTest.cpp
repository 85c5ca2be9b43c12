// The media controls on a private D-Bus session bus (its own dbus-daemon): each method does what the
// matching command does through the window's handlers, the properties follow, every change is
// announced with PropertiesChanged and every jump of the position with Seeked, and the volume is kept
// for the next start. Without a bus the window simply has no media controls.
#include "session/Mpris.h"

#include "sound/engine/AudioEngine.h"
#include "sound/mci/MciService.h"
#include "support/DialogDriver.h"
#include "support/PrivateBus.h"
#include "system/CodePage.h"
#include "system/SettingsStore.h"
#include "testkit/AudioFiles.h"
#include "testkit/CaptureOutput.h"
#include "testkit/Fakes.h"
#include "testkit/LoopMarkedFiles.h"
#include "testkit/MemorySettingsStore.h"
#include "ui/Form1.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

using namespace qb;

namespace {

// Counts PropertiesChanged for the player interface and keeps the last PlaybackStatus it carried.
class ChangeWatcher : public QObject
{
    Q_OBJECT
public:
    int changes = 0;
    QString lastStatus;
    QVariantMap lastMetadata;
    double lastVolume = -1;
    QList<qlonglong> seeked; // the positions each Seeked carried

public slots:
    void seek(qlonglong position) { seeked << position; }

    void changed(const QString& interface, const QVariantMap& properties, const QStringList&)
    {
        if (interface != QLatin1String("org.mpris.MediaPlayer2.Player"))
            return;
        ++changes;
        if (properties.contains(QStringLiteral("PlaybackStatus")))
            lastStatus = properties.value(QStringLiteral("PlaybackStatus")).toString();
        if (properties.contains(QStringLiteral("Volume")))
            lastVolume = properties.value(QStringLiteral("Volume")).toDouble();
        if (properties.contains(QStringLiteral("Metadata")))
            lastMetadata = qdbus_cast<QVariantMap>(properties.value(QStringLiteral("Metadata")));
    }
};

// A window on recording services (neither loaded nor shown), with its media controls; its settings
// its own, or `kept` ones that outlive it.
struct ControlledWindow
{
    explicit ControlledWindow(test::MemorySettingsStore* kept = nullptr)
        : settings(kept ? *kept : ownSettings)
    {
    }

    test::RecordingMci mci;
    test::RecordingMessageBox messages;
    test::MemorySettingsStore ownSettings;
    test::MemorySettingsStore& settings;
    test::DialogDriver dialogs;
    ui::Form1 form{ui::Form1::Services{mci, messages, settings, dialogs}};
    session::Mpris mpris{form, mci, settings};
};

constexpr int kRate = audio::kEngineRate;
constexpr int kPeriod = 512;

// A window on the real sound service, which plays into an output the test clocks; the media controls
// run on the same clock, so the time they expect the position to run by is the sound played, and a
// stop lets time pass without sound (`silentFrames`).
struct PlayingWindow
{
    explicit PlayingWindow(bool loopPoints) : service(engine, messages, options(loopPoints))
    {
        mpris.setClock([this] { return (playedFrames + silentFrames) * 1'000'000 / kRate; });
    }

    static audio::AudioEngine::Options manualFeeder()
    {
        audio::AudioEngine::Options options;
        options.feederThread = false;
        return options;
    }
    static mci::MciService::Options options(bool loopPoints)
    {
        mci::MciService::Options options;
        options.loopPointsWanted = [loopPoints] { return loopPoints; };
        return options;
    }

    // Plays `frames` frames an output period at a time, with a tick of the window's loop monitor after
    // each; `look` is called after every tenth of a second.
    void play(std::int64_t frames, const std::function<void()>& look = {})
    {
        for (std::int64_t done = 0; done < frames; done += kPeriod) {
            capture->advance(kPeriod);
            playedFrames += kPeriod;
            form.Timer1_Timer();
            if (look && playedFrames / (kRate / 10) != (playedFrames - kPeriod) / (kRate / 10))
                look();
        }
    }

    audio::CaptureOutput* capture = new audio::CaptureOutput(kPeriod, audio::CaptureOutput::Clock::Manual);
    audio::AudioEngine engine{std::unique_ptr<audio::AudioOutput>(capture), manualFeeder()};
    test::RecordingMessageBox messages;
    mci::MciService service;
    test::MemorySettingsStore settings;
    test::DialogDriver dialogs;
    ui::Form1 form{ui::Form1::Services{service, messages, settings, dialogs}};
    session::Mpris mpris{form, service, settings};
    std::int64_t playedFrames = 0;
    std::int64_t silentFrames = 0;
};

} // namespace

class MprisTest : public QObject
{
    Q_OBJECT

    test::PrivateBus bus;

    QDBusConnection connect(const QString& name) { return bus.connect(name); }

    static QDBusMessage playerCall(const QString& method, const QVariantList& arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QStringLiteral("org.mpris.MediaPlayer2.quillbeat"), QStringLiteral("/org/mpris/MediaPlayer2"),
            QStringLiteral("org.mpris.MediaPlayer2.Player"), method);
        message.setArguments(arguments);
        return message;
    }

    // Has `watcher` hear the player's PropertiesChanged signals through `client`.
    static bool watch(QDBusConnection& client, ChangeWatcher& watcher)
    {
        return client.connect(QString(), QStringLiteral("/org/mpris/MediaPlayer2"),
                              QStringLiteral("org.freedesktop.DBus.Properties"),
                              QStringLiteral("PropertiesChanged"), &watcher,
                              SLOT(changed(QString, QVariantMap, QStringList)));
    }

    // Has `watcher` hear the player's Seeked signals through `client`.
    static bool watchSeeks(QDBusConnection& client, ChangeWatcher& watcher)
    {
        return client.connect(QString(), QStringLiteral("/org/mpris/MediaPlayer2"),
                              QStringLiteral("org.mpris.MediaPlayer2.Player"), QStringLiteral("Seeked"),
                              &watcher, SLOT(seek(qlonglong)));
    }

    // Once this returns, every signal the player sent before has reached the client's slots: the bus
    // keeps a connection's messages in order, and the answer to a call comes behind them.
    static void flush(QDBusConnection& client)
    {
        property(client, QStringLiteral("PlaybackStatus"));
        QCoreApplication::processEvents();
    }

    // A property of the player interface as a client reads it; invalid when the read fails.
    static QVariant property(QDBusConnection& client, const QString& name)
    {
        QDBusMessage get = QDBusMessage::createMethodCall(
            QStringLiteral("org.mpris.MediaPlayer2.quillbeat"), QStringLiteral("/org/mpris/MediaPlayer2"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << QStringLiteral("org.mpris.MediaPlayer2.Player") << name;
        const QDBusMessage answer = client.call(get, QDBus::BlockWithGui);
        if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty())
            return {};
        return qvariant_cast<QDBusVariant>(answer.arguments().front()).variant();
    }

private slots:
    void initTestCase() { QVERIFY2(bus.start(), "dbus-daemon (package dbus-daemon) is needed"); }

    void eachMethodIsItsCommand()
    {
        ControlledWindow w;
        QVERIFY(w.mpris.registerOn(connect(QStringLiteral("player"))));

        QDBusConnection client = connect(QStringLiteral("client"));
        ChangeWatcher watcher;
        QVERIFY(watch(client, watcher));
        // Calls without waiting for the answer: the player answers on this same thread.
        const auto call = [&client](const QString& method) {
            client.asyncCall(QDBusMessage::createMethodCall(
                QStringLiteral("org.mpris.MediaPlayer2.quillbeat"), QStringLiteral("/org/mpris/MediaPlayer2"),
                QStringLiteral("org.mpris.MediaPlayer2.Player"), method));
        };

        // Play with nothing open does nothing: CanPlay says so, and a media key raises no message box.
        QVERIFY(!property(client, QStringLiteral("CanPlay")).toBool());
        QCOMPARE(property(client, QStringLiteral("PlaybackStatus")).toString(), QStringLiteral("Stopped"));
        call(QStringLiteral("Play"));
        call(QStringLiteral("PlayPause"));
        // The bus keeps a connection's messages in order: once this is answered, both calls have been
        // served, and what they queued runs before a timer queued now.
        QVERIFY(property(client, QStringLiteral("CanPause")).isValid());
        bool flushed = false;
        QTimer::singleShot(0, [&flushed] { flushed = true; });
        QTRY_VERIFY(flushed);
        QVERIFY(w.messages.shown.empty());
        QVERIFY(w.mci.log.filter(QStringLiteral("play")).isEmpty());

        w.form.state().IsOpen = true;
        w.form.state().FilePath = QStringLiteral("/music/loop.wav");
        w.mci.script("status midi mode", {0, "playing"}); // the loop monitor has nothing to restart
        const qsizetype logBeforePlay = w.mci.log.size();
        call(QStringLiteral("Play"));
        QTRY_VERIFY(w.form.state().IsPlaying);
        QTRY_COMPARE(watcher.lastStatus, QStringLiteral("Playing"));
        QVERIFY(w.mci.log.mid(logBeforePlay).contains(QStringLiteral("send:play midi notify")));

        call(QStringLiteral("Pause"));
        QTRY_VERIFY(!w.form.state().IsPlaying);
        QCOMPARE(w.mci.log.filter(QStringLiteral("exec:")).last(), QStringLiteral("exec:stop midi"));
        // Play goes on where Stop left it: Paused, as long as a file is open.
        QTRY_COMPARE(watcher.lastStatus, QStringLiteral("Paused"));
        QCOMPARE(w.form.label1Caption(), QStringLiteral("Stop     /music/loop.wav"));

        call(QStringLiteral("PlayPause"));
        QTRY_VERIFY(w.form.state().IsPlaying);
        call(QStringLiteral("PlayPause"));
        QTRY_VERIFY(!w.form.state().IsPlaying);
        call(QStringLiteral("Play"));
        QTRY_VERIFY(w.form.state().IsPlaying);
        call(QStringLiteral("Stop"));
        QTRY_VERIFY(!w.form.state().IsPlaying);
        QCOMPARE(property(client, QStringLiteral("PlaybackStatus")).toString(), QStringLiteral("Paused"));
    }

    // The length and the place in the file are the sound service's, in microseconds.
    void lengthAndPositionAreTheServices()
    {
        ControlledWindow w;
        QVERIFY(w.mpris.registerOn(connect(QStringLiteral("player"))));
        QDBusConnection client = connect(QStringLiteral("client"));
        w.mci.script("status midi length", {0, "93500"});
        w.mci.script("status midi position", {0, "1250"});
        QCOMPARE(property(client, QStringLiteral("Position")).toLongLong(), 0); // no file open
        QVERIFY(!w.mpris.metadata().contains(QStringLiteral("mpris:length")));

        w.form.state().IsOpen = true;
        w.form.state().FilePath = QStringLiteral("/music/loop.wav");
        QCOMPARE(property(client, QStringLiteral("Position")).toLongLong(), 1250000);
        const QVariantMap meta = qdbus_cast<QVariantMap>(property(client, QStringLiteral("Metadata")));
        QCOMPARE(meta.value(QStringLiteral("mpris:length")).toLongLong(), 93500000);
        QVERIFY(property(client, QStringLiteral("CanPlay")).toBool());

        // A file without a title is called by its name, as the window shows it: one that is not UTF-8
        // as it was meant.
        QCOMPARE(w.mpris.metadata().value(QStringLiteral("xesam:title")).toString(),
                 QStringLiteral("loop.wav"));
        w.form.state().FilePath = platform::fromAnsi("/music/caf\xe9.wav");
        QCOMPARE(w.mpris.metadata().value(QStringLiteral("xesam:title")).toString(),
                 QString::fromUtf8("café.wav"));

        // A service that cannot tell leaves the length out, and the position at the start.
        w.mci.script("status midi length", {mci::MCIERROR(263), {}});
        w.mci.script("status midi position", {mci::MCIERROR(263), {}});
        QVERIFY(!w.mpris.metadata().contains(QStringLiteral("mpris:length")));
        QCOMPARE(property(client, QStringLiteral("Position")).toLongLong(), 0);
    }

    // A file: URI of this computer is taken as a later start's --play FILE; any other URI is refused
    // with the command line's words, also one that names, on another host, a path that exists here.
    void openUriPlaysFilesAndRefusesTheRest()
    {
        ControlledWindow w;
        QVERIFY(w.mpris.registerOn(connect(QStringLiteral("player"))));
        QDBusConnection client = connect(QStringLiteral("client"));
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("a b.wav"));
        QVERIFY(test::writeWav(file, 441));
        const QString onThisComputer = QUrl::fromLocalFile(file).toString();
        QString onAnotherHost = onThisComputer;
        onAnotherHost.replace(QStringLiteral("file://"), QStringLiteral("file://otherhost"));

        const QList<QPair<QString, QString>> refusals = {
            {QStringLiteral("https://example.org/song.mid"), QStringLiteral("only files on this computer")},
            {QStringLiteral("not a uri at all"), QStringLiteral("only files on this computer")},
            {QStringLiteral("file:relative.wav"), QStringLiteral("not a file on this computer")},
            {onAnotherHost, QStringLiteral("not a file on this computer: ") + onAnotherHost},
        };
        for (const auto& [uri, saying] : refusals) {
            const QDBusMessage refused =
                client.call(playerCall(QStringLiteral("OpenUri"), {uri}), QDBus::BlockWithGui);
            QCOMPARE(refused.type(), QDBusMessage::ErrorMessage);
            QCOMPARE(refused.errorName(), QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
            QVERIFY2(refused.errorMessage().startsWith(saying), qPrintable(refused.errorMessage()));
        }
        const QDBusMessage taken =
            client.call(playerCall(QStringLiteral("OpenUri"), {onThisComputer}), QDBus::BlockWithGui);
        QCOMPARE(taken.type(), QDBusMessage::ReplyMessage);
        QTRY_VERIFY(w.form.state().IsPlaying);
        QCOMPARE(w.form.state().FilePath, file);
        QCOMPARE(w.mci.log.filter(QStringLiteral("send:open")).size(), 1); // the refused ones opened nothing
    }

    static QString set(QDBusConnection& client, const QString& name, const QVariant& value)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QStringLiteral("org.mpris.MediaPlayer2.quillbeat"), QStringLiteral("/org/mpris/MediaPlayer2"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"));
        message << QStringLiteral("org.mpris.MediaPlayer2.Player") << name
                << QVariant::fromValue(QDBusVariant(value));
        return client.call(message, QDBus::BlockWithGui).errorName();
    }

    // LoopStatus is Track for good and refuses a set; CanControl is true because the transport obeys.
    void loopStatusRefusesSets()
    {
        ControlledWindow w;
        QVERIFY(w.mpris.registerOn(connect(QStringLiteral("player"))));
        QDBusConnection client = connect(QStringLiteral("client"));
        QVERIFY(property(client, QStringLiteral("CanControl")).toBool());
        QCOMPARE(set(client, QStringLiteral("LoopStatus"), QStringLiteral("None")),
                 QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"));
        QCOMPARE(property(client, QStringLiteral("LoopStatus")).toString(), QStringLiteral("Track"));
    }

    // Volume is the sound service's: a set reaches it (at once, or with the next file when none is open),
    // is kept within 0 to 1 and announced; a set of another type is refused with InvalidArgs.
    void theVolumeIsTheSoundServices()
    {
        ControlledWindow w;
        QVERIFY(w.mpris.registerOn(connect(QStringLiteral("player"))));
        QDBusConnection client = connect(QStringLiteral("client"));
        ChangeWatcher watcher;
        QVERIFY(watch(client, watcher));
        QCOMPARE(property(client, QStringLiteral("Volume")).toDouble(), 1.0);
        QCOMPARE(set(client, QStringLiteral("Volume"), QStringLiteral("loud")),
                 QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));

        QCOMPARE(set(client, QStringLiteral("Volume"), 0.5), QString());
        QCOMPARE(property(client, QStringLiteral("Volume")).toDouble(), 0.5);
        QTRY_COMPARE(watcher.lastVolume, 0.5);
        QVERIFY(w.mci.log.filter(QStringLiteral("setaudio")).isEmpty()); // nothing is open to take it

        w.form.state().IsOpen = true;
        w.form.state().FilePath = QStringLiteral("/music/loop.wav");
        emit w.form.playbackStateChanged();
        QCOMPARE(w.mci.log.filter(QStringLiteral("setaudio")),
                 QStringList{QStringLiteral("send:setaudio midi volume to 500")});

        w.mci.script("status midi volume", {0, "250"});
        QCOMPARE(property(client, QStringLiteral("Volume")).toDouble(), 0.25);
        QCOMPARE(set(client, QStringLiteral("Volume"), 1.7), QString());
        QCOMPARE(w.mci.log.filter(QStringLiteral("setaudio")).last(),
                 QStringLiteral("send:setaudio midi volume to 1000"));
        QCOMPARE(set(client, QStringLiteral("Volume"), -2.0), QString());
        QCOMPARE(w.mci.log.filter(QStringLiteral("setaudio")).last(),
                 QStringLiteral("send:setaudio midi volume to 0"));
    }

    // The volume set over the bus is kept in the settings once it rests (a slider's many sets make one
    // save) or when the player ends, and a new start begins with it: shown at once, given to the first
    // file it opens.
    void theVolumeIsKeptForTheNextStart()
    {
        test::MemorySettingsStore kept;
        const auto keptVolume = [&kept] {
            return kept.GetSetting(QStringLiteral("Quillbeat"), QStringLiteral("Settings"),
                                   QStringLiteral("Volume"));
        };
        {
            ControlledWindow first(&kept);
            QVERIFY(first.mpris.registerOn(connect(QStringLiteral("player"))));
            QDBusConnection client = connect(QStringLiteral("client"));
            for (double volume : {0.1, 0.2, 0.3})
                QCOMPARE(set(client, QStringLiteral("Volume"), volume), QString());
            QTRY_COMPARE(keptVolume(), QStringLiteral("0.3"));
            QCOMPARE(kept.saveCount(), 1);
            QCOMPARE(set(client, QStringLiteral("Volume"), 0.65), QString());
        } // ended before that save was due
        QCOMPARE(keptVolume(), QStringLiteral("0.65"));

        ControlledWindow next(&kept);
        QCOMPARE(next.mpris.volume(), 0.65);
        next.form.state().IsOpen = true;
        next.form.state().FilePath = QStringLiteral("/music/loop.wav");
        emit next.form.playbackStateChanged();
        QCOMPARE(next.mci.log.filter(QStringLiteral("setaudio")),
                 QStringList{QStringLiteral("send:setaudio midi volume to 650")});

        // A value no start could have saved is no volume: full, as at a first start.
        QVERIFY(kept.SaveSetting(QStringLiteral("Quillbeat"), QStringLiteral("Settings"),
                                 QStringLiteral("Volume"), QStringLiteral("loud")));
        ControlledWindow hand(&kept);
        QCOMPARE(hand.mpris.volume(), 1.0);
    }

    // Each jump of the position is announced with Seeked and the new position, whatever makes it: the
    // window's restart at the end of the file, or the jump back to a loop point inside the one pass.
    // A client's read finds it, and so does the player's own look when nobody reads. The position
    // that runs on with the time played, and one that stood still while stopped, is no jump.
    void everyJumpOfThePositionIsSeeked_data()
    {
        QTest::addColumn<int>("fileFrames");
        QTest::addColumn<int>("loopStart"); // the file's own loop, [loopStart, loopStart + kRate); -1: none
        QTest::addColumn<int>("firstJump"); // where the first jump is made, in frames played
        QTest::newRow("whole-file loop") << kRate << -1 << kRate;
        QTest::newRow("loop points") << 2 * kRate << kRate / 2 << 3 * kRate / 2;
    }

    void everyJumpOfThePositionIsSeeked()
    {
        QFETCH(int, fileFrames);
        QFETCH(int, loopStart);
        QFETCH(int, firstJump);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("loop.wav"));
        QVERIFY(test::writeSamplerLoopWav(file, test::noiseSignal(fileFrames, 2, 5, 0.1f), kRate, loopStart,
                                          loopStart + kRate));
        const int landing = std::max(loopStart, 0); // where each jump lands
        PlayingWindow w(loopStart >= 0);
        QVERIFY(w.mpris.registerOn(connect(QStringLiteral("player"))));
        QDBusConnection client = connect(QStringLiteral("client"));
        ChangeWatcher watcher;
        QVERIFY(watchSeeks(client, watcher));
        QVERIFY(w.form.selectFile(file));
        w.form.Command1_Click();
        QVERIFY(w.form.state().IsPlaying);
        const auto read = [&client] { property(client, QStringLiteral("Position")); };
        const auto ms = [](std::int64_t frames) { return qlonglong(frames * 1000 / kRate); };

        // Up to just before the jump, read by a client every tenth of a second: time played, no jump.
        w.play(firstJump - kRate / 10, read);
        flush(client);
        QCOMPARE(watcher.seeked, QList<qlonglong>());
        // Across it: the next read finds the position back at the loop's start.
        w.play(kRate / 5, read);
        flush(client);
        QCOMPARE(watcher.seeked.size(), 1);
        QVERIFY2(watcher.seeked[0] >= ms(landing) * 1000 &&
                     watcher.seeked[0] <= (ms(landing + kRate / 10 + kPeriod) + 1) * 1000,
                 qPrintable(QString::number(watcher.seeked[0])));

        // Across the next one with no client reading: the player's own look finds it, and says where
        // the position is now, as a client then reads it.
        w.play(kRate);
        QTRY_COMPARE(watcher.seeked.size(), 2);
        const std::int64_t secondJump = firstJump + kRate;
        QCOMPARE(watcher.seeked[1], ms(landing + w.playedFrames - secondJump) * 1000);
        QCOMPARE(property(client, QStringLiteral("Position")).toLongLong(), watcher.seeked[1]);

        // Stopped for a while, then played on: the position stood still and runs again, no jump.
        w.form.Command2_Click();
        w.silentFrames += 5 * kRate;
        w.form.Command1_Click();
        w.play(kRate / 5, read);
        flush(client);
        QCOMPARE(watcher.seeked.size(), 2);
    }

    // Clients that read the object's description see each interface once, and Volume as a writable
    // double, as the media-player interface defines it.
    void theDescriptionNamesEachInterfaceOnce()
    {
        ControlledWindow w;
        QVERIFY(w.mpris.registerOn(connect(QStringLiteral("player"))));
        QDBusConnection client = connect(QStringLiteral("client"));
        const QDBusMessage answer =
            client.call(QDBusMessage::createMethodCall(QStringLiteral("org.mpris.MediaPlayer2.quillbeat"),
                                                       QStringLiteral("/org/mpris/MediaPlayer2"),
                                                       QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                                       QStringLiteral("Introspect")),
                        QDBus::BlockWithGui);
        QCOMPARE(answer.type(), QDBusMessage::ReplyMessage);
        const QString xml = answer.arguments().value(0).toString();
        for (const char* name :
             {"org.freedesktop.DBus.Properties", "org.mpris.MediaPlayer2", "org.mpris.MediaPlayer2.Player"})
            QCOMPARE(xml.count(QStringLiteral("<interface name=\"%1\">").arg(QLatin1String(name))), 1);
        QVERIFY(xml.contains(QStringLiteral("<property name=\"Volume\" type=\"d\" access=\"readwrite\"/>")));
    }

    void withoutABusThereAreNoMediaControls()
    {
        ControlledWindow w;
        QVERIFY(!w.mpris.registerOn(QDBusConnection::connectToBus(
            QStringLiteral("unix:path=/nonexistent/bus"), QStringLiteral("nobus"))));
        w.form.Command1_Click(); // the window works as before
        QVERIFY(w.form.state().IsPlaying);
    }
};

QTEST_MAIN(MprisTest)
#include "MprisTest.moc"
