// The SoundFont of the MIDI device: chosen at every MIDI open through the service's options, and a
// missing or broken one refuses the open with MCIERR_CANNOT_LOAD_DRIVER and is reported, by path, once
// the command has returned; WAV keeps working.
#include "sound/MciErrors.h"
#include "sound/engine/AudioEngine.h"
#include "sound/mci/MciService.h"
#include "testkit/AudioFiles.h"
#include "testkit/CaptureOutput.h"
#include "testkit/Fakes.h"
#include "testkit/MidiFiles.h"

#include <QTemporaryDir>
#include <QTest>

using namespace qb;

class MciSoundFontTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString midi;
    QString wav;

    static audio::AudioEngine::Options manual()
    {
        audio::AudioEngine::Options options;
        options.feederThread = false;
        return options;
    }

private slots:
    void initTestCase()
    {
        std::vector<test::MidiTrack> chunks(1);
        chunks[0].noteOn(0, 0, 60, 100).noteOff(480, 0, 60).endOfTrack();
        midi = dir.filePath(QStringLiteral("song.mid"));
        QVERIFY(test::writeBytes(midi, test::midiFile(0, 480, chunks)));
        wav = dir.filePath(QStringLiteral("song.wav"));
        QVERIFY(test::writeWav(wav, 4410));
    }

    void aMissingOrBrokenSoundFontIsReportedByPath_data()
    {
        using P = mci::SoundFontProblem;
        QTest::addColumn<QString>("soundFont");
        QTest::addColumn<P>("problem");
        QTest::newRow("missing") << dir.filePath(QStringLiteral("none.sf2")) << P::Missing;
        QTest::newRow("a folder") << dir.path() << P::Unreadable;
        const QString text = dir.filePath(QStringLiteral("text.sf2"));
        QVERIFY(test::writeBytes(text, QByteArray("[Settings]\nSoundFont=\n")));
        QTest::newRow("not a SoundFont") << text << P::NotSoundFont;
        const QString broken = dir.filePath(QStringLiteral("broken.sf2"));
        QVERIFY(test::writeBytes(broken, QByteArray("RIFF\x04\x00\x00\x00sfbk", 12)));
        QTest::newRow("a SoundFont with nothing in it") << broken << P::Rejected;
    }

    void aMissingOrBrokenSoundFontIsReportedByPath()
    {
        QFETCH(QString, soundFont);
        QFETCH(mci::SoundFontProblem, problem);
        audio::AudioEngine engine(std::make_unique<audio::CaptureOutput>(512), manual());
        test::RecordingMessageBox errors;
        mci::MciService::Options options;
        std::string chosen = soundFont.toStdString();
        options.soundFontChoice = [&] { return chosen; };
        std::vector<std::string> reported;
        std::vector<mci::SoundFontProblem> problems;
        mci::MciService* self = nullptr;
        mci::MCIERROR modeWhileReported = 1;
        options.soundFontFailed = [&](const std::string& path, int kind, const std::string& why) {
            reported.push_back(path);
            problems.push_back(static_cast<mci::SoundFontProblem>(kind));
            QVERIFY(!why.empty());
            // Reported after the command: the service takes commands again, as a message box's own
            // event loop would send them.
            char reply[32] = {};
            modeWhileReported = self->mciSendStringA("status midi mode", reply, sizeof reply, nullptr);
        };
        mci::MciService service(engine, errors, std::move(options));
        self = &service;

        const std::string open = "open " + midi.toStdString() + " alias midi";
        QCOMPARE(service.mciSendStringA(open.c_str(), nullptr, 0, nullptr), mci::MCIERR_CANNOT_LOAD_DRIVER);
        QCOMPARE(reported, std::vector<std::string>{soundFont.toStdString()});
        QCOMPARE(problems, std::vector<mci::SoundFontProblem>{problem});
        QCOMPARE(modeWhileReported, mci::MCIERR_INVALID_DEVICE_NAME);
        QVERIFY(errors.shown.empty()); // the service's own box is for mciExecute only

        const std::string openWav = "open " + wav.toStdString() + " alias wave";
        QCOMPARE(service.mciSendStringA(openWav.c_str(), nullptr, 0, nullptr), mci::MCIERROR(0));
        QCOMPARE(reported.size(), std::size_t(1));

        // An empty choice is the distribution's default, which the test machine has.
        chosen.clear();
        QCOMPARE(service.mciSendStringA(open.c_str(), nullptr, 0, nullptr), mci::MCIERROR(0));
        QCOMPARE(reported.size(), std::size_t(1));
    }
};

QTEST_MAIN(MciSoundFontTest)
#include "MciSoundFontTest.moc"
