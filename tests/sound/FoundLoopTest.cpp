// The loop a file repeats, found while it plays, through the MCI service and the engine onto a
// capture output: music arranged as game music is kept (an introduction, a section, the same section,
// a fade) plays its introduction once and then the section for ever, to the frame for a lossless file;
// the fade is never heard; what was found is kept in the cache for the next play, and a damaged entry
// is not trusted; music that does not repeat loops whole; a file's own marks come first.
#include "sound/MciErrors.h"
#include "sound/decode/Decoders.h"
#include "sound/engine/AudioEngine.h"
#include "sound/mci/MciService.h"
#include "support/CapturedMci.h"
#include "testkit/AudioFiles.h"
#include "testkit/CaptureOutput.h"
#include "testkit/ComposedMusic.h"
#include "testkit/Fakes.h"
#include "testkit/LoopMarkedFiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <memory>
#include <sndfile.h>
#include <vector>

using namespace qb;
using namespace qb::mci;

namespace {

constexpr int kRate = audio::kEngineRate;
constexpr std::int64_t kIntro = 2 * kRate;
constexpr std::int64_t kSection = 6 * kRate + 123;
constexpr std::int64_t kFade = 3 * kRate;

} // namespace

class FoundLoopTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    test::CapturedMci m_service;
    audio::CaptureOutput* m_capture = nullptr;
    bool m_loopPoints = false;

    QString path(const QString& name) const { return m_dir.filePath(name); }
    // Each test's own cache.
    QString cache() const
    {
        return m_dir.filePath(QStringLiteral("cache-") + QLatin1String(QTest::currentTestFunction()));
    }

    MCIERROR send(const QString& command) { return m_service.send(command); }
    QString ask(const QString& command) { return m_service.ask(command); }
    void makeService()
    {
        MciService::Options options;
        options.findLoopWanted = [] { return true; };
        options.loopPointsWanted = [this] { return m_loopPoints; };
        options.loopCacheFolder = cache().toStdString();
        m_service.make(options);
        m_capture = m_service.capture;
    }
    // The loop the device plays once its search is done: "START END RATE SOURCE".
    QString loopOf(const QString& file)
    {
        if (send("open " + file + " alias midi") != 0)
            return QStringLiteral("not opened");
        return ask(QStringLiteral("info midi loop wait"));
    }
    static QString line(std::int64_t start, std::int64_t end, const char* source)
    {
        return QStringLiteral("%1 %2 %3 %4").arg(start).arg(end).arg(kRate).arg(QLatin1String(source));
    }

private slots:
    void init()
    {
        m_loopPoints = false;
        makeService();
    }
    void cleanup() { m_service.reset(); }

    // A lossless file: the loop is the section to the frame, and after the jump every frame is the
    // section's own; the fade is never played. Its length, to the desktop, is one pass up to the jump.
    void aLosslessFilePlaysItsSectionForEverFromTheFirstPass()
    {
        const test::Arranged song = test::arrange(7, kIntro, kSection, kFade);
        const QString file = path(QStringLiteral("song.wav"));
        QVERIFY(test::writeSoundFile(file, SF_FORMAT_WAV | SF_FORMAT_FLOAT, kRate, 2, song.samples));
        QCOMPARE(loopOf(file), line(song.start, song.end, "found"));
        QCOMPARE(send(QStringLiteral("play midi")), MCIERROR(0));
        const std::int64_t frames = song.end + 2 * (song.end - song.start);
        m_capture->advance(static_cast<int>(frames));
        const std::vector<float> heard = m_capture->takeCaptured();
        QCOMPARE(heard.size(), static_cast<std::size_t>(frames) * 2);
        for (std::int64_t f = 0; f < frames; ++f) {
            const std::int64_t from =
                f < song.end ? f : song.start + (f - song.end) % (song.end - song.start);
            for (int c = 0; c < 2; ++c) {
                if (heard[static_cast<std::size_t>(f * 2 + c)] !=
                    song.samples[static_cast<std::size_t>(from * 2 + c)])
                    QFAIL(qPrintable(QStringLiteral("frame %1 is not the file's frame %2").arg(f).arg(from)));
            }
        }
        QCOMPARE(ask(QStringLiteral("status midi length")).toLongLong(), song.end * 1000 / kRate);
        QCOMPARE(ask(QStringLiteral("status midi mode")), QStringLiteral("playing"));
    }

    // A lossy copy: the loop within a millisecond of the section's.
    void aLossyCopyLoopsWithinAMillisecond()
    {
        const test::Arranged song = test::arrange(7, kIntro, kSection, kFade);
        const QString file = path(QStringLiteral("song.ogg"));
        QVERIFY(test::writeSoundFile(file, SF_FORMAT_OGG | SF_FORMAT_VORBIS, kRate, 2, song.samples));
        const QStringList found = loopOf(file).split(u' ');
        QCOMPARE(found.size(), 4);
        QCOMPARE(found[3], QStringLiteral("found"));
        QVERIFY2(std::llabs(found[0].toLongLong() - song.start) <= kRate / 1000,
                 qPrintable(found.join(u' ')));
        QVERIFY2(std::llabs(found[1].toLongLong() - song.end) <= kRate / 1000, qPrintable(found.join(u' ')));
    }

    // What was found is kept: the next play finds it in the cache at once. An entry that was damaged
    // is not trusted: the file is searched again and the entry written anew.
    void theCacheKeepsWhatWasFoundAndTrustsNoDamagedEntry()
    {
        const test::Arranged song = test::arrange(3, kIntro, kSection, kFade);
        const QString file = path(QStringLiteral("cached.wav"));
        QVERIFY(test::writeSoundFile(file, SF_FORMAT_WAV | SF_FORMAT_FLOAT, kRate, 2, song.samples));
        const QString expected = line(song.start, song.end, "found");
        QCOMPARE(loopOf(file), expected);
        const QStringList entries = QDir(cache()).entryList(QDir::Files);
        QCOMPARE(entries.size(), 1);
        const QString entry = QDir(cache()).filePath(entries.front());

        // An entry that says another loop, and whose checksum no longer fits, is not believed.
        QFile damaged(entry);
        QVERIFY(damaged.open(QIODevice::ReadWrite));
        QByteArray text = damaged.readAll();
        text.replace(QByteArray::number(song.start), QByteArray::number(song.start + 1000));
        QVERIFY(damaged.seek(0) && damaged.resize(0) && damaged.write(text) == text.size());
        damaged.close();
        makeService();
        QCOMPARE(loopOf(file), expected);
        QFile rewritten(entry);
        QVERIFY(rewritten.open(QIODevice::ReadOnly));
        QVERIFY(rewritten.readAll().contains(QByteArray::number(song.start) + ' '));

        // An entry that reads back whole is taken as it is, without a search: one written here to say
        // another loop (checksum and all) is the loop that plays.
        const QByteArray body = QByteArray("quillbeat loop cache 1\nsize ") +
                                QByteArray::number(QFileInfo(file).size()) + "\nloop 44100 " +
                                QByteArray::number(song.end) + " 44100\n";
        const QByteArray sum = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex().left(16);
        QFile planted(entry);
        QVERIFY(planted.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(planted.write(body + "check " + sum + '\n') > 0);
        planted.close();
        makeService();
        QCOMPARE(loopOf(file), line(44100, song.end, "found"));
    }

    // Music that does not repeat, and noise, loop whole.
    void musicThatDoesNotRepeatLoopsWhole_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("music") << 0;
        QTest::newRow("noise") << 1;
    }
    void musicThatDoesNotRepeatLoopsWhole()
    {
        QFETCH(int, kind);
        const std::int64_t frames = 15 * kRate;
        const test::Samples sound = kind == 0 ? test::render(test::compose(5, 15.0), frames, 5)
                                              : test::noiseSignal(frames, 2, 9, 0.3f);
        const QString file = path(QStringLiteral("once.wav"));
        QVERIFY(test::writeSoundFile(file, SF_FORMAT_WAV | SF_FORMAT_FLOAT, kRate, 2, sound));
        QCOMPARE(loopOf(file), line(0, frames, "whole"));
    }

    // A file's own loop points come first, when they play.
    void aFilesOwnMarksComeFirst()
    {
        const test::Arranged song = test::arrange(13, kIntro, kSection, kFade);
        const QString file = path(QStringLiteral("marked.wav"));
        QVERIFY(test::writeSamplerLoopWav(file, song.samples, kRate, 1000, 200000));
        m_loopPoints = true;
        QCOMPARE(loopOf(file), line(1000, 200000, "marks"));
        QCOMPARE(send(QStringLiteral("close midi")), MCIERROR(0));
        m_loopPoints = false;
        QCOMPARE(loopOf(file), line(song.start, song.end, "found"));
    }
};

QTEST_GUILESS_MAIN(FoundLoopTest)
#include "FoundLoopTest.moc"
