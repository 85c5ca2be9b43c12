#pragma once

#include <QString>

class QWidget;

namespace qb::playback {

// What the playback handlers change in the main window. The window implements it; tests record it.
class PlayerView
{
public:
    virtual ~PlayerView() = default;

    virtual QString label1Caption() const = 0; // the status line
    virtual void setLabel1Caption(const QString& text) = 0;
    virtual QString label2Caption() const = 0; // the information box
    virtual void setLabel2Caption(const QString& text) = 0;
    virtual void setWindowCaption(const QString& text) = 0;

    virtual void setTimer3Enabled(bool enabled) = 0; // the animation tick
    virtual void showStillPicture() = 0;             // the animation box shows the "Stopping" picture
    virtual void showEmptyPicture() = 0;             // the animation box goes blank

    // The program's own message box: OK only, no icon, the application's title as caption. Modal.
    virtual void showMessage(const QString& text) = 0;
    // The owner of the open-file dialog.
    virtual QWidget* dialogOwner() = 0;
    // The open file or the wish to play changed (after Play, Stop and every selection), for whoever
    // mirrors the player's state outside the window. Does nothing unless overridden.
    virtual void playbackChanged() {}
};

} // namespace qb::playback
