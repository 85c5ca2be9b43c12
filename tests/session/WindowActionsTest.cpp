// What the window does with a file from outside (the command line, a later start): selected, played
// on request, named in a message when it does not open; and such requests wait for Select's dialog.
#include "session/WindowActions.h"

#include "support/DialogDriver.h"
#include "system/SettingsStore.h"
#include "testkit/AudioFiles.h"
#include "testkit/Fakes.h"
#include "testkit/MemorySettingsStore.h"
#include "ui/Form1.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <string_view>

using namespace qb;

class WindowActionsTest : public QObject
{
    Q_OBJECT

private slots:
    void aFileThatDoesNotOpenIsNamed()
    {
        // The file is there, but the service refuses it (as it refuses a file that is not MIDI).
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("broken.mid"));
        QVERIFY(test::writeBytes(path, QByteArray("not MIDI")));
        test::RecordingMci mci;
        mci.script("open " + path.toStdString() + " alias midi", {mci::MCIERROR(296), {}});
        test::RecordingMessageBox messages;
        test::MemorySettingsStore settings;
        test::DialogDriver dialogs;
        ui::Form1 form({mci, messages, settings, dialogs});

        QVERIFY(!session::openRequestedFile(form, path, true));
        QCOMPARE(messages.shown.size(), std::size_t(1));
        QVERIFY(messages.shown[0].text.contains(path));
        QVERIFY(messages.shown[0].text.contains(QStringLiteral("開けませんでした")));
        QCOMPARE(form.label1Caption(), QStringLiteral("ファイルを選択してください"));
        QVERIFY(!form.state().IsOpen);
        QVERIFY(mci.log.filter(QStringLiteral("play")).isEmpty()); // --play does not follow a failure
    }

    void playFollowsASelectedFileWhenAsked()
    {
        test::RecordingMci mci;
        test::RecordingMessageBox messages;
        test::MemorySettingsStore settings;
        test::DialogDriver dialogs;
        ui::Form1 form({mci, messages, settings, dialogs});

        QVERIFY(session::openRequestedFile(form, QStringLiteral("/music/a.wav"), false));
        QVERIFY(!form.state().IsPlaying);
        QVERIFY(session::openRequestedFile(form, QStringLiteral("/music/b.wav"), true));
        QVERIFY(form.state().IsPlaying);
        QCOMPARE(mci.log.last(), QStringLiteral("send:play midi notify"));
        QCOMPARE(form.label1Caption(), QStringLiteral("Play     /music/b.wav"));
        QVERIFY(messages.shown.empty());
    }

    void requestsWaitForSelectsDialog()
    {
        test::RecordingMci mci;
        test::RecordingMessageBox messages;
        test::MemorySettingsStore settings;
        ui::Form1* target = nullptr;
        bool ran = false;
        bool dialogUpWhenRun = true;
        test::DialogCallback dialogs([&](QFileDialog& dialog) {
            session::whenWindowFree(*target, [&] {
                ran = true;
                dialogUpWhenRun = target->playback().selectUnderWay() || QApplication::activeModalWidget();
            });
            // Long enough for a request that did not wait to have run inside the dialog.
            QTimer::singleShot(300, &dialog, &QDialog::reject);
        });
        ui::Form1 form({mci, messages, settings, dialogs});
        target = &form;
        form.Command3_Click();
        QTRY_VERIFY(ran);
        QVERIFY(!dialogUpWhenRun);
    }

    // Each message names the file and the way out; each kind of problem is told apart, and only a
    // missing default SoundFont is a package's to give back.
    void theSoundFontMessageNamesTheFileAndTheWayOut_data()
    {
        using P = mci::SoundFontProblem;
        QTest::addColumn<P>("problem");
        QTest::addColumn<bool>("isDefault");
        QTest::addColumn<QString>("saying");
        QTest::addColumn<bool>("package");
        QTest::newRow("default missing") << P::Missing << true << QStringLiteral("見つからない") << true;
        QTest::newRow("chosen missing") << P::Missing << false << QStringLiteral("見つからない") << false;
        QTest::newRow("unreadable") << P::Unreadable << true << QStringLiteral("読み取れない") << false;
        QTest::newRow("not a SoundFont")
            << P::NotSoundFont << false << QStringLiteral("SoundFontではない") << false;
        QTest::newRow("rejected") << P::Rejected << true << QStringLiteral("壊れているか") << false;
    }

    void theSoundFontMessageNamesTheFileAndTheWayOut()
    {
        QFETCH(mci::SoundFontProblem, problem);
        QFETCH(bool, isDefault);
        QFETCH(QString, saying);
        QFETCH(bool, package);
        const QString text =
            session::soundFontMessage(QStringLiteral("/usr/share/sounds/sf2/none.sf2"), problem, isDefault,
                                      QStringLiteral("/home/me/.config/Quillbeat/Quillbeat.ini"));
        QVERIFY(text.contains(QStringLiteral("/usr/share/sounds/sf2/none.sf2")));
        QVERIFY2(text.contains(saying), qPrintable(text));
        QCOMPARE(text.contains(QStringLiteral("fluid-soundfont-gm")), package);
        QVERIFY(text.contains(QStringLiteral("SoundFont=")));
        QVERIFY(text.contains(QStringLiteral("/home/me/.config/Quillbeat/Quillbeat.ini")));
    }

    // A file too large for this machine: the message names the file, the limit and what the file has
    // or needs, in whole megabytes that never read the same.
    void theTooLargeMessageNamesTheLimit()
    {
        const QString size =
            session::tooLargeMessage(QStringLiteral("/music/vast.mid"), mci::FileLimitKind::FileSize,
                                     (std::uint64_t{256} << 20) + 1, std::uint64_t{256} << 20);
        QVERIFY2(size.contains(QStringLiteral("/music/vast.mid")), qPrintable(size));
        QVERIFY2(size.contains(QStringLiteral("256 MB まで")), qPrintable(size));
        QVERIFY2(size.contains(QStringLiteral("257 MB")), qPrintable(size));
        const QString events =
            session::tooLargeMessage(QStringLiteral("/music/dense.mid"), mci::FileLimitKind::EventMemory,
                                     std::uint64_t{9000} << 20, std::uint64_t{6144} << 20);
        QVERIFY2(events.contains(QStringLiteral("イベント")), qPrintable(events));
        QVERIFY2(events.contains(QStringLiteral("9000 MB")), qPrintable(events));
        QVERIFY2(events.contains(QStringLiteral("6144 MB")), qPrintable(events));
    }

    // When the sound stack has explained a refusal in a box of its own (a SoundFont, a file too large),
    // the window does not add the box that guesses at a damaged file; the next refusal gets it again.
    void aRefusalTheStackExplainedIsNotNamedAgain()
    {
        struct ExplainingMci : mci::MciApi
        {
            std::function<void()> explain;
            mci::MCIERROR mciSendStringA(const char* command, char*, unsigned, void*) override
            {
                if (std::string_view(command).starts_with("open ")) {
                    if (explain)
                        explain();
                    return mci::MCIERROR(296);
                }
                return 0;
            }
            bool mciExecute(const char*) override { return true; }
        } mci;
        test::RecordingMessageBox messages;
        test::MemorySettingsStore settings;
        test::DialogDriver dialogs;
        ui::Form1 form({mci, messages, settings, dialogs});
        mci.explain = [&] { form.playback().noteOpenFailureTold(); };
        QVERIFY(!session::openRequestedFile(form, QStringLiteral("/music/vast.mid"), true));
        QVERIFY(messages.shown.empty());
        mci.explain = nullptr;
        QVERIFY(!session::openRequestedFile(form, QStringLiteral("/music/vast.mid"), true));
        QCOMPARE(messages.shown.size(), std::size_t(1));
    }
};

QTEST_MAIN(WindowActionsTest)
#include "WindowActionsTest.moc"
