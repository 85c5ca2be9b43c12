#pragma once

#include <QString>

class QWidget;

namespace qb::platform {
class FileDialogHost;
}

namespace qb::media {

// Shows the open-file dialog modal to `owner` through `host` and returns the chosen file's full
// path. `filter` is a series of description/pattern texts, each followed by one NUL (QChar(0)), for
// example "MIDI (*.mid)\0*.mid;*.rmi\0"; its first pair is selected. The dialog opens in
// `initialDir`. On a choice: DialogCancelled becomes false and the process's current folder becomes
// the file's folder. On cancel, and on failure (including a path longer than 4095 bytes in the
// file-system encoding): returns an empty text and sets DialogCancelled; the caller puts back what
// it changed before. Returns only when the dialog has closed; timers keep ticking meanwhile.
// GUI thread only.
QString ShowOpenDialog(QWidget* owner, const QString& filter, const QString& initialDir,
                       bool& DialogCancelled, platform::FileDialogHost& host);

} // namespace qb::media
