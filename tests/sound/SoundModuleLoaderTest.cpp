// The window's MCI service loads the sound module at the first command, and a module that cannot be
// loaded fails every command with an error, never a crash.
#include "sound/SoundModuleLoader.h"

#include "sound/MciErrorText.h"
#include "sound/MciErrors.h"
#include "system/MessageBox.h"
#include "testkit/AudioFiles.h"
#include "testkit/MidiFiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <dlfcn.h>
#include <vector>

using namespace qb;

namespace {

class RecordingBox : public platform::MessageBoxPresenter
{
public:
    void show(const QString& text, const QString& caption) override
    {
        shown << caption + QStringLiteral(": ") + text;
    }
    QStringList shown;
};

// True when a file whose name contains `name` is mapped into this process.
bool mapped(const char* name)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains(name);
}

// The setup a window lends the stack, with nothing but the error box.
mci::SoundStackSetup setupWith(platform::MessageBoxPresenter& box)
{
    mci::SoundStackSetup setup;
    setup.errorBox = &box;
    return setup;
}

} // namespace

class SoundModuleLoaderTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void theSoundStackComesInWithTheFirstCommand()
    {
        RecordingBox box;
        mci::SoundModuleLoader loader(setupWith(box), {QUILLBEAT_TEST_SOUND_MODULE});
        loader.setStreamTitle("loop");
        QVERIFY(!loader.loaded());
        QVERIFY(!mapped("libquillbeat-sound.so"));
        QVERIFY(!mapped("libfluidsynth"));
        QVERIFY(!mapped("libSDL2"));
        // The libraries only tracker modules, game music, Opus, resampling and the loop search use, as
        // this process has them before the module comes (a sanitizer build of the test's own helpers may
        // bring one): the module must bring none of the others for a MIDI or a WAVE file.
        std::vector<const char*> lazy;
        for (const char* library : {"libopenmpt", "libgme", "libopusfile", "libsoxr", "libfftw3f"})
            if (!mapped(library))
                lazy.push_back(library);
        QVERIFY(lazy.size() >= 4);

        const QString wav = dir.filePath(QStringLiteral("loop.wav"));
        QVERIFY(test::writeWav(wav, 4410));
        const std::string open = "open " + wav.toStdString() + " alias midi";
        QCOMPARE(loader.mciSendStringA(open.c_str(), nullptr, 0, nullptr), mci::MCIERROR{0});
        QVERIFY(loader.loaded());
        QVERIFY(mapped("libquillbeat-sound.so"));
        char mode[16] = {};
        QCOMPARE(loader.mciSendStringA("status midi mode", mode, sizeof mode, nullptr), mci::MCIERROR{0});
        QCOMPARE(QByteArray(mode), QByteArray("stopped"));
        // The service's own errors come through as they are.
        QVERIFY(!loader.mciExecute("stop nosuchdevice"));
        QCOMPARE(box.shown.size(), 1);
        QVERIFY(loader.mciExecute("close midi"));

        // A MIDI file played, a WAVE file at the engine's rate and an MP3 at it: those libraries stay out.
        const QString mid = dir.filePath(QStringLiteral("note.mid"));
        QVERIFY(test::writeBytes(
            mid, test::midiFile(0, 96,
                                {test::MidiTrack().noteOn(0, 0, 60, 100).noteOff(96, 0, 60).endOfTrack()})));
        const std::string openMid = "open " + mid.toStdString() + " alias song";
        QCOMPARE(loader.mciSendStringA(openMid.c_str(), nullptr, 0, nullptr), mci::MCIERROR{0});
        QCOMPARE(loader.mciSendStringA("play song", nullptr, 0, nullptr), mci::MCIERROR{0});
        QCOMPARE(loader.mciSendStringA(open.c_str(), nullptr, 0, nullptr), mci::MCIERROR{0});
        const QString mp3 = dir.filePath(QStringLiteral("loop.mp3"));
        QVERIFY(test::writeMp3(mp3, 44100));
        const std::string openMp3 = "open " + mp3.toStdString() + " alias mp3";
        QCOMPARE(loader.mciSendStringA(openMp3.c_str(), nullptr, 0, nullptr), mci::MCIERROR{0});
        QCOMPARE(loader.mciSendStringA("play mp3", nullptr, 0, nullptr), mci::MCIERROR{0});
        QVERIFY(mapped("libfluidsynth"));
        for (const char* library : lazy)
            QVERIFY2(!mapped(library), library);
        QVERIFY(loader.mciExecute("close mp3"));
        QVERIFY(loader.mciExecute("close song"));
        QVERIFY(loader.mciExecute("close midi"));
    }

    void aModuleThatCannotBeUsedFailsEveryCommandAndSaysWhy_data()
    {
        QTest::addColumn<QString>("module");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << dir.filePath(QStringLiteral("no/libquillbeat-sound.so"))
                                 << QStringLiteral("が見つかりません");
        const QString text = dir.filePath(QStringLiteral("libquillbeat-sound.so"));
        QFile file(text);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("not a library\n") > 0);
        QTest::newRow("not a shared object") << text << QStringLiteral("を読み込めません");
        QTest::newRow("another library")
            << QStringLiteral(QUILLBEAT_TEST_OTHER_LIBRARY)
            << QStringLiteral("は、このプログラムの音源モジュールではありません");
        QTest::newRow("another build") << QStringLiteral(QUILLBEAT_TEST_OTHER_BUILD_MODULE)
                                       << QStringLiteral("（モジュール 0.9+0123456789ab、プログラム %1）")
                                              .arg(QLatin1String(mci::kSoundModuleBuild));
    }

    void aModuleThatCannotBeUsedFailsEveryCommandAndSaysWhy()
    {
        QFETCH(QString, module);
        QFETCH(QString, reason);
        RecordingBox box;
        mci::SoundModuleLoader loader(setupWith(box), {module.toStdString()});
        QCOMPARE(loader.mciSendStringA("open /tmp/a.wav alias midi", nullptr, 0, nullptr),
                 mci::MCIERR_CANNOT_LOAD_DRIVER);
        QVERIFY(!loader.mciExecute("play midi notify"));
        QVERIFY(!loader.loaded());
        // Each try tells why, naming the file; the service's own error text would only mislead.
        QCOMPARE(box.shown.size(), 2);
        for (const QString& shown : std::as_const(box.shown)) {
            QVERIFY2(shown.startsWith(QStringLiteral("Quillbeat: ")), qPrintable(shown));
            QVERIFY2(shown.contains(module + QLatin1Char('\n')), qPrintable(shown));
            QVERIFY2(shown.contains(reason), qPrintable(shown));
            QVERIFY(!shown.contains(mci::mciErrorText(mci::MCIERR_CANNOT_LOAD_DRIVER)));
        }
    }

    // A start with a file opens it before the window: the window's own open of it is answered by that
    // open (a second open under "midi" would be refused as a duplicate), and the play and volume sent
    // ahead hold.
    void theWindowsOpenTakesTheFileOpenedAhead()
    {
        const QString wav = dir.filePath(QStringLiteral("ahead.wav"));
        QVERIFY(test::writeWav(wav, 44100));
        const std::string open = "open " + wav.toStdString() + " alias midi";
        RecordingBox box;
        mci::SoundModuleLoader loader(mci::SoundStackSetup{}, {QUILLBEAT_TEST_SOUND_MODULE});
        loader.startAhead({open, {"setaudio midi volume to 500"}, "play midi", "close midi"});
        loader.release();
        loader.setSetup(setupWith(box));

        QCOMPARE(loader.mciSendStringA(open.c_str(), nullptr, 0, nullptr), mci::MCIERROR{0});
        char reply[16] = {};
        QCOMPARE(loader.mciSendStringA("status midi mode", reply, sizeof reply, nullptr), mci::MCIERROR{0});
        QCOMPARE(QByteArray(reply), QByteArray("playing"));
        QCOMPARE(loader.mciSendStringA("status midi volume", reply, sizeof reply, nullptr), mci::MCIERROR{0});
        QCOMPARE(QByteArray(reply), QByteArray("500"));
        // Answered once: the next open of the same file is the service's, and refused as a duplicate.
        QCOMPARE(loader.mciSendStringA(open.c_str(), nullptr, 0, nullptr), mci::MCIERR_DUPLICATE_ALIAS);
        QVERIFY(box.shown.isEmpty());
    }

    // A start that hands its file to another window plays nothing and leaves nothing open; one whose
    // window opens another file first closes the file opened ahead.
    void aFileOpenedAheadThatTheWindowDoesNotTakeIsClosed()
    {
        const QString a = dir.filePath(QStringLiteral("a.wav"));
        const QString b = dir.filePath(QStringLiteral("b.wav"));
        QVERIFY(test::writeWav(a, 44100));
        QVERIFY(test::writeWav(b, 44100));
        const std::string openA = "open " + a.toStdString() + " alias midi";
        const std::string openB = "open " + b.toStdString() + " alias midi";
        char reply[16] = {};
        {
            mci::SoundModuleLoader handedOver(mci::SoundStackSetup{}, {QUILLBEAT_TEST_SOUND_MODULE});
            handedOver.startAhead({openA, {}, "play midi", "close midi"});
            handedOver.drop();
            QCOMPARE(handedOver.mciSendStringA("status midi mode", reply, sizeof reply, nullptr),
                     mci::MCIERR_INVALID_DEVICE_NAME);
        }
        mci::SoundModuleLoader loader(mci::SoundStackSetup{}, {QUILLBEAT_TEST_SOUND_MODULE});
        loader.startAhead({openA, {}, "play midi", "close midi"});
        loader.release();
        QCOMPARE(loader.mciSendStringA(openB.c_str(), nullptr, 0, nullptr), mci::MCIERROR{0});
        QCOMPARE(loader.mciSendStringA("status midi mode", reply, sizeof reply, nullptr), mci::MCIERROR{0});
        QCOMPARE(QByteArray(reply), QByteArray("stopped")); // b, opened by the window, not a playing
    }

    // What fails ahead is told by the window's own open, and only there; the setup the window gives
    // while the ahead runs answers from the window's first command on, error box included.
    void theWindowsSetupTakesOverFromTheFirstCommand()
    {
        const QString junk = dir.filePath(QStringLiteral("junk.wav"));
        QFile file(junk);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(4096, 'x')) == 4096);
        file.close();
        const std::string open = "open " + junk.toStdString() + " alias midi";
        int askedAhead = 0;
        int askedLater = 0;
        mci::SoundStackSetup early;
        early.loopPointsWanted = [&askedAhead] { return ++askedAhead, false; };
        mci::SoundModuleLoader loader(std::move(early), {QUILLBEAT_TEST_SOUND_MODULE});
        loader.startAhead({open, {}, "play midi", "close midi"});
        RecordingBox box;
        mci::SoundStackSetup later = setupWith(box);
        later.loopPointsWanted = [&askedLater] { return ++askedLater, false; };
        loader.setSetup(std::move(later));
        loader.release();

        QVERIFY(!loader.mciExecute(open.c_str()));
        QCOMPARE(box.shown.size(), 1);
        QCOMPARE(askedAhead, 1);
        QCOMPARE(askedLater, 1);
    }

    // A start loads the window's libraries once the module made ahead is in (the dynamic linker loads
    // one at a time, and the sound waits for the module): awaiting it returns only then. It needs a
    // process that has not mapped the module yet, so it runs alone (sound_module_loader_await_test);
    // in the test's own run an earlier case has mapped it.
    void awaitingTheModuleReturnsOnceItIsIn()
    {
        if (mapped("libquillbeat-sound.so"))
            QSKIP("the module is mapped already: this case runs alone");
        const QString wav = dir.filePath(QStringLiteral("await.wav"));
        QVERIFY(test::writeWav(wav, 4410));
        mci::SoundModuleLoader loader(mci::SoundStackSetup{}, {QUILLBEAT_TEST_SOUND_MODULE});
        loader.startAhead({"open " + wav.toStdString() + " alias midi", {}, "play midi", "close midi"});
        loader.awaitModule();
        QVERIFY(mapped("libquillbeat-sound.so"));
        QVERIFY(mapped("libfluidsynth"));
        loader.drop();
        // Without a head start there is nothing to wait for.
        mci::SoundModuleLoader idle(mci::SoundStackSetup{}, {QUILLBEAT_TEST_SOUND_MODULE});
        idle.awaitModule();
    }

    void theProgramsOwnModuleIsOfItsBuild()
    {
        void* module = ::dlopen(QUILLBEAT_TEST_SOUND_MODULE, RTLD_NOW | RTLD_LOCAL);
        QVERIFY(module);
        const auto build =
            reinterpret_cast<mci::SoundModuleBuild>(::dlsym(module, mci::kSoundModuleBuildSymbol));
        QVERIFY(build);
        QCOMPARE(QByteArray(build()), QByteArray(mci::kSoundModuleBuild));
        QVERIFY(QByteArray(mci::kSoundModuleBuild).startsWith(QUILLBEAT_TEST_VERSION "+"));
    }
};

QTEST_MAIN(SoundModuleLoaderTest)
#include "SoundModuleLoaderTest.moc"
