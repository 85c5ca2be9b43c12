// What the MCI service tells about files: the one table of media formats chooses the device, and a
// file that does not open is explained on standard error with its path, and a valid file too large for
// this machine is reported with the limit it goes beyond.
#include "sound/MciErrors.h"
#include "sound/MediaFormats.h"
#include "sound/engine/AudioEngine.h"
#include "sound/mci/MciService.h"
#include "sound/midi/MidiDecoder.h"
#include "testkit/AudioFiles.h"
#include "testkit/CaptureOutput.h"
#include "testkit/Fakes.h"
#include "testkit/MidiFiles.h"
#include "testkit/StandardErrorCapture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace qb;
using namespace qb::mci;

class MciOpenReportTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    test::RecordingMessageBox m_messages;
    std::unique_ptr<audio::AudioEngine> m_engine;
    std::unique_ptr<mci::MciService> m_mci;

    MCIERROR send(const QByteArray& command)
    {
        return m_mci->mciSendStringA(command.constData(), nullptr, 0, nullptr);
    }

private slots:
    void init()
    {
        audio::AudioEngine::Options options;
        options.feederThread = false;
        m_engine = std::make_unique<audio::AudioEngine>(std::make_unique<audio::CaptureOutput>(512), options);
        m_mci = std::make_unique<mci::MciService>(*m_engine, m_messages);
    }
    void cleanup()
    {
        m_mci.reset();
        m_engine.reset();
    }

    void formatsAreKnownByTheirEndingWithoutRegardToCase_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("kind"); // -1: not a format we play
        using formats::MediaKind;
        QTest::newRow("mid") << "/m/a.mid" << int(MediaKind::Sequencer);
        QTest::newRow("MIDI upper") << "/m/a.MIDI" << int(MediaKind::Sequencer);
        QTest::newRow("kar") << "/m/a.kar" << int(MediaKind::Sequencer);
        QTest::newRow("rmi") << "/m/a.Rmi" << int(MediaKind::Sequencer);
        QTest::newRow("wav") << "/m/a.wav" << int(MediaKind::WaveAudio);
        QTest::newRow("opus") << "/m/a.opus" << int(MediaKind::WaveAudio);
        QTest::newRow("oga") << "/m/a.oga" << int(MediaKind::WaveAudio);
        QTest::newRow("mp3") << "/m/a.MP3" << int(MediaKind::MpegVideo);
        QTest::newRow("dot in the folder only") << "/m.mid/readme" << -1;
        QTest::newRow("no ending") << "/m/mp3" << -1;
        QTest::newRow("unknown") << "/m/a.txt" << -1;
        QTest::newRow("ending of an ending") << "/m/a.mp3.bak" << -1;
    }
    void formatsAreKnownByTheirEndingWithoutRegardToCase()
    {
        QFETCH(QString, path);
        QFETCH(int, kind);
        const auto format = formats::formatOfPath(path.toStdString());
        QCOMPARE(format ? int(format->kind) : -1, kind);
    }

    void aFileOfNoKindIsRefusedWhateverItsEnding()
    {
        // The ending chooses nothing: bytes of no kind at all are refused under every ending we play,
        // and under one we do not.
        std::vector<QString> endings;
        for (const formats::MediaFormat& format : formats::mediaFormats())
            endings.push_back(QLatin1String(format.ending));
        endings.push_back(QStringLiteral("xyz"));
        for (const QString& ending : endings) {
            const QString path = m_dir.filePath(QStringLiteral("noise.") + ending);
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(4096, 'x'));
            file.close();
            QCOMPARE(send("open " + QFile::encodeName(path) + " alias x"), MCIERR_INVALID_FILE);
        }
    }

    void aRefusedOpenIsExplainedOnStandardErrorWithThePath()
    {
        const QString path = m_dir.filePath(QStringLiteral("broken song.wav"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("RIFF\x04\0\0\0WAVE", 12);
        file.close();

        const QString log = m_dir.filePath(QStringLiteral("stderr.txt"));
        MCIERROR error = 0;
        {
            test::StandardErrorCapture capture(log);
            error = send("open \"" + QFile::encodeName(path) + "\" alias midi");
        }
        QVERIFY(error != 0);
        QFile written(log);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray text = written.readAll();
        QVERIFY2(text.contains(QFile::encodeName(path)), text.constData());
        QVERIFY2(text.contains("cannot open"), text.constData());
    }

    void aFileTooLargeIsReportedWithTheLimitItGoesBeyond()
    {
        // A valid song, then a hole up to one byte past the size limit (sparse: no disk is used).
        const QString path = m_dir.filePath(QStringLiteral("vast.mid"));
        QVERIFY(test::writeBytes(
            path, test::midiFile(0, 480, {test::MidiTrack().noteOn(0, 0, 60, 100).endOfTrack()})));
        const std::uint64_t size = audio::kMaxMidiFileBytes + 1;
        QVERIFY(::truncate(QFile::encodeName(path).constData(), off_t(size)) == 0);
        struct Report
        {
            std::string file;
            int kind;
            std::uint64_t amount, limit;
        };
        std::vector<Report> reports;
        mci::MciService::Options options;
        options.fileTooLarge = [&](const std::string& file, int kind, std::uint64_t amount,
                                   std::uint64_t limit) {
            reports.push_back({file, kind, amount, limit});
        };
        m_mci = std::make_unique<mci::MciService>(*m_engine, m_messages, std::move(options));
        QCOMPARE(send("open " + QFile::encodeName(path) + " alias midi"), MCIERR_OUT_OF_MEMORY);
        QCOMPARE(reports.size(), std::size_t(1));
        QCOMPARE(reports[0].file, path.toStdString());
        QCOMPARE(reports[0].kind, int(mci::FileLimitKind::FileSize));
        QCOMPARE(reports[0].amount, size);
        QCOMPARE(reports[0].limit, audio::kMaxMidiFileBytes);
        QVERIFY(m_messages.shown.empty()); // the service's own box is for mciExecute only
    }
};

QTEST_GUILESS_MAIN(MciOpenReportTest)
#include "MciOpenReportTest.moc"
