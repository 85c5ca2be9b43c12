// Select from end to end: the real open-file dialog answered by the test, the real MCI service on a
// capture output, real files, and what the window shows afterwards.
#include "playback/Playback.h"
#include "sound/MediaFormats.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/Device.h"
#include "sound/mci/MciService.h"
#include "support/DialogDriver.h"
#include "support/RecordingView.h"
#include "system/CodePage.h"
#include "testkit/AudioFiles.h"
#include "testkit/CaptureOutput.h"
#include "testkit/Fakes.h"
#include "testkit/MidiFiles.h"
#include "testkit/RenderedMusicFiles.h"

#include <QApplication>
#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <fcntl.h>
#include <latch>
#include <memory>
#include <sndfile.h>
#include <thread>
#include <unistd.h>

using namespace qb;

namespace {

const QString kPrompt = QStringLiteral("ファイルを選択してください");

QString modeOf(mci::MciApi& mci)
{
    char reply[80] = {};
    if (mci.mciSendStringA("status midi mode", reply, sizeof reply, nullptr) != 0)
        return QStringLiteral("(no device)");
    return QString::fromLatin1(reply);
}

} // namespace

class SelectTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    audio::CaptureOutput* capture = nullptr;
    std::unique_ptr<audio::AudioEngine> engine;
    test::RecordingMessageBox messages;
    std::unique_ptr<mci::MciService> service;
    std::unique_ptr<test::RecordingMci> mci;
    playback::PlaybackState state;
    test::RecordingView view;
    std::unique_ptr<playback::Playback> playback;
    std::unique_ptr<test::DialogDriver> dialogs;

    QString file(const QString& name) const { return dir.filePath(name); }

    QString writeMidi(const QString& name, const QByteArray& title, int tracks)
    {
        std::vector<test::MidiTrack> chunks(static_cast<std::size_t>(tracks));
        chunks[0].trackName(0, title).tempo(0, 500000);
        chunks[0].endOfTrack(960);
        for (int t = 1; t < tracks; ++t)
            chunks[static_cast<std::size_t>(t)].noteOn(0, t, 60, 100).noteOff(480, t, 60).endOfTrack();
        const QString path = file(name);
        test::writeBytes(path, test::midiFile(1, 480, chunks));
        return path;
    }

    void select(const QString& path)
    {
        if (path.isEmpty())
            dialogs->cancel();
        else
            dialogs->choose(path);
        playback->Command3_Click();
    }

private slots:
    void init()
    {
        auto output = std::make_unique<audio::CaptureOutput>(512);
        capture = output.get();
        audio::AudioEngine::Options options;
        options.feederThread = false;
        engine = std::make_unique<audio::AudioEngine>(std::move(output), options);
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

    void midiShowsItsFourLinesAndTitle()
    {
        const QString path = writeMidi(QStringLiteral("song.mid"), "X", 5);
        select(path);
        QCOMPARE(
            view.label2,
            QStringLiteral("タイトル = X\r\nフォーマット = 1\r\nトラックブロック数 = 5\r\n分解能 = 480"));
        QCOMPARE(view.caption, QStringLiteral("X"));
        QCOMPARE(view.label1, path);
        QVERIFY(state.IsOpen);
        QVERIFY(!state.IsPlaying);
        QCOMPARE(modeOf(*mci), QStringLiteral("stopped"));
        QCOMPARE(mci->log.filter(QStringLiteral("open")).size(), 1);
    }

    // The chosen file opens while the window's event loop runs on: Select is still under way then (so a
    // file dropped or handed over meanwhile waits), and the window shows the file only once it is open.
    void selectIsUnderWayWhileItsFileOpens()
    {
        const QString path = writeMidi(QStringLiteral("song.mid"), "X", 2);
        bool ran = false;
        bool underWay = false;
        QString shownMeanwhile;
        QTimer::singleShot(0, this, [&] {
            ran = true;
            underWay = playback->selectUnderWay();
            shownMeanwhile = view.label1;
        });
        QVERIFY(playback->SelectFile(path));
        QVERIFY(ran);
        QVERIFY(underWay);
        QCOMPARE(shownMeanwhile, QStringLiteral("ファイルを選択してください"));
        QVERIFY(!playback->selectUnderWay());
        QCOMPARE(view.label1, path);
    }

    // A MIDI file's header is read beside the window, not on its thread: while the reading waits (here
    // until the window's own timer lets it go), the window's event loop runs on; then the header shows.
    void theHeaderIsReadBesideTheWindow()
    {
        const QString path = writeMidi(QStringLiteral("song.mid"), "X", 2);
        auto release = std::make_shared<std::latch>(1);
        auto readOn = std::make_shared<std::atomic<bool>>(false);
        const std::thread::id window = std::this_thread::get_id();
        playback = std::make_unique<playback::Playback>(
            state, view, *mci, *dialogs, [release, readOn, window](const QString& file) {
                readOn->store(std::this_thread::get_id() != window);
                release->wait();
                media::MidiHeaderInfo info = media::ReadMidiHeader(file);
                info.Title = QStringLiteral("read beside");
                return info;
            });
        QTimer::singleShot(0, this, [release] { release->count_down(); });
        QVERIFY(playback->SelectFile(path));
        QVERIFY(readOn->load());
        QCOMPARE(view.caption, QStringLiteral("read beside"));
        QVERIFY(view.label2.endsWith(QStringLiteral("トラックブロック数 = 2\r\n分解能 = 480")));
    }

    // A tracker module is shown as the other files that are not MIDI are; its own name is its title,
    // for the desktop.
    void aModuleShowsItsPathAndKeepsItsName()
    {
        const QString path = file(QStringLiteral("song.mod"));
        QVERIFY(test::writeBytes(path, test::modFile(test::jumpingModule())));
        select(path);
        QVERIFY(state.IsOpen);
        QCOMPARE(view.label2, QStringLiteral("MODファイルのヘッダ解析はできてません(^^;"));
        QCOMPARE(view.caption, path);
        QCOMPARE(state.Title, QStringLiteral("Quillbeat jump"));
    }

    void theDialogOffersEveryEndingWePlayThenTheFourFixedPairs()
    {
        select(QString());
        QCOMPARE(dialogs->dialogsShown(), 1);
        // Ten texts, each followed by one NUL: splitting leaves an empty text after the last.
        const QStringList texts = playback::Playback::selectFilter().split(QChar(u'\0'));
        QCOMPARE(texts.size(), 11);
        QVERIFY(texts.last().isEmpty());
        QStringList endings;
        for (const formats::MediaFormat& format : formats::mediaFormats())
            endings << QStringLiteral("*.") + QLatin1String(format.ending);
        for (const char* ending : {"*.mid", "*.rmi", "*.wav", "*.mp3"})
            QVERIFY2(endings.contains(QLatin1String(ending)), ending);
        QCOMPARE(texts.mid(0, 2), (QStringList{QStringLiteral("音声＆MIDIデータ(%1)").arg(endings.join(u';')),
                                               endings.join(u';')}));
        QCOMPARE(texts.mid(2, 8),
                 (QStringList{QStringLiteral("MIDIシーケンス(*.mid;*.rmi)"), QStringLiteral("*.mid;*.rmi"),
                              QStringLiteral("WAVEオーディオ(*.wav)"), QStringLiteral("*.wav"),
                              QStringLiteral("MPEG1 Layer 3(*.mp3)"), QStringLiteral("*.mp3"),
                              QStringLiteral("すべてのファイル(*.*)"), QStringLiteral("*.*")}));
        QStringList descriptions;
        for (qsizetype i = 0; i < 10; i += 2)
            descriptions << texts[i];
        QCOMPARE(dialogs->last().offeredFilters, descriptions);
        QCOMPARE(dialogs->last().selectedFilterIndex, 0);
        QCOMPARE(QDir(dialogs->last().directory).canonicalPath(), QDir(dir.path()).canonicalPath());
    }

    void whileTheDialogIsUpTheWindowShowsThePrompt()
    {
        const QString path = file(QStringLiteral("shown.wav"));
        QVERIFY(test::writeWav(path, 44100));
        select(path);
        playback->Command1_Click();
        const QString status = view.label1;
        const QString info = view.label2;

        QString label1;
        QString label2;
        bool playing = false;
        test::DialogCallback host([&](QFileDialog& dialog) {
            label1 = view.label1;
            label2 = view.label2;
            playing = modeOf(*mci) == QLatin1String("playing");
            dialog.reject();
        });
        playback::Playback(state, view, *mci, host).Command3_Click();
        QCOMPARE(label1, kPrompt);
        QCOMPARE(label2, QString());
        QVERIFY(playing); // the old file plays on until a new one is chosen
        QCOMPARE(view.label1, status);
        QCOMPARE(view.label2, info);
    }

    void rmiShowsTheHeaderOfTheSequenceItWraps()
    {
        test::MidiTrack track;
        track.trackName(0, "Wrapped").tempo(0, 500000).noteOn(0, 0, 60, 100).noteOff(480, 0, 60).endOfTrack();
        const QString path = file(QStringLiteral("song.rmi"));
        QVERIFY(test::writeBytes(path, test::riffMidi(test::midiFile(0, 96, {track}))));
        select(path);
        QCOMPARE(view.label2,
                 QStringLiteral(
                     "タイトル = Wrapped\r\nフォーマット = 0\r\nトラックブロック数 = 1\r\n分解能 = 96"));
        QCOMPARE(view.caption, QStringLiteral("Wrapped"));
        QCOMPARE(view.label1, path);
        QVERIFY(state.IsOpen);
        QCOMPARE(modeOf(*mci), QStringLiteral("stopped"));
    }

    void wavAndMp3ShowTheirMessageAndPath_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        const QString wav = QStringLiteral("WAVファイルのヘッダ解析はできてません(^^;");
        const QString mp3 = QStringLiteral("MP3ファイルのヘッダ解析はできてません(^^;");
        QTest::newRow("wav") << "a.wav" << wav;
        QTest::newRow("WAV in capitals") << "SONG.WAV" << wav;
        QTest::newRow("mp3") << "a.mp3" << mp3;
        QTest::newRow("MP3 in capitals") << "SONG.MP3" << mp3;
    }

    void wavAndMp3ShowTheirMessageAndPath()
    {
        QFETCH(QString, name);
        QFETCH(QString, message);
        const QString path = file(name);
        if (name.endsWith(QStringLiteral("wav"), Qt::CaseInsensitive))
            QVERIFY(test::writeWav(path, 4410));
        else
            QVERIFY(test::writeMp3(path, 4410));
        select(path);
        QCOMPARE(view.label2, message);
        QCOMPARE(view.caption, path);
        QCOMPARE(view.label1, path);
        QVERIFY(state.IsOpen);
    }

    void aRefusedOpenLeavesOnlyThePrompt()
    {
        const QString path = file(QStringLiteral("notes.txt"));
        QVERIFY(test::writeBytes(path, "hello"));
        select(path);
        QCOMPARE(view.label1, kPrompt);
        QCOMPARE(view.label2, QString());
        QCOMPARE(view.caption, QStringLiteral("Quillbeat"));
        QVERIFY(!state.IsOpen);
        QVERIFY(messages.shown.empty());
    }

    void aRefusedOpenAfterAnotherFileLeavesNoFileOpen()
    {
        const QString first = file(QStringLiteral("before.wav"));
        QVERIFY(test::writeWav(first, 44100));
        select(first);
        playback->Command1_Click();
        const QString caption = view.caption;

        const QString refused = file(QStringLiteral("notes.txt"));
        QVERIFY(test::writeBytes(refused, "hello"));
        mci->log.clear();
        select(refused);
        QCOMPARE(mci->log.first(), QStringLiteral("exec:close midi"));
        QCOMPARE(modeOf(*mci), QStringLiteral("(no device)"));
        QVERIFY(!state.IsOpen);
        QVERIFY(!state.IsPlaying);
        QVERIFY(!view.timer3);
        QCOMPARE(view.picture, QStringLiteral("empty"));
        QCOMPARE(view.label1, kPrompt);
        QCOMPARE(view.label2, QString());
        QCOMPARE(view.caption, caption);
        // Play now finds no file and asks for one.
        playback->Command1_Click();
        QCOMPARE(view.messages.size(), 1);
        QVERIFY(!state.IsPlaying);
    }

    void selectingWhileLoopingReplacesTheFileWithoutPlayingIt()
    {
        const QString first = file(QStringLiteral("first.wav"));
        QVERIFY(test::writeWav(first, 44100));
        select(first);
        playback->Command1_Click();
        capture->advance(4096);
        QCOMPARE(modeOf(*mci), QStringLiteral("playing"));

        const QString second = writeMidi(QStringLiteral("second.mid"), "Second", 2);
        view.events.clear();
        mci->log.clear();
        select(second);
        QCOMPARE(mci->log.first(), QStringLiteral("exec:close midi"));
        QVERIFY(view.events.contains(QStringLiteral("empty")));
        QVERIFY(!view.timer3);
        QVERIFY(state.IsOpen);
        QVERIFY(!state.IsPlaying);
        QCOMPARE(view.caption, QStringLiteral("Second"));
        QCOMPARE(modeOf(*mci), QStringLiteral("stopped"));
    }

    void choosingTheOpenFileAgainReopensItStopped()
    {
        const QString path = file(QStringLiteral("same.wav"));
        QVERIFY(test::writeWav(path, 44100));
        select(path);
        playback->Command1_Click();
        select(path);
        QCOMPARE(mci->log.filter(QStringLiteral("open")).size(), 2);
        QCOMPARE(mci->log.filter(QStringLiteral("close")).size(), 1);
        QCOMPARE(modeOf(*mci), QStringLiteral("stopped"));
        QVERIFY(!state.IsPlaying);
    }

    void cancelWhileLoopingKeepsLoopingAndThePath()
    {
        const QString path = file(QStringLiteral("keep.wav"));
        QVERIFY(test::writeWav(path, 8000));
        select(path);
        playback->Command1_Click();
        const QString status = view.label1;
        const QString info = view.label2;
        const QString caption = view.caption;

        select(QString());
        QVERIFY(state.DialogCancelled);
        QCOMPARE(view.label1, status);
        QCOMPARE(view.label2, info);
        QCOMPARE(view.caption, caption);
        QCOMPARE(state.FilePath, path);
        QVERIFY(state.IsPlaying);
        for (int i = 0; i < 200; ++i) { // several passes of the short file
            capture->advance(512);
            playback->Timer1_Timer();
        }
        QCOMPARE(modeOf(*mci), QStringLiteral("playing"));
        playback->Command2_Click();
        QCOMPARE(view.label1, QStringLiteral("Stop     ") + path);
    }

    void theNextDialogOpensWhereTheLastFileWasChosen()
    {
        QDir(dir.path()).mkdir(QStringLiteral("sub"));
        const QString path = file(QStringLiteral("sub/in.wav"));
        QVERIFY(test::writeWav(path, 4410));
        select(path);
        select(QString());
        QCOMPARE(QDir(dialogs->last().directory).canonicalPath(),
                 QDir(file(QStringLiteral("sub"))).canonicalPath());
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

QTEST_MAIN(SelectTest)
#include "SelectTest.moc"
