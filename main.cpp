#include "app/CommandLine.h"
#include "app/HeadStart.h"
#include "app/ShowLoop.h"
#include "app/WindowStart.h"
#include "posix/ProgramModules.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

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

// The window module's entry, from where the installed program keeps it or, in the build folder,
// beside the program. Null, with the reason on standard error, when it is missing, cannot be loaded or
// comes from another build.
qb::app::RunWindow loadWindow()
{
    const std::vector<std::string> paths = qb::posix::programModulePaths(qb::app::kWindowModuleFileName);
    const auto found = std::find_if(paths.begin(), paths.end(), [](const std::string& path) {
        return ::access(path.c_str(), F_OK) == 0;
    });
    const std::string& path = found != paths.end() ? *found : paths.front();
    // Never closed: the program ends with the window.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* why = ::dlerror();
        std::fprintf(stderr, "quillbeat: the window module %s cannot be loaded (%s); reinstall Quillbeat\n",
                     path.c_str(), why ? why : "missing");
        return nullptr;
    }
    const auto build =
        reinterpret_cast<qb::app::WindowModuleBuild>(::dlsym(module, qb::app::kWindowModuleBuildSymbol));
    const char* moduleBuild = build ? build() : nullptr;
    const auto run = reinterpret_cast<qb::app::RunWindow>(::dlsym(module, qb::app::kRunWindowSymbol));
    if (moduleBuild == nullptr || std::strcmp(moduleBuild, QUILLBEAT_WINDOW_BUILD) != 0 || run == nullptr) {
        std::fprintf(stderr,
                     "quillbeat: the window module %s is not of this build (%s, the program %s); "
                     "reinstall Quillbeat\n",
                     path.c_str(), moduleBuild ? moduleBuild : "none named", QUILLBEAT_WINDOW_BUILD);
        return nullptr;
    }
    return run;
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

    // The sound starts first; the window's libraries are loaded and the window made beside it.
    qb::app::HeadStart headStart(line);
    headStart.awaitSoundModule();
    const qb::app::RunWindow runWindow = loadWindow();
    if (runWindow == nullptr) {
        headStart.handOver(); // no window: nothing plays
        return 1;
    }
    qb::app::WindowStart start;
    start.argc = &argc;
    start.argv = argv;
    start.line = &line;
    start.headStart = &headStart;
    start.version = kVersion;
    start.startupId = startupId;
    start.activationToken = activationToken;
    return runWindow(&start);
}
