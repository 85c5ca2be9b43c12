// The MCI command parser on its own: verbs, keywords, quoting, case and every error it reports.
#include "sound/mci/MciCommand.h"

#include "sound/MciErrors.h"

#include <QTest>

using namespace qb::mci;

namespace {

// A compact description of a parsed command, so a table row can state the whole expected result.
QString describe(const ParsedCommand& c)
{
    static const char* const verbs[] = {"open", "play",   "stop",  "pause",   "resume",
                                        "seek", "status", "close", "setaudio"};
    QStringList parts;
    parts << QString::fromLatin1(verbs[static_cast<int>(c.verb)]);
    parts << QStringLiteral("[%1]").arg(QString::fromStdString(c.device));
    if (c.all)
        parts << QStringLiteral("all");
    if (c.type)
        parts << QStringLiteral("type=%1").arg(QString::fromStdString(*c.type));
    if (c.alias)
        parts << QStringLiteral("alias=%1").arg(QString::fromStdString(*c.alias));
    if (c.shareable)
        parts << QStringLiteral("shareable");
    if (c.fromMs)
        parts << QStringLiteral("from=%1").arg(*c.fromMs);
    if (c.toMs)
        parts << QStringLiteral("to=%1").arg(*c.toMs);
    if (c.seekTarget) {
        switch (*c.seekTarget) {
        case SeekTarget::Start:
            parts << QStringLiteral("seek=start");
            break;
        case SeekTarget::End:
            parts << QStringLiteral("seek=end");
            break;
        case SeekTarget::Position:
            parts << QStringLiteral("seek=%1").arg(c.seekMs);
            break;
        }
    }
    if (c.statusItem) {
        static const char* const items[] = {"mode", "length", "position", "ready", "volume"};
        parts << QStringLiteral("status=%1").arg(QString::fromLatin1(items[static_cast<int>(*c.statusItem)]));
    }
    if (c.volume)
        parts << QStringLiteral("volume=%1").arg(*c.volume);
    if (c.notify)
        parts << QStringLiteral("notify");
    if (c.wait)
        parts << QStringLiteral("wait");
    return parts.join(QLatin1Char(' '));
}

} // namespace

class MciCommandTest : public QObject
{
    Q_OBJECT

private slots:
    void accepted_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QString>("expected");

        // The commands the player itself sends.
        QTest::newRow("player open") << QByteArray("open /home/u/music/song.mid alias midi")
                                     << "open [/home/u/music/song.mid] alias=midi";
        QTest::newRow("player play") << QByteArray("play midi notify") << "play [midi] notify";
        QTest::newRow("player status") << QByteArray("status midi mode") << "status [midi] status=mode";
        QTest::newRow("player seek") << QByteArray("seek midi to start") << "seek [midi] seek=start";
        QTest::newRow("player stop") << QByteArray("stop midi") << "stop [midi]";
        QTest::newRow("player close") << QByteArray("close midi") << "close [midi]";

        QTest::newRow("open all keywords")
            << QByteArray("open a.wav type waveaudio alias x shareable wait notify")
            << "open [a.wav] type=waveaudio alias=x shareable notify wait";
        QTest::newRow("open keywords any order")
            << QByteArray("open a.wav alias x type sequencer") << "open [a.wav] type=sequencer alias=x";
        QTest::newRow("open element is never a keyword")
            << QByteArray("open alias alias type") << "open [alias] alias=type";
        QTest::newRow("open element named all") << QByteArray("open all") << "open [all]";
        QTest::newRow("quoted element")
            << QByteArray("open \"/tmp/a b/c d.wav\" alias m") << "open [/tmp/a b/c d.wav] alias=m";
        QTest::newRow("quoted element with keywords inside")
            << QByteArray("open \"/x/song alias x type y.mid\" alias midi")
            << "open [/x/song alias x type y.mid] alias=midi";
        QTest::newRow("quoted alias")
            << QByteArray("open a.mid alias \"my dev\"") << "open [a.mid] alias=my dev";
        QTest::newRow("quoted device") << QByteArray("play \"my dev\" wait") << "play [my dev] wait";
        QTest::newRow("single quote is plain") << QByteArray("open it's.wav") << "open [it's.wav]";
        QTest::newRow("japanese element") << QByteArray("open /曲/夜明け.mid alias midi")
                                          << QString::fromUtf8("open [/曲/夜明け.mid] alias=midi");
        QTest::newRow("blanks everywhere")
            << QByteArray("  \tplay\t midi \r\n from  10\n") << "play [midi] from=10";

        QTest::newRow("upper-case verb and keywords")
            << QByteArray("PLAY Midi FROM 5 TO 9 NOTIFY") << "play [Midi] from=5 to=9 notify";
        QTest::newRow("mixed-case open")
            << QByteArray("Open A.WAV Type WaveAudio Alias M") << "open [A.WAV] type=WaveAudio alias=M";
        QTest::newRow("play from to")
            << QByteArray("play midi from 0 to 4294967295") << "play [midi] from=0 to=4294967295";
        QTest::newRow("play bare") << QByteArray("play midi") << "play [midi]";
        QTest::newRow("pause") << QByteArray("pause midi wait") << "pause [midi] wait";
        QTest::newRow("resume") << QByteArray("resume midi notify") << "resume [midi] notify";
        QTest::newRow("seek end") << QByteArray("SEEK midi TO END") << "seek [midi] seek=end";
        QTest::newRow("seek position")
            << QByteArray("seek midi to 1500 wait") << "seek [midi] seek=1500 wait";
        QTest::newRow("status length") << QByteArray("status midi length") << "status [midi] status=length";
        QTest::newRow("status position")
            << QByteArray("status midi POSITION") << "status [midi] status=position";
        QTest::newRow("status ready")
            << QByteArray("status midi ready wait") << "status [midi] status=ready wait";
        QTest::newRow("status volume") << QByteArray("status midi Volume") << "status [midi] status=volume";
        // The range is the device's to judge: the parser takes any 32-bit number.
        QTest::newRow("setaudio volume")
            << QByteArray("SetAudio midi VOLUME to 1001 wait") << "setaudio [midi] volume=1001 wait";
        QTest::newRow("close all") << QByteArray("close all") << "close [all] all";
        QTest::newRow("close ALL") << QByteArray("close ALL wait") << "close [ALL] all wait";
        QTest::newRow("stop all") << QByteArray("stop all") << "stop [all] all";
    }

    void accepted()
    {
        QFETCH(QByteArray, command);
        QFETCH(QString, expected);
        const MciParseResult result = parseMciCommand(command.toStdString());
        QCOMPARE(result.error, MCIERROR(0));
        QCOMPARE(describe(result.command), expected);
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<MCIERROR>("error");

        QTest::newRow("empty") << QByteArray("") << MCIERR_MISSING_COMMAND_STRING;
        QTest::newRow("blanks only") << QByteArray(" \t \n") << MCIERR_MISSING_COMMAND_STRING;
        QTest::newRow("unknown verb") << QByteArray("rewind midi") << MCIERR_UNRECOGNIZED_COMMAND;
        QTest::newRow("verb glued to device") << QByteArray("playmidi") << MCIERR_UNRECOGNIZED_COMMAND;
        QTest::newRow("quoted verb is still a verb") << QByteArray("\"play\"") << MCIERR_MISSING_DEVICE_NAME;
        QTest::newRow("no device") << QByteArray("play") << MCIERR_MISSING_DEVICE_NAME;
        QTest::newRow("open without element") << QByteArray("open  ") << MCIERR_MISSING_DEVICE_NAME;
        QTest::newRow("empty quoted device") << QByteArray("close \"\"") << MCIERR_MISSING_DEVICE_NAME;
        // What the player sends when the short path came back empty.
        QTest::newRow("open with empty path")
            << QByteArray("open  alias midi") << MCIERR_UNRECOGNIZED_KEYWORD;
        QTest::newRow("unknown keyword") << QByteArray("play midi loudly") << MCIERR_UNRECOGNIZED_KEYWORD;
        QTest::newRow("keyword of another verb")
            << QByteArray("stop midi from 0") << MCIERR_UNRECOGNIZED_KEYWORD;
        QTest::newRow("alias on play") << QByteArray("play midi alias x") << MCIERR_UNRECOGNIZED_KEYWORD;
        QTest::newRow("unknown status item")
            << QByteArray("status midi treble") << MCIERR_UNRECOGNIZED_KEYWORD;
        QTest::newRow("setaudio without setting") << QByteArray("setaudio midi") << MCIERR_MISSING_PARAMETER;
        QTest::newRow("setaudio volume without to")
            << QByteArray("setaudio midi volume 500") << MCIERR_MISSING_PARAMETER;
        QTest::newRow("setaudio volume to nothing")
            << QByteArray("setaudio midi volume to") << MCIERR_MISSING_PARAMETER;
        QTest::newRow("setaudio volume to word")
            << QByteArray("setaudio midi volume to loud") << MCIERR_BAD_INTEGER;
        QTest::newRow("setaudio volume twice")
            << QByteArray("setaudio midi volume to 1 volume to 2") << MCIERR_DUPLICATE_FLAGS;
        QTest::newRow("setaudio other setting")
            << QByteArray("setaudio midi treble to 5") << MCIERR_UNRECOGNIZED_KEYWORD;
        QTest::newRow("unclosed quote")
            << QByteArray("open \"/a b.wav alias midi") << MCIERR_NO_CLOSING_QUOTE;
        QTest::newRow("text after closing quote")
            << QByteArray("open \"a b\".wav") << MCIERR_EXTRA_CHARACTERS;
        QTest::newRow("alias without name")
            << QByteArray("open a.wav alias") << MCIERR_MISSING_STRING_ARGUMENT;
        QTest::newRow("alias with empty name")
            << QByteArray("open a.wav alias \"\"") << MCIERR_MISSING_STRING_ARGUMENT;
        QTest::newRow("type without name") << QByteArray("open a.wav type") << MCIERR_MISSING_STRING_ARGUMENT;
        QTest::newRow("from without number") << QByteArray("play midi from") << MCIERR_MISSING_PARAMETER;
        QTest::newRow("from word") << QByteArray("play midi from start") << MCIERR_BAD_INTEGER;
        QTest::newRow("negative") << QByteArray("play midi from -1") << MCIERR_BAD_INTEGER;
        QTest::newRow("signed") << QByteArray("play midi to +5") << MCIERR_BAD_INTEGER;
        QTest::newRow("fraction") << QByteArray("seek midi to 1.5") << MCIERR_BAD_INTEGER;
        QTest::newRow("too big") << QByteArray("play midi to 4294967296") << MCIERR_BAD_INTEGER;
        QTest::newRow("way too big") << QByteArray("play midi to 99999999999999999999999")
                                     << MCIERR_BAD_INTEGER;
        QTest::newRow("seek without to") << QByteArray("seek midi") << MCIERR_MISSING_PARAMETER;
        QTest::newRow("seek to nothing") << QByteArray("seek midi to") << MCIERR_MISSING_PARAMETER;
        QTest::newRow("seek to word") << QByteArray("seek midi to middle") << MCIERR_BAD_INTEGER;
        QTest::newRow("seek twice") << QByteArray("seek midi to start to end") << MCIERR_DUPLICATE_FLAGS;
        QTest::newRow("status without item") << QByteArray("status midi") << MCIERR_MISSING_PARAMETER;
        QTest::newRow("status only flags") << QByteArray("status midi wait") << MCIERR_MISSING_PARAMETER;
        QTest::newRow("status two items")
            << QByteArray("status midi mode length") << MCIERR_FLAGS_NOT_COMPATIBLE;
        QTest::newRow("status same item twice")
            << QByteArray("status midi mode MODE") << MCIERR_DUPLICATE_FLAGS;
        QTest::newRow("notify twice") << QByteArray("play midi notify Notify") << MCIERR_DUPLICATE_FLAGS;
        QTest::newRow("alias twice") << QByteArray("open a.wav alias x alias y") << MCIERR_DUPLICATE_FLAGS;
        QTest::newRow("from twice") << QByteArray("play midi from 1 from 2") << MCIERR_DUPLICATE_FLAGS;
    }

    void refused()
    {
        QFETCH(QByteArray, command);
        QFETCH(MCIERROR, error);
        QCOMPARE(parseMciCommand(command.toStdString()).error, error);
    }

    // A NUL-free command cut anywhere must give an answer, never run off the end of the text.
    void everyPrefixParses()
    {
        const std::string full = "open \"/a b/c.mid\" type sequencer alias \"m x\" shareable notify wait";
        for (std::size_t n = 0; n <= full.size(); ++n) {
            const MciParseResult r = parseMciCommand(std::string_view(full).substr(0, n));
            if (r.ok())
                QCOMPARE(r.command.verb, MciVerb::Open);
        }
        QVERIFY(parseMciCommand(full).ok());
    }

    void errorValues()
    {
        // The published values, so codes reported here mean the same as in any MCI documentation.
        QCOMPARE(MCIERR_BASE, 256u);
        QCOMPARE(MCIERR_INVALID_DEVICE_ID, 257u);
        QCOMPARE(MCIERR_UNRECOGNIZED_KEYWORD, 259u);
        QCOMPARE(MCIERR_UNRECOGNIZED_COMMAND, 261u);
        QCOMPARE(MCIERR_HARDWARE, 262u);
        QCOMPARE(MCIERR_INVALID_DEVICE_NAME, 263u);
        QCOMPARE(MCIERR_OUT_OF_MEMORY, 264u);
        QCOMPARE(MCIERR_DEVICE_OPEN, 265u);
        QCOMPARE(MCIERR_CANNOT_LOAD_DRIVER, 266u);
        QCOMPARE(MCIERR_MISSING_COMMAND_STRING, 267u);
        QCOMPARE(MCIERR_PARAM_OVERFLOW, 268u);
        QCOMPARE(MCIERR_MISSING_STRING_ARGUMENT, 269u);
        QCOMPARE(MCIERR_BAD_INTEGER, 270u);
        QCOMPARE(MCIERR_MISSING_PARAMETER, 273u);
        QCOMPARE(MCIERR_UNSUPPORTED_FUNCTION, 274u);
        QCOMPARE(MCIERR_FILE_NOT_FOUND, 275u);
        QCOMPARE(MCIERR_DEVICE_NOT_READY, 276u);
        QCOMPARE(MCIERR_INTERNAL, 277u);
        QCOMPARE(MCIERR_CANNOT_USE_ALL, 279u);
        QCOMPARE(MCIERR_EXTENSION_NOT_FOUND, 281u);
        QCOMPARE(MCIERR_OUTOFRANGE, 282u);
        QCOMPARE(MCIERR_FLAGS_NOT_COMPATIBLE, 284u);
        QCOMPARE(MCIERR_DUPLICATE_ALIAS, 289u);
        QCOMPARE(MCIERR_MISSING_DEVICE_NAME, 292u);
        QCOMPARE(MCIERR_NO_CLOSING_QUOTE, 294u);
        QCOMPARE(MCIERR_DUPLICATE_FLAGS, 295u);
        QCOMPARE(MCIERR_INVALID_FILE, 296u);
        QCOMPARE(MCIERR_EXTRA_CHARACTERS, 305u);
        QCOMPARE(MCIERR_DEVICE_NOT_INSTALLED, 306u);
        QCOMPARE(MCIERR_FILE_READ, 348u);
    }
};

QTEST_GUILESS_MAIN(MciCommandTest)
#include "MciCommandTest.moc"
