// The media controls on a private D-Bus session bus (its own dbus-daemon): each method does what the
// matching command does through the window's handlers, the properties follow, and every change is
// announced with PropertiesChanged. Without a bus the window simply has no media controls.
#include "session/Mpris.h"

#include "support/DialogDriver.h"
#include "system/SettingsStore.h"
#include "testkit/Fakes.h"
#include "testkit/MemorySettingsStore.h"
#include "ui/Form1.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QProcess>
#include <QTest>

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

public slots:
    void changed(const QString& interface, const QVariantMap& properties, const QStringList&)
    {
        if (interface != QLatin1String("org.mpris.MediaPlayer2.Player"))
            return;
        ++changes;
        if (properties.contains(QStringLiteral("PlaybackStatus")))
            lastStatus = properties.value(QStringLiteral("PlaybackStatus")).toString();
        if (properties.contains(QStringLiteral("Metadata")))
            lastMetadata = qdbus_cast<QVariantMap>(properties.value(QStringLiteral("Metadata")));
    }
};

// A window on recording services (neither loaded nor shown), with its media controls.
struct ControlledWindow
{
    test::RecordingMci mci;
    test::RecordingMessageBox messages;
    test::MemorySettingsStore settings;
    test::DialogDriver dialogs;
    ui::Form1 form{ui::Form1::Services{mci, messages, settings, dialogs}};
    session::Mpris mpris{form};
};

} // namespace

class MprisTest : public QObject
{
    Q_OBJECT

    QProcess daemon;
    QString address;

    QDBusConnection connect(const QString& name) { return QDBusConnection::connectToBus(address, name); }

private slots:
    void initTestCase()
    {
        daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                     QStringLiteral("--print-address=1")});
        QVERIFY2(daemon.waitForStarted(5000), "dbus-daemon (package dbus-daemon) is needed");
        QTRY_VERIFY_WITH_TIMEOUT(daemon.canReadLine(), 5000);
        address = QString::fromUtf8(daemon.readLine()).trimmed();
        QVERIFY(!address.isEmpty());
    }

    void cleanupTestCase()
    {
        daemon.kill();
        daemon.waitForFinished();
    }

    void eachMethodIsItsCommand()
    {
        ControlledWindow w;
        QVERIFY(w.mpris.registerOn(connect(QStringLiteral("player"))));

        QDBusConnection client = connect(QStringLiteral("client"));
        ChangeWatcher watcher;
        QVERIFY(client.connect(QString(), QStringLiteral("/org/mpris/MediaPlayer2"),
                               QStringLiteral("org.freedesktop.DBus.Properties"),
                               QStringLiteral("PropertiesChanged"), &watcher,
                               SLOT(changed(QString, QVariantMap, QStringList))));
        // Calls without waiting for the answer: the player answers on this same thread.
        const auto call = [&client](const QString& method) {
            client.asyncCall(QDBusMessage::createMethodCall(
                QStringLiteral("org.mpris.MediaPlayer2.quillbeat"), QStringLiteral("/org/mpris/MediaPlayer2"),
                QStringLiteral("org.mpris.MediaPlayer2.Player"), method));
        };

        // Play with nothing open: the service refuses, and the same message as the Play label's.
        w.mci.script("play midi notify", {mci::MCIERROR(263), {}});
        call(QStringLiteral("Play"));
        QTRY_COMPARE(w.messages.shown.size(), std::size_t(1));
        QCOMPARE(w.messages.shown[0].text,
                 QStringLiteral("[Select]をおして、再生するファイルを選択してください。"));
        w.mci.unscript("play midi notify");

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
        QCOMPARE(w.mci.log.last(), QStringLiteral("exec:stop midi"));
        QTRY_COMPARE(watcher.lastStatus, QStringLiteral("Stopped"));
        QCOMPARE(w.form.label1Caption(), QStringLiteral("Stop     /music/loop.wav"));

        call(QStringLiteral("PlayPause"));
        QTRY_VERIFY(w.form.state().IsPlaying);
        call(QStringLiteral("PlayPause"));
        QTRY_VERIFY(!w.form.state().IsPlaying);
        call(QStringLiteral("Play"));
        QTRY_VERIFY(w.form.state().IsPlaying);
        call(QStringLiteral("Stop"));
        QTRY_VERIFY(!w.form.state().IsPlaying);
        QCOMPARE(w.mpris.playbackStatus(), QStringLiteral("Stopped"));
    }

    void metadataNamesTheOpenFile()
    {
        ControlledWindow w;
        QVERIFY(!w.mpris.metadata().contains(QStringLiteral("xesam:url")));

        w.form.state().IsOpen = true;
        w.form.state().FilePath = QStringLiteral("/music/a b.wav");
        QVariantMap meta = w.mpris.metadata();
        QCOMPARE(meta.value(QStringLiteral("xesam:title")).toString(), QStringLiteral("a b.wav"));
        QCOMPARE(meta.value(QStringLiteral("xesam:url")).toString(),
                 QStringLiteral("file:///music/a%20b.wav"));

        w.form.state().Title = QStringLiteral("はじめのループ");
        meta = w.mpris.metadata();
        QCOMPARE(meta.value(QStringLiteral("xesam:title")).toString(), QStringLiteral("はじめのループ"));
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
