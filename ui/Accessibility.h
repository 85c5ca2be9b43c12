#pragma once

namespace qb::ui {

// Teaches Qt's accessibility bridge the window's own controls: labels read as static text with their
// caption as name and value, image buttons as push buttons with a press action, picture boxes as panels
// that describe themselves by the text of the labels they hold, the main window as a window that holds
// only the controls that show. Safe to call any
// number of times; the first call installs the factory. UI thread only.
void installAccessibility();

} // namespace qb::ui
