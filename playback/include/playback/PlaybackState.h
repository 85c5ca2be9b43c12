#pragma once

#include <QString>
#include <cstdint>

namespace qb::playback {

// The variables the main window's handlers share. Everything runs on the UI thread, one handler at a
// time, so nothing here needs a lock. All start at zero: no file, not playing, empty texts.
struct PlaybackState
{
    bool IsOpen = false;    // a file is open under the alias "midi"
    bool IsPlaying = false; // the user asked for playback: the loop monitor restarts the file at its end
    QString FilePath;       // the path last returned by the open-file dialog (empty after a cancel)
    QString Title; // the open file's title (a MIDI file's, a module's or tune's own); empty when none
    QString SavedLabel1Caption; // status line and information box before Select, put back on cancel
    QString SavedLabel2Caption;
    bool DialogCancelled = false;    // set by every open-file dialog
    std::int16_t AnimationFrame = 0; // the frame the next animation tick shows; only Timer3_Timer writes it
};

} // namespace qb::playback
