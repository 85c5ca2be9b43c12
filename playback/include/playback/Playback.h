#pragma once

#include "media/MidiHeader.h"
#include "playback/PlaybackState.h"

#include <QString>
#include <functional>
#include <string>

namespace qb::mci {
class MciApi;
}
namespace qb::platform {
class FileDialogHost;
}

namespace qb::playback {

class PlayerView;

// Play, Stop, the endless-loop monitor, Select and unload: the main window's handlers that drive the
// one file open under the MCI alias "midi". UI thread only.
class Playback
{
public:
    // Reads a MIDI file's header, beside the window (on a thread of its own, which may be given up): it
    // must own what it uses. Tests lend a double.
    using HeaderReader = std::function<media::MidiHeaderInfo(const QString& path)>;

    // `dialogs` shows the Select dialog; `readHeader` reads the header of a MIDI file that opened (by
    // default for showing: a title written in UTF-8 reads as such, not as code page 932 garbage).
    Playback(PlaybackState& state, PlayerView& view, mci::MciApi& mci, platform::FileDialogHost& dialogs,
             HeaderReader readHeader = readableHeader);
    static media::MidiHeaderInfo readableHeader(const QString& path);

    // The commands that open the file at `path` under "midi" (by its short path, as OpenMediaFile()
    // does), play it, and close it.
    static std::string openCommand(const QString& path);
    static const char* playCommand();
    static const char* closeCommand();

    // Play: "play midi notify"; on success the status line reads "Play     " + FilePath and the
    // animation starts; on refusal the program's message box asks the user to select a file.
    void Command1_Click();
    // Stop: "stop midi" (the service reports its own error), status line, animation off, still picture.
    void Command2_Click();
    // Select: the open-file dialog, then release the old file, open the new one and show what it is.
    void Command3_Click();
    // Select without the dialog, for a file named on the command line, dropped on the window or handed
    // over by a second start: the window shows the prompt as Select does while its dialog is up, then
    // `path` is selected exactly as a confirmed dialog selects it. False when the file did not open;
    // the window is then as after a failed Select (nothing open, nothing playing).
    bool SelectFile(const QString& path);
    // True while Select is under way: its dialog is up, or the chosen file is opening (which keeps the
    // window's event loop running; see the MCI service's open). A file then cannot be selected another
    // way, and nothing else may act on the window's file.
    bool selectUnderWay() const { return m_dialogShowing || m_opening; }
    // Whether the last open's failure has been explained to the user already (the sound stack's own
    // box for a SoundFont that cannot be loaded or a file too large): set through noteOpenFailureTold()
    // while the open runs, cleared when the next one starts.
    bool openFailureTold() const { return m_openFailureTold; }
    void noteOpenFailureTold() { m_openFailureTold = true; }
    // One tick of the loop monitor: while playback is wanted, restart the file when it has stopped.
    // A restart the service refuses (the file has become empty or unreadable; its box says so) stops
    // the loop as Stop does, instead of asking again, and showing another box, on every tick.
    void Timer1_Timer();
    // The main window is closing: close the open file.
    void Form_Unload();

    // Closes the open file before another one is opened.
    void ReleaseOpenFile();
    // Opens FilePath under the alias "midi"; true when the service accepted it.
    bool OpenMediaFile();
    // Whether the last open that failed was refused for a reason the sound service has told the user
    // itself: MCIERR_CANNOT_LOAD_DRIVER, an unusable SoundFont or sound module, each of which has its
    // own message box. A box of the program's own about the file would only repeat it.
    bool openRefusalTold() const { return m_openRefusalTold; }

    // The dialog's filter: five description/pattern pairs, each text followed by one NUL. The first
    // lists every ending of the table of media formats.
    static QString selectFilter();

private:
    // Release the old file, open `path` and show what it is: the part of Select after its dialog.
    bool openChosenFile(const QString& path);
    // FilePath as the window shows it: names of old archives that are not UTF-8 read as they were meant
    // (platform::readablePath), not as replacement marks.
    QString shownPath() const;
    // The window after Stop: status line, flags, animation off, still picture.
    void showStopped();

    PlaybackState& m_state;
    PlayerView& m_view;
    mci::MciApi& m_mci;
    platform::FileDialogHost& m_dialogs;
    const HeaderReader m_readHeader;
    bool m_dialogShowing = false;
    bool m_opening = false;
    bool m_restarting = false; // the loop monitor's restart is under way (its error box may be up)
    bool m_openRefusalTold = false;
    bool m_openFailureTold = false;
    unsigned m_openedFiles = 0; // counts opens, so a restart can tell its file from a later one
};

} // namespace qb::playback
