#pragma once

#include <QByteArray>

namespace qb::app {

struct CommandLine;
class HeadStart;

// The window is a module of its own (libquillbeat-window.so), which the program loads once a start
// with a file has begun its sound: the toolkit's libraries for the window (Qt Widgets, Gui, D-Bus and
// the display's) are then loaded beside the sound module's, not before the program's first line runs.
// What the program hands it: its arguments, its command line read, the head start, and the desktop's
// launch of this start as read before the toolkit takes it.
struct WindowStart
{
    int* argc = nullptr;
    char** argv = nullptr;
    const CommandLine* line = nullptr;
    HeadStart* headStart = nullptr;
    const char* version = "";
    QByteArray startupId;
    QByteArray activationToken;
};

// Makes the toolkit, the window (or hands the file to the running one) and runs until it closes; the
// program's exit status.
int runWindow(WindowStart& start);

// The module's file name and entry points; the program calls runWindow() through them once the module
// names the program's own build.
inline constexpr char kWindowModuleFileName[] = "libquillbeat-window.so";
inline constexpr char kWindowModuleBuildSymbol[] = "quillbeat_window_module_build";
inline constexpr char kRunWindowSymbol[] = "quillbeat_run_window";
using WindowModuleBuild = const char* (*)();
using RunWindow = int (*)(WindowStart*);

} // namespace qb::app
