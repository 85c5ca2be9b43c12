// The command line, read before any window system: a path or a file: URI, --play, and a clear refusal
// of what it cannot take.
#include "app/CommandLine.h"

#include <QTest>
#include <vector>

using qb::app::CommandLine;
using qb::app::parseCommandLine;

namespace {

CommandLine parse(std::vector<const char*> arguments)
{
    arguments.insert(arguments.begin(), "quillbeat");
    return parseCommandLine(static_cast<int>(arguments.size()), arguments.data(), "/home/me/Music");
}

} // namespace

class CommandLineTest : public QObject
{
    Q_OBJECT

private slots:
    void aFileIsTakenAsTheFileSystemSpellsIt_data()
    {
        QTest::addColumn<QByteArray>("argument");
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("absolute") << QByteArray("/srv/a b.mid") << QByteArray("/srv/a b.mid");
        QTest::newRow("relative") << QByteArray("loop.wav") << QByteArray("/home/me/Music/loop.wav");
        QTest::newRow("dot") << QByteArray("./loop.wav") << QByteArray("/home/me/Music/loop.wav");
        QTest::newRow("Latin-1 name") << QByteArray("/srv/caf\xe9.wav") << QByteArray("/srv/caf\xe9.wav");
        QTest::newRow("file URI") << QByteArray("file:///home/me/Music/a%20b.mid")
                                  << QByteArray("/home/me/Music/a b.mid");
        QTest::newRow("file URI, localhost")
            << QByteArray("file://localhost/srv/x.mp3") << QByteArray("/srv/x.mp3");
        QTest::newRow("file URI, Latin-1 bytes")
            << QByteArray("file:///srv/caf%E9.wav") << QByteArray("/srv/caf\xe9.wav");
        QTest::newRow("a name with a colon") << QByteArray("a:b.mid") << QByteArray("/home/me/Music/a:b.mid");
    }

    void aFileIsTakenAsTheFileSystemSpellsIt()
    {
        QFETCH(QByteArray, argument);
        QFETCH(QByteArray, file);
        const CommandLine line = parse({"--play", argument.constData()});
        QCOMPARE(line.action, CommandLine::Action::Run);
        QCOMPARE(line.file, file);
        QVERIFY(line.play);
    }

    void whatCannotBeTakenIsRefused_data()
    {
        QTest::addColumn<QByteArrayList>("arguments");
        QTest::addColumn<QString>("says");
        QTest::newRow("unknown option") << QByteArrayList{"--bogus"} << QStringLiteral("bogus");
        QTest::newRow("two files") << QByteArrayList{"a.mid", "b.mid"} << QStringLiteral("one FILE at most");
        QTest::newRow("https URI") << QByteArrayList{"https://example.org/a.mid"}
                                   << QStringLiteral("https://example.org/a.mid");
        QTest::newRow("another host")
            << QByteArrayList{"file://server/srv/a.mid"} << QStringLiteral("file://server/srv/a.mid");
        QTest::newRow("relative file URI") << QByteArrayList{"file:a.mid"} << QStringLiteral("file:a.mid");
    }

    void whatCannotBeTakenIsRefused()
    {
        QFETCH(QByteArrayList, arguments);
        QFETCH(QString, says);
        std::vector<const char*> argv;
        for (const QByteArray& argument : arguments)
            argv.push_back(argument.constData());
        const CommandLine line = parse(argv);
        QCOMPARE(line.action, CommandLine::Action::Refused);
        QVERIFY2(line.error.contains(says), qPrintable(line.error));
        QVERIFY(line.file.isEmpty());
    }

    void loopPointsAreAskedFor()
    {
        const char* const with[] = {"quillbeat", "--loop-points", "--play", "/srv/a.ogg"};
        const CommandLine asked = parseCommandLine(4, with, "/home/me");
        QVERIFY(asked.loopPoints && asked.play);
        QCOMPARE(asked.file, QByteArray("/srv/a.ogg"));
        const char* const without[] = {"quillbeat", "/srv/a.ogg"};
        QVERIFY(!parseCommandLine(2, without, "/home/me").loopPoints);
    }

    // --track names a track of FILE, 1 the first; anything else is refused.
    void aTrackIsAskedForWithItsFile()
    {
        QCOMPARE(parse({"--track", "3", "/srv/game.nsf"}).track, 3);
        QCOMPARE(parse({"/srv/game.nsf"}).track, 0);
        for (const char* wrong : {"0", "-1", "two", "03", ""})
            QCOMPARE(parse({"--track", wrong, "/srv/game.nsf"}).action, CommandLine::Action::Refused);
        const CommandLine alone = parse({"--track", "2"});
        QCOMPARE(alone.action, CommandLine::Action::Refused);
        QVERIFY2(alone.error.contains(QStringLiteral("no FILE")), qPrintable(alone.error));
    }

    // --find-loop is asked for with or without a file; --show-loop needs one and opens no window.
    void findingAndShowingTheLoop()
    {
        QVERIFY(parse({"--find-loop", "--play", "/srv/a.ogg"}).findLoop);
        QVERIFY(parse({"--find-loop"}).findLoop);
        QVERIFY(!parse({"/srv/a.ogg"}).findLoop);
        const CommandLine shown = parse({"--show-loop", "--loop-points", "--find-loop", "/srv/a.ogg"});
        QCOMPARE(shown.action, CommandLine::Action::ShowLoop);
        QVERIFY(shown.loopPoints && shown.findLoop);
        QCOMPARE(shown.file, QByteArray("/srv/a.ogg"));
        QCOMPARE(parse({"--show-loop"}).action, CommandLine::Action::Refused);
    }

    void helpAndVersionWin()
    {
        QCOMPARE(parse({"--play", "a.mid", "--help"}).action, CommandLine::Action::Help);
        QCOMPARE(parse({"-v"}).action, CommandLine::Action::Version);
        QVERIFY(qb::app::helpText().contains(QStringLiteral("--play")));
        const CommandLine bare = parse({});
        QCOMPARE(bare.action, CommandLine::Action::Run);
        QVERIFY(bare.file.isEmpty());
        QVERIFY(!bare.play);
    }
};

QTEST_APPLESS_MAIN(CommandLineTest)
#include "CommandLineTest.moc"
