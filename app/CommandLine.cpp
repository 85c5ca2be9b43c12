#include "app/CommandLine.h"

#include "system/FileUri.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <QStringList>
#include <cerrno>
#include <optional>
#include <unistd.h>
#include <vector>

namespace qb::app {

namespace {

struct Options
{
    QCommandLineParser parser;
    QCommandLineOption play{QStringLiteral("play"), QStringLiteral("Play FILE as soon as it is selected.")};
    QCommandLineOption loopPoints{
        QStringLiteral("loop-points"),
        QStringLiteral("Play the loop a file marks for itself: its introduction once, "
                       "then its loop for ever (as LoopPoints=1 in the settings).")};
    QCommandLineOption findLoop{
        QStringLiteral("find-loop"),
        QStringLiteral("Look for the loop a file repeats (its introduction, then a section played again) "
                       "while it plays, and play it once found (as FindLoop=1 in the settings).")};
    QCommandLineOption showLoop{QStringLiteral("show-loop"),
                                QStringLiteral("Print the loop FILE would play and exit, without a window: "
                                               "\"loop START END RATE SOURCE\", frames at the file's own "
                                               "rate, SOURCE marks, found or whole.")};
    QCommandLineOption track{QStringLiteral("track"),
                             QStringLiteral("Play track N of FILE (1 is the first), for a game-music file "
                                            "that holds several (NSF, GBS, HES, KSS...)."),
                             QStringLiteral("N")};
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("Show the version.")};

    Options()
    {
        parser.setApplicationDescription(QStringLiteral(
            "Quillbeat plays one MIDI, WAV, MP3, FLAC, Ogg or Opus file over and over, seamlessly.\n"
            "With FILE, the file is selected as the Select command selects it; a running\n"
            "Quillbeat window of this user takes it over instead. FILE may be a file:// URI."));
        parser.addOption(play);
        parser.addOption(loopPoints);
        parser.addOption(findLoop);
        parser.addOption(showLoop);
        parser.addOption(track);
        parser.addOption(help);
        parser.addOption(version);
        parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The sound file to select."),
                                     QStringLiteral("[FILE]"));
    }
};

QByteArray currentFolder()
{
    std::vector<char> cwd(4096);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE)
            return {};
        cwd.resize(cwd.size() * 2);
    }
    return QByteArray(cwd.data());
}

// The raw argument that decodes to `decoded`: Qt decodes arguments as UTF-8 and loses the bytes of a
// name that is not, so the file is taken from argv itself.
QByteArray rawArgument(int argc, const char* const argv[], const QString& decoded)
{
    for (int i = argc - 1; i >= 1; --i) {
        if (QString::fromLocal8Bit(argv[i]) == decoded)
            return QByteArray(argv[i]);
    }
    return decoded.toLocal8Bit();
}

} // namespace

CommandLine parseCommandLine(int argc, const char* const argv[], const QByteArray& workingFolder)
{
    CommandLine line;
    const auto refuse = [&line](const QString& error) {
        line.action = CommandLine::Action::Refused;
        line.error = error;
        return line;
    };
    QStringList arguments{QStringLiteral("quillbeat")};
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    Options options;
    if (!options.parser.parse(arguments))
        return refuse(options.parser.errorText() + QStringLiteral(" (try --help)"));
    if (options.parser.isSet(options.help)) {
        line.action = CommandLine::Action::Help;
        return line;
    }
    if (options.parser.isSet(options.version)) {
        line.action = CommandLine::Action::Version;
        return line;
    }
    line.play = options.parser.isSet(options.play);
    line.loopPoints = options.parser.isSet(options.loopPoints);
    line.findLoop = options.parser.isSet(options.findLoop);
    const QStringList files = options.parser.positionalArguments();
    if (files.size() > 1)
        return refuse(QStringLiteral("one FILE at most (try --help)"));
    if (options.parser.isSet(options.track)) {
        const QString value = options.parser.value(options.track);
        bool number = false;
        line.track = value.toInt(&number);
        if (!number || line.track < 1 || value != QString::number(line.track))
            return refuse(QStringLiteral("--track takes the number of a track, 1 or more: %1").arg(value));
        if (files.isEmpty())
            return refuse(QStringLiteral("--track names a track of FILE, and no FILE is given (try --help)"));
    }
    if (options.parser.isSet(options.showLoop)) {
        if (files.isEmpty())
            return refuse(QStringLiteral("--show-loop needs FILE (try --help)"));
        line.action = CommandLine::Action::ShowLoop;
    }
    if (files.isEmpty())
        return line;

    QByteArray file = rawArgument(argc, argv, files.front());
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    if (file.startsWith("file:")) {
        const std::optional<QByteArray> local = platform::localFileOfUri(file);
        if (!local)
            return refuse(QStringLiteral("not a file on this computer: %1").arg(files.front()));
        file = *local;
    } else if (file.contains("://") && scheme.match(files.front()).hasMatch()) {
        return refuse(QStringLiteral("only files on this computer can be played, not %1").arg(files.front()));
    }
    if (!file.startsWith('/')) {
        QByteArray folder = workingFolder.isEmpty() ? currentFolder() : workingFolder;
        if (!folder.endsWith('/'))
            folder += '/';
        if (file.startsWith("./"))
            file.remove(0, 2);
        file = folder + file;
    }
    line.file = file;
    return line;
}

QString helpText()
{
    Options options;
    QString text = options.parser.helpText();
    text.replace(QStringLiteral("<executable_name>"), QStringLiteral("quillbeat"));
    return text;
}

} // namespace qb::app
