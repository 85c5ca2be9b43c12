#include "app/CommandLine.h"
#include "app/HeadStart.h"
#include "app/Program.h"
#include "app/WindowStart.h"
#include "session/SingleWindow.h"

#include <QApplication>
#include <QDBusConnection>
#include <cstdio>
#include <cstdlib>

namespace qb::app {

namespace {

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

int runWindow(WindowStart& start)
{
    const CommandLine& line = *start.line;
    // One window per user, decided before the toolkit is made: a later start hands its file to the
    // running window and ends, and the one that keeps its window lets its sound go at once.
    session::WindowRequest request;
    request.file = line.file;
    request.play = line.play;
    request.startupId = start.startupId;
    request.activationToken = start.activationToken;
    request.loopPoints = line.loopPoints;
    request.track = line.track;
    request.findLoop = line.findLoop;

    session::SingleWindow singleWindow;
    switch (singleWindow.start(request)) {
    case session::SingleWindow::Outcome::HandedOver:
        start.headStart->handOver();
        return 0;
    case session::SingleWindow::Outcome::Refused:
        start.headStart->handOver();
        std::fprintf(stderr, "quillbeat: the running Quillbeat window did not take the request\n");
        return 1;
    case session::SingleWindow::Outcome::Listening:
    case session::SingleWindow::Outcome::Alone:
        break;
    }
    start.headStart->keep();

    const QtMessageHandler toolkitHandler = qInstallMessageHandler(endOnFatalMessage);
    QApplication app(*start.argc, start.argv);
    qInstallMessageHandler(toolkitHandler);
    QApplication::setApplicationVersion(QString::fromLatin1(start.version));
    Program::setUpApplication(app);

    Parts parts;
    parts.soundLoader = start.headStart->loader();
    Program program(std::move(parts));
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

} // namespace qb::app
