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
};

QTEST_MAIN(WindowActionsTest)
#include "WindowActionsTest.moc"
