// quillbeat --show-loop FILE: the loop the file would play, through the program's own sound module,
// as the window would open it: its own marks when loop points are on, the loop it repeats when finding
// is on (by the command line or the settings), else the whole file; a file that cannot be opened says
// why.
#include "app/ShowLoop.h"

#include "testkit/AudioFiles.h"
#include "testkit/ComposedMusic.h"
#include "testkit/LoopMarkedFiles.h"
#include "testkit/MemorySettingsStore.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <sndfile.h>

class ShowLoopTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    qb::test::MemorySettingsStore m_settings;

    QString show(const QString& file, bool loopPoints, bool findLoop, QString* error = nullptr)
    {
        QString why;
        const QString line = qb::app::showLoop(QFile::encodeName(file), loopPoints, findLoop, 0, &why,
                                               &m_settings, {QUILLBEAT_TEST_SOUND_MODULE});
        if (error != nullptr)
            *error = why;
        return line;
    }

private slots:
    void initTestCase()
    {
        qputenv("XDG_CACHE_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("cache"))));
    }

    void theLoopThatWouldPlay()
    {
        constexpr int kRate = 44100;
        const qb::test::Arranged song = qb::test::arrange(7, 2 * kRate, 6 * kRate + 123, 3 * kRate);
        const QString file = m_dir.filePath(QStringLiteral("song with blanks.wav"));
        QVERIFY(qb::test::writeSamplerLoopWav(file, song.samples, kRate, 1000, 200000));
        const std::int64_t frames = static_cast<std::int64_t>(song.samples.size() / 2);
        const QString whole = QStringLiteral("loop 0 %1 44100 whole").arg(frames);
        const QString found = QStringLiteral("loop %1 %2 44100 found").arg(song.start).arg(song.end);

        QCOMPARE(show(file, false, false), whole);
        QCOMPARE(show(file, true, false), QStringLiteral("loop 1000 200000 44100 marks"));
        QCOMPARE(show(file, false, true), found);
        QCOMPARE(show(file, true, true), QStringLiteral("loop 1000 200000 44100 marks"));
        QVERIFY(m_settings.SaveSetting(QStringLiteral("Quillbeat"), QStringLiteral("Settings"),
                                       QStringLiteral("FindLoop"), QStringLiteral("1")));
        QCOMPARE(show(file, false, false), found);
        QVERIFY(m_settings.SaveSetting(QStringLiteral("Quillbeat"), QStringLiteral("Settings"),
                                       QStringLiteral("LoopPoints"), QStringLiteral("1")));
        QCOMPARE(show(file, false, false), QStringLiteral("loop 1000 200000 44100 marks"));
    }

    void aFileThatCannotBeOpenedSaysWhy()
    {
        QString error;
        QVERIFY(show(m_dir.filePath(QStringLiteral("missing.wav")), false, false, &error).isEmpty());
        QVERIFY2(error.contains(QStringLiteral("no file at")), qPrintable(error));
        const QString noise = m_dir.filePath(QStringLiteral("noise.wav"));
        QVERIFY(qb::test::writeBytes(noise, QByteArray(4000, 'x')));
        QVERIFY(show(noise, false, true, &error).isEmpty());
        QVERIFY2(error.startsWith(QStringLiteral("cannot open")), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(ShowLoopTest)
#include "ShowLoopTest.moc"
