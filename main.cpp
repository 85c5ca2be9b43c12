#include "app/Program.h"
#include "session/SingleWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char* const kVersion = QUILLBEAT_VERSION;

struct CommandLine
{
    QCommandLineParser parser;
    QCommandLineOption play{QStringLiteral("play"), QStringLiteral("Play FILE as soon as it is selected.")};
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("Show the version.")};

    CommandLine()
    {
        parser.setApplicationDescription(
            QStringLiteral("Quillbeat plays one MIDI, WAV, MP3, FLAC or Ogg file over and over, seamlessly.\n"
                           "With FILE, the file is selected as the Select command selects it; a running\n"
                           "Quillbeat window of this user takes it over instead."));
        parser.addOption(play);
        parser.addOption(help);
        parser.addOption(version);
        parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The sound file to select."),
                                     QStringLiteral("[FILE]"));
    }
};

// --help and --version answer before any window system is reached, so they work without a display.
// Returns the exit status when one of them was given.
std::optional<int> answerWithoutDisplay(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            break;
        if (arg == "--version" || arg == "-v") {
            std::printf("quillbeat %s\n", kVersion);
            return 0;
        }
        if (arg == "--help" || arg == "-h" || arg == "-?") {
            CommandLine line;
            QString text = line.parser.helpText();
            text.replace(QStringLiteral("<executable_name>"), QStringLiteral("quillbeat"));
            std::printf("%s", qPrintable(text));
            return 0;
        }
    }
    return std::nullopt;
}

// The command line's FILE as the file system spells it: Qt decodes arguments as UTF-8 and loses the
// bytes of a name that is not, so the matching raw argument is taken instead, made absolute.
QByteArray rawFileArgument(int argc, char* argv[], const QString& decoded)
{
    QByteArray raw = decoded.toLocal8Bit();
    for (int i = argc - 1; i >= 1; --i) {
        if (QString::fromLocal8Bit(argv[i]) == decoded) {
            raw = QByteArray(argv[i]);
            break;
        }
    }
    if (raw.startsWith('/'))
        return raw;
    std::vector<char> cwd(4096);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE)
            return raw;
        cwd.resize(cwd.size() * 2);
    }
    QByteArray folder(cwd.data());
    if (!folder.endsWith('/'))
        folder += '/';
    if (raw.startsWith("./"))
        raw.remove(0, 2);
    return folder + raw;
}

} // namespace

int main(int argc, char* argv[])
{
    if (const std::optional<int> status = answerWithoutDisplay(argc, argv))
        return *status;

    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QString::fromLatin1(kVersion));
    qb::app::Program::setUpApplication(app);

    CommandLine line;
    if (!line.parser.parse(QApplication::arguments())) {
        std::fprintf(stderr, "quillbeat: %s\n", qPrintable(line.parser.errorText()));
        return 2;
    }
    const QStringList files = line.parser.positionalArguments();
    if (files.size() > 1) {
        std::fprintf(stderr, "quillbeat: one FILE at most (try --help)\n");
        return 2;
    }
    qb::session::WindowRequest request;
    if (!files.isEmpty())
        request.file = rawFileArgument(argc, argv, files.front());
    request.play = line.parser.isSet(line.play);

    // One window per user: a later start hands its file to the running window and ends.
    qb::session::SingleWindow singleWindow;
    if (singleWindow.start(request) == qb::session::SingleWindow::Outcome::HandedOver)
        return 0;

    qb::app::Program program;
    // Requests are taken from the start: those that come while the tips are up wait for them.
    program.takeRequests(singleWindow);
    program.registerMediaControls(QDBusConnection::sessionBus());
    program.start(request.file, request.play);
    return app.exec();
}
