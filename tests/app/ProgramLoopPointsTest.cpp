// Whether a file plays the loop points it marks is the program's to say at each open: off by
// default, on with LoopPoints=1 in the settings, and on for good once this start or a later one handed
// over asks with --loop-points.
#include "app/Program.h"
#include "session/SingleWindow.h"
#include "support/ShownMainWindow.h"

#include <QDir>
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
    }
};

QTEST_MAIN(ProgramLoopPointsTest)
#include "ProgramLoopPointsTest.moc"
