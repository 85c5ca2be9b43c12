#pragma once

#include <QByteArray>
#include <QString>
#include <string>
#include <vector>

namespace qb::platform {
class SettingsStore;
}

namespace qb::app {

// What `quillbeat --show-loop FILE` does, without a window or a display: opens `file` (a path in the
// system's code page) on the sound module, with a silent output, as the window would open it (the
// settings' SoundFont, loop points and loop finding, or `loopPoints` and `findLoop` from the command
// line, and `track`, 1 the first, 0 none named), waits for a loop search to end, and returns the line
// to print: "loop START END RATE SOURCE" (frames at the file's own rate; SOURCE marks, found or
// whole). Empty, with the reason in `error`, when the file cannot be opened. `settings` null: the
// user's settings file. `modulePaths` as mci::SoundModuleLoader takes them (empty: where the program
// is installed).
QString showLoop(const QByteArray& file, bool loopPoints, bool findLoop, int track, QString* error,
                 const platform::SettingsStore* settings = nullptr,
                 std::vector<std::string> modulePaths = {});

} // namespace qb::app
