#pragma once

#include <QByteArray>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QApplication;
class QDBusConnection;

namespace qb::mci {
class MciApi;
class SoundModuleLoader;
} // namespace qb::mci
namespace qb::platform {
class FileDialogHost;
class MessageBoxPresenter;
class SettingsStore;
} // namespace qb::platform
namespace qb::session {
class SingleWindow;
}
namespace qb::ui {
class Form1;
}

namespace qb::app {

// The parts a caller may lend the program instead of its own: tests and benchmarks record the message
// boxes, answer the Select dialog, keep the settings in memory or play on an engine of their own. What
// is left null is the program's own: the sound module loaded at the first command, the toolkit's
// message box, the settings file, the modal open-file dialog. Lent parts must outlive the program.
struct Parts
{
    mci::MciApi* mci = nullptr;
    platform::MessageBoxPresenter* messages = nullptr;
    platform::SettingsStore* settings = nullptr;
    platform::FileDialogHost* dialogs = nullptr;
    // Where the program's own MCI service looks for the sound module; empty: where it is installed.
    std::vector<std::string> soundModulePaths;
    // The program's own MCI service, already started ahead of the window (HeadStart): the program sets
    // it up as it would its own. Ignored when `mci` is lent.
    mci::SoundModuleLoader* soundLoader = nullptr;
};

// The program's objects, wired in the one place that the program, its benchmarks and the window's
// tests all use: the main window over the MCI service, the message boxes, the settings and the Select
// dialog. With its own MCI service it also names the sound server's stream after what plays, takes the
// SoundFont from the settings at every MIDI file, and says in a message box why a SoundFont could not
// be read. UI thread only.
class Program
{
public:
    explicit Program(Parts parts = {});
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // What every window of the process shares: the application's names, the window font, and the
    // toolkit's own texts in Japanese with its dialogs keeping no state of their own. Call once, after
    // the application object is made and before the first window.
    static void setUpApplication(QApplication& app);

    ui::Form1& window();
    platform::SettingsStore& settings();
    platform::MessageBoxPresenter& messages();

    // Shows the main window where the window manager puts it. A start without `file` loads it first
    // (the tips then come up over it, unless the setting turns them off). A start with `file` (a path in
    // the system's code page) leaves the tips out, since the advice to select a file first does not
    // apply, and selects the file, playing it with `play`, once the window takes input.
    void start(const QByteArray& file = {}, bool play = false);
    // Opens `file` (a path in the system's code page), and plays it with `play`, as a request from
    // outside the window: once no modal window is up.
    void open(const QByteArray& file, bool play);
    // Takes the requests of later starts: the window comes to the front, and a file handed over is
    // opened (and plays with --play, or when the window was playing); one with --loop-points turns
    // loop points on, as playLoopPoints() does.
    void takeRequests(session::SingleWindow& singleWindow);
    // From now on a file that marks its own loop plays it (--loop-points), whatever the settings say;
    // without this, LoopPoints=1 under [Settings] decides at each open.
    void playLoopPoints();
    bool loopPointsWanted() const;
    // From now on a file that plays no loop of its own has the loop it repeats looked for, and plays it
    // once found (--find-loop); without this, FindLoop=1 under [Settings] decides at each open.
    void findLoops();
    bool findLoopWanted() const;
    // The track of `file` (a path in the system's code page) to play from now on, 1 the first; 0 (none
    // named) is the first as well. A request handed over with a file chooses its track the same way.
    void chooseTrack(const QByteArray& file, int track);
    // The track (0 the first) chosen for the file at `path`, whatever form of its path names it.
    int trackWanted(const std::string& path) const;
    // Offers the desktop's media controls on `bus`. False when the bus refused the name.
    bool registerMediaControls(const QDBusConnection& bus);
    // Keeps the computer from suspending for idleness while the window plays, through logind on the
    // bus `systemBus` gives at the first Play (see session::SleepInhibitor).
    void keepAwakeWhilePlaying(std::function<QDBusConnection()> systemBus);

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace qb::app
