#include "app/CommandLine.h"
#include "app/HeadStart.h"
#include "app/Program.h"
#include "app/ShowLoop.h"
#include "session/SingleWindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

const char* const kVersion = QUILLBEAT_VERSION;

bool isSet(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Why the window could not be shown, when that is plain before the toolkit tries: no platform named
// and no display to reach.
std::optional<const char*> noDisplay()
{
    if (isSet("QT_QPA_PLATFORM") || isSet("DISPLAY") || isSet("WAYLAND_DISPLAY"))
        return std::nullopt;
    return "no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY is set)";
}

// While the toolkit reaches the display: a display it cannot open ends the program with a message and
// status 1, instead of the toolkit's abort.
void endOnFatalMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        return;
    }
    std::fprintf(stderr, "quillbeat: cannot show the window: the display cannot be opened\n");
    std::fflush(stderr);
    std::_Exit(1);
}

} // namespace

int main(int argc, char* argv[])
{
    // The command line is read before any window system is reached: --help, --version and mistakes
    // are answered without a display, in English like every other message here.
    const qb::app::CommandLine line = qb::app::parseCommandLine(argc, argv);
    switch (line.action) {
    case qb::app::CommandLine::Action::Help:
        std::printf("%s", qPrintable(qb::app::helpText()));
        return 0;
    case qb::app::CommandLine::Action::Version:
        std::printf("quillbeat %s\n", kVersion);
        return 0;
    case qb::app::CommandLine::Action::Refused:
        std::fprintf(stderr, "quillbeat: %s\n", qPrintable(line.error));
        return 2;
    case qb::app::CommandLine::Action::ShowLoop: {
        // No window, no display: the settings and the sound module only.
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Quillbeat"));
        QString error;
        const QString loop = qb::app::showLoop(line.file, line.loopPoints, line.findLoop, line.track, &error);
        if (loop.isEmpty()) {
            std::fprintf(stderr, "quillbeat: %s\n", qPrintable(error));
            return 1;
        }
        std::printf("%s\n", qPrintable(loop));
        return 0;
    }
    case qb::app::CommandLine::Action::Run:
        break;
    }
    if (const std::optional<const char*> why = noDisplay()) {
        std::fprintf(stderr, "quillbeat: %s\n", *why);
        return 1;
    }
    // The desktop's launch of this start, read before the toolkit takes it for a window of its own:
    // handed over, the running window answers for it.
    const QByteArray startupId = qgetenv("DESKTOP_STARTUP_ID");
    const QByteArray activationToken = qgetenv("XDG_ACTIVATION_TOKEN");

    // The sound starts while the toolkit and the window are made.
    qb::app::HeadStart headStart(line);

    const QtMessageHandler toolkitHandler = qInstallMessageHandler(endOnFatalMessage);
    QApplication app(argc, argv);
    qInstallMessageHandler(toolkitHandler);
    QApplication::setApplicationVersion(QString::fromLatin1(kVersion));
    qb::app::Program::setUpApplication(app);

    qb::session::WindowRequest request;
    request.file = line.file;
    request.play = line.play;
    request.startupId = startupId;
    request.activationToken = activationToken;
    request.loopPoints = line.loopPoints;
    request.track = line.track;
    request.findLoop = line.findLoop;

    // One window per user: a later start hands its file to the running window and ends.
    qb::session::SingleWindow singleWindow;
    switch (singleWindow.start(request)) {
    case qb::session::SingleWindow::Outcome::HandedOver:
        headStart.handOver();
        return 0;
    case qb::session::SingleWindow::Outcome::Refused:
        headStart.handOver();
        std::fprintf(stderr, "quillbeat: the running Quillbeat window did not take the request\n");
        return 1;
    case qb::session::SingleWindow::Outcome::Listening:
    case qb::session::SingleWindow::Outcome::Alone:
        break;
    }
    headStart.keep();

    qb::app::Parts parts;
    parts.soundLoader = headStart.loader();
    qb::app::Program program(std::move(parts));
    if (line.loopPoints)
        program.playLoopPoints();
    if (line.findLoop)
        program.findLoops();
    if (!request.file.isEmpty())
        program.chooseTrack(request.file, request.track);
    // Requests are taken from the start: those that come while the tips are up wait for them.
    program.takeRequests(singleWindow);
    program.registerMediaControls(QDBusConnection::sessionBus());
    program.keepAwakeWhilePlaying([] { return QDBusConnection::systemBus(); });
    program.start(request.file, request.play);
    return app.exec();
}
