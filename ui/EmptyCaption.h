#pragma once

class QWidget;

namespace qb::ui {

// Qt never hands an empty title to the window system: it puts the application name in its place.
// On X11 this writes the empty name itself into the window's _NET_WM_NAME and WM_NAME, so the window
// manager is told "no caption". Call after every change of the title and once the native window
// exists; does nothing when `window`'s title is not empty, when it has no native window yet, or on
// other window systems (there Qt's application-name fallback stays). UI thread.
void showEmptyCaption(QWidget& window);

} // namespace qb::ui
