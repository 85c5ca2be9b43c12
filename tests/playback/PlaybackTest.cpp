// Play, Stop, the loop monitor, unload, release and open against a recording MCI service and a
// recording window.
#include "playback/Playback.h"

#include "playback/PlayerView.h"
#include "sound/MciErrors.h"
#include "support/DialogDriver.h"
#include "support/RecordingView.h"
#include "testkit/Fakes.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using qb::playback::Playback;
using qb::playback::PlaybackState;
using qb::test::RecordingMci;
using qb::test::RecordingView;

namespace {

const RecordingMci::Answer kRefused{qb::mci::MCIERR_INVALID_DEVICE_NAME, {}};

} // namespace

class PlaybackTest : public QObject
{
    Q_OBJECT

    PlaybackState state;
    RecordingView view;
    RecordingMci mci;
    qb::test::DialogDriver dialogs;

private slots:
    void init()
    {
        state = {};
        view = {};
        mci = RecordingMci();
    }

    void playWithNoFileShowsTheMessageAndChangesNothing()
    {
        mci.script("play midi notify", kRefused);
        Playback(state, view, mci, dialogs).Command1_Click();
        QCOMPARE(mci.log, QStringList{QStringLiteral("send:play midi notify")});
        QCOMPARE(view.messages,
                 QStringList{QStringLiteral("[Select]をおして、再生するファイルを選択してください。")});
        QCOMPARE(view.label1, QStringLiteral("Quillbeat Ver1.30"));
        QVERIFY(!state.IsPlaying);
        QVERIFY(!view.timer3);
        QCOMPARE(view.events, QStringList{QStringLiteral("message")});
    }

    void playAndStopWriteTheStatusLine()
    {
        state.FilePath = QStringLiteral("/music/ループ 曲.mid");
        Playback playback(state, view, mci, dialogs);
        playback.Command1_Click();
        QCOMPARE(view.label1, QStringLiteral("Play     /music/ループ 曲.mid"));
        QVERIFY(state.IsPlaying);
        QVERIFY(view.timer3);
        QVERIFY(view.messages.isEmpty());

        view.events.clear();
        playback.Command2_Click();
        QCOMPARE(mci.log.last(), QStringLiteral("exec:stop midi"));
        QCOMPARE(view.label1, QStringLiteral("Stop     /music/ループ 曲.mid"));
        QVERIFY(!state.IsPlaying);
        QCOMPARE(view.events, (QStringList{"label1", "timer3 off", "still"}));
    }

    void stopWithNoFileStillRunsEveryStep()
    {
        mci.script("stop midi", kRefused);
        Playback(state, view, mci, dialogs).Command2_Click();
        QCOMPARE(mci.failedExecutes, QStringList{QStringLiteral("stop midi")});
        QCOMPARE(view.label1, QStringLiteral("Stop     "));
        QCOMPARE(view.picture, QStringLiteral("still"));
        QVERIFY(view.messages.isEmpty()); // only the service's own box
    }

    void loopMonitor_data()
    {
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<bool>("restarts");
        QTest::newRow("playing") << 0 << "playing" << false;
        QTest::newRow("Playing counts as not playing") << 0 << "Playing" << true;
        QTest::newRow("stopped") << 0 << "stopped" << true;
        QTest::newRow("paused") << 0 << "paused" << true;
        QTest::newRow("refused status") << int(qb::mci::MCIERR_INVALID_DEVICE_NAME) << "" << false;
        QTest::newRow("short reply") << 0 << "play" << true;
    }

    void loopMonitor()
    {
        QFETCH(int, result);
        QFETCH(QString, reply);
        QFETCH(bool, restarts);
        state.IsPlaying = true;
        mci.script("status midi mode", {static_cast<qb::mci::MCIERROR>(result), reply.toStdString()});
        Playback(state, view, mci, dialogs).Timer1_Timer();
        QStringList expected{QStringLiteral("send:status midi mode")};
        if (restarts)
            expected << QStringLiteral("exec:seek midi to start") << QStringLiteral("exec:play midi notify");
        QCOMPARE(mci.log, expected);
        QVERIFY(state.IsPlaying);
        QVERIFY(view.events.isEmpty());
    }

    void loopMonitorSendsNothingAfterStop()
    {
        Playback playback(state, view, mci, dialogs);
        playback.Command1_Click();
        playback.Command2_Click();
        mci.log.clear();
        for (int i = 0; i < 5; ++i)
            playback.Timer1_Timer();
        QVERIFY(mci.log.isEmpty());
    }

    void unloadClosesAnOpenFileOnce()
    {
        state.IsOpen = true;
        Playback(state, view, mci, dialogs).Form_Unload();
        QCOMPARE(mci.log, QStringList{QStringLiteral("exec:close midi")});
        QCOMPARE(view.label2, QString());
        QVERIFY(state.IsOpen); // the flags keep their values

        mci.log.clear();
        state.IsOpen = false;
        view.label2 = QStringLiteral("credits");
        Playback(state, view, mci, dialogs).Form_Unload();
        QVERIFY(mci.log.isEmpty());
        QCOMPARE(view.label2, QStringLiteral("credits"));
    }

    void releaseStopsTheAnimationBlanksThePictureAndCloses()
    {
        state.IsOpen = state.IsPlaying = true;
        Playback(state, view, mci, dialogs).ReleaseOpenFile();
        QCOMPARE(view.events, (QStringList{"timer3 off", "empty"}));
        QCOMPARE(mci.log, QStringList{QStringLiteral("exec:close midi")});
        QVERIFY(!state.IsOpen);
        QVERIFY(!state.IsPlaying);
        QCOMPARE(view.label1, QStringLiteral("Quillbeat Ver1.30"));
    }

    void openSendsThePathUnquoted()
    {
        QTemporaryDir dir;
        const QString plain = dir.filePath(QStringLiteral("plain.mid"));
        QFile(plain).open(QIODevice::WriteOnly);
        state.FilePath = plain;
        QVERIFY(Playback(state, view, mci, dialogs).OpenMediaFile());
        QCOMPARE(mci.log, QStringList{QStringLiteral("send:open ") + plain + QStringLiteral(" alias midi")});
        QVERIFY(!state.IsOpen); // the caller sets it
    }

    void openShortensAPathThatCouldChangeTheCommand()
    {
        QTemporaryDir dir;
        const QString awkward = dir.filePath(QStringLiteral("my song alias x type y.mid"));
        QFile(awkward).open(QIODevice::WriteOnly);
        state.FilePath = awkward;
        QVERIFY(Playback(state, view, mci, dialogs).OpenMediaFile());
        const QString command = mci.log.value(0);
        QVERIFY(command.startsWith(QStringLiteral("send:open ")));
        QVERIFY(command.endsWith(QStringLiteral(" alias midi")));
        const QString shortPath = command.mid(10, command.size() - 10 - 11);
        QVERIFY2(!shortPath.contains(QLatin1Char(' ')), qPrintable(shortPath));
        QVERIFY(shortPath.endsWith(QStringLiteral(".mid")));
        QCOMPARE(QFileInfo(shortPath).canonicalFilePath(), QFileInfo(awkward).canonicalFilePath());
    }

    void openOfAMissingFileSendsAnEmptyPathAndFails()
    {
        mci.script("open  alias midi", {qb::mci::MCIERR_FILE_NOT_FOUND, {}});
        state.FilePath = QStringLiteral("/no/such/file with space.mid");
        QVERIFY(!Playback(state, view, mci, dialogs).OpenMediaFile());
        QCOMPARE(mci.log, QStringList{QStringLiteral("send:open  alias midi")});
    }
};

QTEST_GUILESS_MAIN(PlaybackTest)
#include "PlaybackTest.moc"
