// Closing the window while a file opens ends the program at once: the open is given up, whatever it is
// doing (here it is blocked for good), and nothing more is shown.
#include "app/Program.h"
#include "sound/engine/AudioEngine.h"
#include "sound/mci/MciService.h"
#include "support/DialogDriver.h"
#include "testkit/AudioFiles.h"
#include "testkit/CaptureOutput.h"
#include "testkit/Fakes.h"
#include "testkit/MemorySettingsStore.h"
#include "ui/Form1.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <latch>
#include <memory>

using namespace qb;

class ClosingWhileOpeningTest : public QObject
{
    Q_OBJECT

private slots:
    void closingTheWindowDuringAnOpenEndsTheProgram()
    {
        QTemporaryDir dir;
        const QString song = dir.filePath(QStringLiteral("song.wav"));
        QVERIFY(test::writeWav(song, 4410));

        auto opening = std::make_shared<std::atomic<bool>>(false);
        auto never = std::make_shared<std::latch>(1);
        mci::MciService::Options options;
        options.openLimit = std::chrono::hours(1);
        options.opener = [opening, never](const mci::FileOpening&) {
            opening->store(true);
            never->wait();
            return audio::OpenResult{};
        };
        audio::AudioEngine::Options engineOptions;
        engineOptions.feederThread = false;
        audio::AudioEngine engine(
            std::make_unique<audio::CaptureOutput>(512, audio::CaptureOutput::Clock::Manual), engineOptions);
        test::RecordingMessageBox boxes;
        mci::MciService service(engine, boxes, options);
        test::MemorySettingsStore settings;
        settings.SaveSetting(QStringLiteral("Quillbeat"), QStringLiteral("Settings"), QStringLiteral("Start"),
                             QStringLiteral("none"));
        test::DialogDriver dialogs;
        app::Program program({&service, &boxes, &settings, &dialogs, {}});
        program.start(song.toUtf8(), true);

        // Once the open is under way, the user closes the window.
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, &program.window(), [&] {
            if (opening->load())
                program.window().close();
        });
        watch.start(10);
        QApplication::exec();

        QVERIFY(opening->load());
        QVERIFY(program.window().hasUnloaded());
        QVERIFY(!program.window().state().IsOpen);
        QVERIFY(boxes.shown.empty());
    }
};

QTEST_MAIN(ClosingWhileOpeningTest)
#include "ClosingWhileOpeningTest.moc"
