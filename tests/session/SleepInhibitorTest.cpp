// The idle-sleep lock on a private D-Bus bus with a stand-in for logind: taken while the window plays,
// let go on Stop, when playback fails and when the window closes.
#include "session/SleepInhibitor.h"

#include "session/WindowActions.h"
#include "support/DialogDriver.h"
#include "support/PrivateBus.h"
#include "testkit/AudioFiles.h"
#include "testkit/Fakes.h"
#include "testkit/MemorySettingsStore.h"
#include "ui/Form1.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace qb;

// logind's Inhibit, as far as the player uses it: each call gets the write end of a pipe, and the lock
// counts as held until every copy of that end is closed (the read end then sees the end of file).
class FakeLogind : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    explicit FakeLogind(QObject* holder) : QDBusAbstractAdaptor(holder) {}
    ~FakeLogind() override
    {
        for (int fd : readEnds)
            ::close(fd);
    }

    QStringList calls; // "what|who|why|mode"
    QList<int> readEnds;

    // Whether the lock of call `index` is still held by someone.
    bool held(int index) const
    {
        pollfd watch{readEnds.at(index), POLLIN, 0};
        return ::poll(&watch, 1, 0) == 0;
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode)
    {
        calls << QStringList{what, who, why, mode}.join(QLatin1Char('|'));
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return {};
        readEnds << ends[0];
        QDBusUnixFileDescriptor lock(ends[1]); // keeps a copy of its own
        ::close(ends[1]);
        return lock;
    }
};

struct PlayingWindow
{
    test::RecordingMci mci;
    test::RecordingMessageBox messages;
    test::MemorySettingsStore settings;
    test::DialogDriver dialogs;
    ui::Form1 form{ui::Form1::Services{mci, messages, settings, dialogs}};
};

class SleepInhibitorTest : public QObject
{
    Q_OBJECT

    test::PrivateBus bus;
    QObject holder;
    FakeLogind* logind = nullptr;
    QTemporaryDir dir;

    QDBusConnection connect(const QString& name) { return bus.connect(name); }

    // A window playing a file, once `inhibitor` holds the lock; the index of the lock's call.
    int startPlaying(PlayingWindow& w, const session::SleepInhibitor& inhibitor)
    {
        const QString file = dir.filePath(QStringLiteral("loop.wav"));
        if (!test::writeWav(file, 441) || !session::openRequestedFile(w.form, file, true))
            return -1;
        if (!QTest::qWaitFor([&inhibitor] { return inhibitor.holding(); }))
            return -1;
        return static_cast<int>(logind->readEnds.size()) - 1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(bus.start(), "dbus-daemon (package dbus-daemon) is needed");
        logind = new FakeLogind(&holder);
        QDBusConnection service = connect(QStringLiteral("logind"));
        QVERIFY(service.registerObject(QLatin1String(session::SleepInhibitor::kPath), &holder,
                                       QDBusConnection::ExportAllSlots | QDBusConnection::ExportAdaptors));
        QVERIFY(service.registerService(QLatin1String(session::SleepInhibitor::kService)));
    }

    void heldWhilePlayingAndLetGoOnStop()
    {
        PlayingWindow w;
        int connections = 0;
        session::SleepInhibitor inhibitor(w.form, [this, &connections] {
            ++connections;
            return connect(QStringLiteral("player1"));
        });
        QVERIFY(!inhibitor.holding());
        QCOMPARE(connections, 0); // a window that has played nothing has not reached the bus
        const qsizetype callsBefore = logind->calls.size();
        const int lock = startPlaying(w, inhibitor);
        QVERIFY(lock >= 0);
        QCOMPARE(logind->calls.mid(callsBefore),
                 QStringList{QStringLiteral("idle:sleep|Quillbeat|Playing music|block")});
        QVERIFY(logind->held(lock));

        w.form.Command2_Click();
        QTRY_VERIFY(!logind->held(lock));
        QVERIFY(!inhibitor.holding());
        // Play after Stop takes it again.
        w.form.Command1_Click();
        QTRY_VERIFY(inhibitor.holding());
        QCOMPARE(logind->calls.size(), callsBefore + 2);
        QCOMPARE(connections, 1);
    }

    void letGoWhenPlaybackFails()
    {
        PlayingWindow w;
        session::SleepInhibitor inhibitor(w.form, [this] { return connect(QStringLiteral("player2")); });
        const int lock = startPlaying(w, inhibitor);
        QVERIFY(lock >= 0);
        // Another file is handed over and does not open: nothing plays any more.
        const QString broken = dir.filePath(QStringLiteral("broken.wav"));
        QVERIFY(test::writeBytes(broken, QByteArray("not a WAVE file")));
        w.mci.script("open " + broken.toStdString() + " alias midi", {mci::MCIERROR(296), {}});
        QVERIFY(!session::openRequestedFile(w.form, broken, true));
        QVERIFY(!w.form.state().IsPlaying);
        QTRY_VERIFY(!logind->held(lock));
    }

    void letGoWhenTheWindowCloses()
    {
        PlayingWindow w;
        session::SleepInhibitor inhibitor(w.form, [this] { return connect(QStringLiteral("player3")); });
        const int lock = startPlaying(w, inhibitor);
        QVERIFY(lock >= 0);
        w.form.close();
        QTRY_VERIFY(!logind->held(lock));
    }

    // A Stop that comes before logind has answered: the lock is let go as soon as it arrives.
    void aStopBeforeTheAnswerLetsGoAtOnce()
    {
        PlayingWindow w;
        session::SleepInhibitor inhibitor(w.form, [this] { return connect(QStringLiteral("player4")); });
        const qsizetype locksBefore = logind->readEnds.size();
        const QString file = dir.filePath(QStringLiteral("quick.wav"));
        QVERIFY(test::writeWav(file, 441));
        QVERIFY(session::openRequestedFile(w.form, file, true));
        w.form.Command2_Click(); // logind cannot have answered yet: its answer needs this thread
        QTRY_COMPARE(logind->readEnds.size(), locksBefore + 1);
        QTRY_VERIFY(!logind->held(static_cast<int>(locksBefore)));
        QVERIFY(!inhibitor.holding());
    }
};

QTEST_MAIN(SleepInhibitorTest)
#include "SleepInhibitorTest.moc"
