// Which files Select hands to the MIDI header scan, and what the window shows from it: the real
// open-file dialog answered by the test, the real MCI service on a capture output, real files.
#include "audio/capture/CaptureOutput.h"
#include "audio/engine/AudioEngine.h"
#include "mci/MciService.h"
#include "playback/Playback.h"
#include "support/DialogDriver.h"
#include "support/RecordingView.h"
#include "system/CodePage.h"
#include "testkit/AudioFiles.h"
#include "testkit/Fakes.h"
#include "testkit/MidiFiles.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

using namespace qb;

class SelectHeaderScanTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<audio::AudioEngine> engine;
    test::RecordingMessageBox messages;
    std::unique_ptr<mci::MciService> service;
    std::unique_ptr<test::RecordingMci> mci;
    playback::PlaybackState state;
    test::RecordingView view;
    std::unique_ptr<playback::Playback> playback;
    std::unique_ptr<test::DialogDriver> dialogs;

private slots:
    void init()
    {
        audio::AudioEngine::Options options;
        options.feederThread = false;
        engine = std::make_unique<audio::AudioEngine>(std::make_unique<audio::CaptureOutput>(512), options);
        messages.shown.clear();
        service = std::make_unique<mci::MciService>(*engine, messages);
        mci = std::make_unique<test::RecordingMci>(service.get());
        state = {};
        view = {};
        dialogs = std::make_unique<test::DialogDriver>();
        playback = std::make_unique<playback::Playback>(state, view, *mci, *dialogs);
        QDir::setCurrent(dir.path());
    }

    void cleanup()
    {
        playback.reset();
        dialogs.reset();
        mci.reset();
        service.reset();
        engine.reset();
    }

    // Sampled-sound files are played but never read by the MIDI header scan: the window says so
    // instead of showing a header made of whatever the scan found.
    void sampledSoundIsNotScanned_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("rate");
        QTest::addColumn<QString>("label");
        QTest::newRow("flac") << "a.flac" << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 44100 << "FLAC";
        QTest::newRow("ogg") << "a.ogg" << (SF_FORMAT_OGG | SF_FORMAT_VORBIS) << 44100 << "Ogg";
        QTest::newRow("opus") << "a.opus" << (SF_FORMAT_OGG | SF_FORMAT_OPUS) << 48000 << "Opus";
    }

    void sampledSoundIsNotScanned()
    {
        QFETCH(QString, name);
        QFETCH(int, format);
        QFETCH(int, rate);
        QFETCH(QString, label);
        const QString path = dir.filePath(name);
        test::SoundFileParams params;
        params.format = format;
        params.rate = rate;
        params.frames = rate / 10;
        QVERIFY(test::writeSoundFile(path, params));
        dialogs->choose(path);
        playback->Command3_Click();
        QVERIFY(state.IsOpen);
        QCOMPARE(view.label2, label + QStringLiteral("ファイルのヘッダ解析はできてません(^^;"));
        QCOMPARE(view.caption, path);
    }

    // A MIDI file whose name is Shift_JIS bytes, chosen in the dialog, opens and shows its header.
    void midiWhoseNameIsNotUtf8ShowsItsHeader()
    {
        std::vector<test::MidiTrack> tracks(2);
        tracks[0].trackName(0, "Loop").tempo(0, 500000).endOfTrack(960);
        tracks[1].noteOn(0, 1, 60, 100).noteOff(480, 1, 60).endOfTrack();
        const QByteArray bytes = test::midiFile(1, 480, tracks);
        const std::string native = platform::toAnsi(dir.path()) + "/\x83\x8b\x81\x5b\x83\x76.mid";
        const int fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        QVERIFY(fd >= 0);
        const auto cleanup = qScopeGuard([&] { ::unlink(native.c_str()); }); // the toolkit cannot list it
        const bool written =
            ::write(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())) == bytes.size();
        ::close(fd);
        QVERIFY(written);

        dialogs->choose(platform::fromAnsi(native));
        playback->Command3_Click();
        QVERIFY(state.IsOpen);
        QCOMPARE(
            view.label2,
            QStringLiteral("タイトル = Loop\r\nフォーマット = 1\r\nトラックブロック数 = 2\r\n分解能 = 480"));
        QCOMPARE(view.caption, QStringLiteral("Loop"));
        QCOMPARE(platform::toAnsi(state.FilePath), native);
    }
};

QTEST_MAIN(SelectHeaderScanTest)
#include "SelectHeaderScanTest.moc"
