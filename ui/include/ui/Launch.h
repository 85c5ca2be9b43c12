#pragma once

#include <QByteArray>

class QWidget;

namespace qb::ui {

// A launch the desktop started for a window that was already running (a later start handed its file
// over): the X11 startup notification id (DESKTOP_STARTUP_ID) and the Wayland activation token
// (XDG_ACTIVATION_TOKEN) the desktop gave that start; either may be empty.
struct Launch
{
    QByteArray startupId;
    QByteArray activationToken;
};

// Lets `window`, about to be raised for `launch`, answer for it: on X11 the window is marked with the
// launch's id (_NET_STARTUP_ID) and asked to be active with the launch's time (which the window
// manager's focus-stealing rules weigh), and the launch sequence is completed with a "remove:" message,
// so the desktop's busy cursor stops at once; on Wayland the token goes with the window's next
// activation request. Call before raising and activating the window. UI thread only.
void answerLaunch(QWidget& window, const Launch& launch);

// The "remove:" message of the startup notification protocol that completes the sequence `startupId`.
QByteArray startupRemoveMessage(const QByteArray& startupId);

} // namespace qb::ui
