// Selecting a file without the dialog (the command line, a drop, a second start): the same window and
// the same MCI commands as a confirmed Select, the same outcome as a failed Select, and nothing while
// Select's own dialog is up.
#include "playback/Playback.h"
#include "sound/engine/AudioEngine.h"
#include "sound/mci/MciService.h"
#include "support/DialogDriver.h"
#include "support/RecordingView.h"
#include "system/CodePage.h"
#include "testkit/AudioFiles.h"
#include "testkit/CaptureOutput.h"
#include "testkit/Fakes.h"
#include "testkit/MidiFiles.h"

#include <QApplication>
#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <sndfile.h>

using namespace qb;

namespace {

// One player: the real service on a capture output, a recorded window, a scripted dialog.
struct Player
{
    audio::AudioEngine engine;
    test::RecordingMessageBox messages;
    mci::MciService service;
    test::RecordingMci mci;
    playback::PlaybackState state;
    test::RecordingView view;
    test::DialogDriver dialogs;
    playback::Playback playback;

    static audio::AudioEngine::Options manual()
    {
        audio::AudioEngine::Options options;
        options.feederThread = false;
        return options;
    }
    Player()
        : engine(std::make_unique<audio::CaptureOutput>(512), manual()), service(engine, messages),
          mci(&service), playback(state, view, mci, dialogs)
    {
    }
};

} // namespace

class SelectFileTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    QString writeMidi(const QString& name, const QByteArray& title)
    {
        std::vector<test::MidiTrack> chunks(2);
        chunks[0].trackName(0, title).tempo(0, 500000).endOfTrack(960);
        chunks[1].noteOn(0, 1, 60, 100).noteOff(480, 1, 60).endOfTrack();
        const QString path = dir.filePath(name);
        test::writeBytes(path, test::midiFile(1, 480, chunks));
        return path;
    }

private slots:
    void initTestCase() { QDir::setCurrent(dir.path()); }

    void showsAndSendsWhatAConfirmedSelectDoes_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("information");
        QTest::newRow("MIDI")
            << writeMidi(QStringLiteral("song.mid"), "Loop")
            << QStringLiteral(
                   "タイトル = Loop\r\nフォーマット = 1\r\nトラックブロック数 = 2\r\n分解能 = 480");
        const QString wav = dir.filePath(QStringLiteral("a b.wav")); // a path that needs an alias
        QVERIFY(test::writeWav(wav, 4410));
        QTest::newRow("WAV with a space")
            << wav << QStringLiteral("WAVファイルのヘッダ解析はできてません(^^;");
        const QString flac = dir.filePath(QStringLiteral("a.flac"));
        QVERIFY(test::writeSoundFile(flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2,
                                     test::noiseSignal(4410, 2, 1)));
        QTest::newRow("FLAC") << flac << QStringLiteral("FLACファイルのヘッダ解析はできてません(^^;");
    }

    void showsAndSendsWhatAConfirmedSelectDoes()
    {
        QFETCH(QString, path);
        QFETCH(QString, information);
        Player viaDialog;
        viaDialog.dialogs.choose(path);
        viaDialog.playback.Command3_Click();

        Player direct;
        QVERIFY(direct.playback.SelectFile(path));

        QCOMPARE(direct.view.events, viaDialog.view.events);
        QCOMPARE(direct.view.label1, path);
        QCOMPARE(direct.view.label1, viaDialog.view.label1);
        QCOMPARE(direct.view.label2, information);
        QCOMPARE(direct.view.label2, viaDialog.view.label2);
        QCOMPARE(direct.view.caption, viaDialog.view.caption);
        QCOMPARE(direct.mci.log, viaDialog.mci.log);
        QVERIFY(direct.state.IsOpen);
        QCOMPARE(direct.dialogs.dialogsShown(), 0);
    }

    // The title as it was written: UTF-8 as UTF-8, code page 932 as before, in the caption, the
    // information box and the state the desktop's media controls and the sound server read.
    void aTitleReadsAsItWasWritten_data()
    {
        QTest::addColumn<QByteArray>("title");
        QTest::addColumn<QString>("shown");
        QTest::newRow("UTF-8") << QByteArray("ループ曲 №1") << QString::fromUtf8("ループ曲 №1");
        QTest::newRow("Shift_JIS") << QByteArray("\x83\x8b\x81\x5b\x83\x76\x8b\xc8")
                                   << QString::fromUtf8("ループ曲");
        QTest::newRow("ASCII") << QByteArray("Loop") << QStringLiteral("Loop");
    }

    void aTitleReadsAsItWasWritten()
    {
        QFETCH(QByteArray, title);
        QFETCH(QString, shown);
        Player player;
        QVERIFY(player.playback.SelectFile(writeMidi(QStringLiteral("titled.mid"), title)));
        QCOMPARE(player.view.caption, shown);
        QVERIFY2(
            player.view.label2.startsWith(QStringLiteral("タイトル = ") + shown + QStringLiteral("\r\n")),
            qPrintable(player.view.label2));
        QCOMPARE(player.state.Title, shown);
    }

    void aNameThatIsNotUtf8IsShownReadable()
    {
        // An old Western archive's name: the file opens by its real bytes, the window reads them as
        // Latin-1 instead of showing replacement marks.
        const std::string folder = platform::toAnsi(dir.path());
        const std::string bytes = folder + "/caf\xe9.wav";
        QVERIFY(test::writeWav(QString::fromStdString(folder + "/cafe.wav"), 4410));
        QVERIFY(::rename((folder + "/cafe.wav").c_str(), bytes.c_str()) == 0);
        // The toolkit cannot name this file to remove it with the temporary folder.
        const auto removeFile = qScopeGuard([&] { std::remove(bytes.c_str()); });
        const QString shown = dir.path() + QString::fromUtf8("/café.wav");

        Player player;
        QVERIFY(player.playback.SelectFile(platform::fromAnsi(bytes)));
        QCOMPARE(player.view.label1, shown);
        QCOMPARE(player.view.caption, shown);
        player.playback.Command1_Click();
        QVERIFY(player.state.IsPlaying);
        QCOMPARE(player.view.label1, QStringLiteral("Play     ") + shown);
    }

    void aFileThatDoesNotOpenEndsAsAFailedSelect()
    {
        const QString playing = dir.filePath(QStringLiteral("playing.wav"));
        QVERIFY(test::writeWav(playing, 44100));
        const QString missing = dir.filePath(QStringLiteral("missing.wav"));

        Player viaDialog;
        QVERIFY(viaDialog.playback.SelectFile(playing));
        viaDialog.playback.Command1_Click();
        viaDialog.dialogs.forceAccept(missing);
        viaDialog.playback.Command3_Click();

        Player direct;
        QVERIFY(direct.playback.SelectFile(playing));
        direct.playback.Command1_Click();
        QVERIFY(!direct.playback.SelectFile(missing));

        QCOMPARE(direct.view.label1, QStringLiteral("ファイルを選択してください"));
        QCOMPARE(direct.view.label1, viaDialog.view.label1);
        QCOMPARE(direct.view.label2, viaDialog.view.label2);
        QVERIFY(!direct.state.IsOpen);
        QVERIFY(!direct.state.IsPlaying);
        QCOMPARE(direct.state.IsOpen, viaDialog.state.IsOpen);
        QCOMPARE(direct.mci.log.filter(QStringLiteral("close")),
                 viaDialog.mci.log.filter(QStringLiteral("close")));
    }

    void nothingIsSelectedWhileTheDialogIsUp()
    {
        const QString other = dir.filePath(QStringLiteral("other.wav"));
        QVERIFY(test::writeWav(other, 4410));
        Player player;
        bool sawDialog = false;
        bool refused = false;
        playback::Playback* target = nullptr;
        test::DialogCallback host([&](QFileDialog& dialog) {
            sawDialog = target->selectUnderWay();
            refused = !target->SelectFile(other);
            dialog.reject();
        });
        playback::Playback guarded(player.state, player.view, player.mci, host);
        target = &guarded;
        guarded.Command3_Click();
        QVERIFY(sawDialog);
        QVERIFY(refused);
        QVERIFY(!player.state.IsOpen);
        QVERIFY(player.mci.log.filter(QStringLiteral("open")).isEmpty());
        QVERIFY(!guarded.selectUnderWay());
    }
};

QTEST_MAIN(SelectFileTest)
#include "SelectFileTest.moc"
