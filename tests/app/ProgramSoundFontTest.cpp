// One failure, one box: with the program's own sound module and a SoundFont it cannot use, a MIDI file
// fails with the SoundFont's message box alone, whichever way it was named: Select, the command line's
// --play, or a request from outside the window (a later start's hand-over, the media controls'
// OpenUri and a drop all go the same way).
#include "app/Program.h"
#include "session/SingleWindow.h"
#include "session/WindowActions.h"
#include "support/DialogDriver.h"
#include "testkit/AudioFiles.h"
#include "testkit/Fakes.h"
#include "testkit/MemorySettingsStore.h"
#include "testkit/MidiFiles.h"
#include "ui/Form1.h"

#include <QTemporaryDir>
#include <QTest>

using namespace qb;

class ProgramSoundFontTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void anUnusableSoundFontShowsItsOwnBoxAlone_data()
    {
        QTest::addColumn<QString>("way");
        QTest::newRow("Select") << QStringLiteral("Select");
        QTest::newRow("--play") << QStringLiteral("--play");
        QTest::newRow("hand-over") << QStringLiteral("hand-over");
    }

    void anUnusableSoundFontShowsItsOwnBoxAlone()
    {
        QFETCH(QString, way);
        test::RecordingMessageBox messages;
        test::MemorySettingsStore settings;
        test::DialogDriver dialogs;
        const QString app = QStringLiteral("Quillbeat");
        const QString section = QStringLiteral("Settings");
        const QString soundFont = dir.filePath(QStringLiteral("missing.sf2"));
        QVERIFY(settings.SaveSetting(app, section, QStringLiteral("Start"), QStringLiteral("none")));
        QVERIFY(settings.SaveSetting(app, section, QStringLiteral("SoundFont"), soundFont));
        std::vector<test::MidiTrack> tracks(1);
        tracks[0].noteOn(0, 0, 60, 100).noteOff(480, 0, 60).endOfTrack();
        const QString song = dir.filePath(QStringLiteral("song.mid"));
        QVERIFY(test::writeBytes(song, test::midiFile(0, 480, tracks)));

        app::Program program({nullptr, &messages, &settings, &dialogs, {QUILLBEAT_TEST_SOUND_MODULE}});
        program.start();
        ui::Form1& form = program.window();
        if (way == QLatin1String("Select")) {
            dialogs.choose(song);
            form.Command3_Click();
        } else if (way == QLatin1String("--play")) {
            program.open(song.toUtf8(), true);
        } else {
            session::takeRequest(form, session::WindowRequest{song.toUtf8(), true});
        }
        // Requests run in the order they came, once the window is free: once this one has run, the
        // file's has.
        bool done = false;
        session::whenWindowFree(form, [&done] { done = true; });
        QTRY_VERIFY(done);

        QCOMPARE(messages.shown.size(), std::size_t(1));
        QVERIFY2(messages.shown[0].text.contains(soundFont), qPrintable(messages.shown[0].text));
        QVERIFY(!form.state().IsOpen);
        QVERIFY(!form.state().IsPlaying);
    }
};

QTEST_MAIN(ProgramSoundFontTest)
#include "ProgramSoundFontTest.moc"
