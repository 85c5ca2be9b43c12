// Whether a file plays the loop points it marks is the program's to say at each open: off by
// default, on with LoopPoints=1 in the settings, and on for good once this start or a later one handed
// over asks with --loop-points.
#include "app/Program.h"
#include "session/SingleWindow.h"
#include "support/ShownMainWindow.h"
#include "testkit/AudioFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class ProgramLoopPointsTest : public QObject
{
    Q_OBJECT

private slots:
    void theSettingOrARequestTurnsLoopPointsOn()
    {
        qb::test::RecordedParts parts;
        parts.turnTipsOff();
        qb::app::Program program(parts.parts());
        qb::session::SingleWindow single(QDir::temp().filePath(QStringLiteral("unused-window-socket")));
        program.takeRequests(single);
        QVERIFY(!program.loopPointsWanted());

        const QString app = QStringLiteral("Quillbeat");
        const QString section = QStringLiteral("Settings");
        QVERIFY(parts.settings.SaveSetting(app, section, QStringLiteral("LoopPoints"), QStringLiteral("1")));
        QVERIFY(program.loopPointsWanted());
        QVERIFY(parts.settings.SaveSetting(app, section, QStringLiteral("LoopPoints"), QStringLiteral("0")));
        QVERIFY(!program.loopPointsWanted());

        emit single.requested({{}, false, {}, {}, false});
        QVERIFY(!program.loopPointsWanted());
        emit single.requested({{}, false, {}, {}, true});
        QVERIFY(program.loopPointsWanted());

        // Finding the loop: the same, by FindLoop=1 or a request's --find-loop.
        QVERIFY(!program.findLoopWanted());
        QVERIFY(parts.settings.SaveSetting(app, section, QStringLiteral("FindLoop"), QStringLiteral("1")));
        QVERIFY(program.findLoopWanted());
        QVERIFY(parts.settings.SaveSetting(app, section, QStringLiteral("FindLoop"), QStringLiteral("0")));
        QVERIFY(!program.findLoopWanted());
        qb::session::WindowRequest finding;
        finding.findLoop = true;
        emit single.requested(finding);
        QVERIFY(program.findLoopWanted());
    }

    // The track a request chooses is the file's, whatever form of its path the open names it by (a
    // link to it, as the short path of a name with blanks is), until a later request chooses again.
    void aRequestChoosesTheTrackOfItsFile()
    {
        qb::test::RecordedParts parts;
        parts.turnTipsOff();
        qb::app::Program program(parts.parts());
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("game tunes.nsf"));
        QVERIFY(qb::test::writeBytes(file, QByteArray("NESM")));
        const QString link = dir.filePath(QStringLiteral("link.nsf"));
        QVERIFY(QFile::link(file, link));
        QCOMPARE(program.trackWanted(link.toStdString()), 0);
        program.chooseTrack(file.toUtf8(), 3);
        QCOMPARE(program.trackWanted(link.toStdString()), 2);
        QCOMPARE(program.trackWanted(dir.filePath(QStringLiteral("other.nsf")).toStdString()), 0);

        qb::session::SingleWindow single(QDir::temp().filePath(QStringLiteral("unused-window-socket")));
        program.takeRequests(single);
        emit single.requested({file.toUtf8(), false});
        QCOMPARE(program.trackWanted(link.toStdString()), 0);
    }
};

QTEST_MAIN(ProgramLoopPointsTest)
#include "ProgramLoopPointsTest.moc"
