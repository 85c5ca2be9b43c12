#pragma once

#include "session/SingleWindow.h"
#include "sound/SoundStack.h"

#include <QString>
#include <cstdint>
#include <functional>

namespace qb::ui {
class Form1;
}

namespace qb::session {

// Runs `action` on the UI thread as soon as the main window takes input: at once (but never inside
// the caller) when no modal window is up, else once Select's dialog, a message box or the start-up
// tips (from their Form_Load on, before they are even up) have closed. Actions keep their order.
// Requests from outside the window (a later start, the desktop's media keys) go through here, so they
// never run inside a dialog's own event loop.
void whenWindowFree(ui::Form1& form, std::function<void()> action);

// Selects `path` (absolute) as Select does and, when `play` is set, plays it as Play does. A file
// that does not open leaves the window as after a failed Select and the program's message box names
// it, unless the sound stack has already said why in a box of its own (Playback::openRefusalTold(),
// Playback::openFailureTold()). Returns whether the file opened.
bool openRequestedFile(ui::Form1& form, const QString& path, bool play);

// Takes a request from outside the window (a later start, the media controls' OpenUri): the window (or
// the modal window in front of it) comes to the front, and a file is opened once the window is free,
// playing when the request asks for it or when the window was playing.
void takeRequest(ui::Form1& form, const WindowRequest& request);

// Shows the window, restored from the task bar, in front and with the input focus where the window
// manager allows it.
void raiseWindow(ui::Form1& form);

// The message box text for a MIDI file refused because `soundFont` cannot be loaded: names the
// SoundFont and says what is wrong with it and how to set
// another in `settingsFile`; when the distribution's default SoundFont (`isDefault`) is missing, the
// Debian packages that give it.
QString soundFontMessage(const QString& soundFont, mci::SoundFontProblem problem, bool isDefault,
                         const QString& settingsFile);

// The message box text for a valid file refused as too large for this machine: names the file, the
// limit (`limit`, bytes) and what the file has or needs (`amount`, bytes).
QString tooLargeMessage(const QString& file, mci::FileLimitKind kind, std::uint64_t amount,
                        std::uint64_t limit);

// The title the desktop shows for the open file: the MIDI title when it has one, else the file's
// name as the window shows it (platform::readablePath); empty when no file is open.
QString currentTitle(const ui::Form1& form);

} // namespace qb::session
